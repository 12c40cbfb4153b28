#include "ko/io/lib_image_reader.h"

#include <gtest/gtest.h>

#include "io/obj_file_util.h"
#include "ko/io/image_file_reader.h"

using namespace ko;

namespace {

const uint32_t kDescriptor[6] = {};

class LibImageReaderTest : public ::testing::Test {
 protected:
  // An object file at `leaf` whose first object is a 2 x 2 byte image.
  std::u16string WriteImageFile(const std::string& leaf) {
    CCompositeImg<RGBAType<unsigned char>> saved;
    EXPECT_EQ(saved.Create(2, 2, 4, 1, kTypeRGBAByte, 0), S_OK);
    for (int y = 0; y < 2; ++y)
      for (int i = 0; i < 8; ++i) saved.RowPtr(y)[i] = static_cast<uint8_t>(10 * y + i);
    ko_test::ObjFileWriter writer;
    writer.AddObject(saved, kDescriptor);
    const std::string path = dir_.Path(leaf);
    ko_test::WriteBytes(path, writer.Build());
    return ko_test::Wide(path);
  }
  ko_test::TempDir dir_;
};

TEST_F(LibImageReaderTest, LoadImageFileStopsAfterOpen) {
  const std::u16string name = WriteImageFile("picture");
  CImg empty;
  EXPECT_EQ(LoadImageFile(name.c_str(), &empty, 1, -1), 1);
  EXPECT_FALSE(empty.HasMemory());
  EXPECT_EQ(empty.params.entryCount, 0);

  // An image that already has pixels keeps them.
  CTypedImg<float> existing;
  ASSERT_EQ(existing.Create(1, 1, 1, 0), S_OK);
  existing.At(0, 0) = 4.5f;
  EXPECT_EQ(LoadImageFile(name.c_str(), &existing, 1, -1), 1);
  EXPECT_EQ(existing.width, 1);
  EXPECT_EQ(existing.At(0, 0), 4.5f);
}

TEST_F(LibImageReaderTest, ReadImageLoadsTheFirstObject) {
  const std::u16string name = WriteImageFile("picture.kob");
  CImageFileReader owner;
  ASSERT_EQ(owner.OpenFile(name.c_str(), -1), 1);
  CImg image;
  ASSERT_EQ(owner.ReadImage(&image, 1), S_OK);
  ASSERT_EQ(image.width, 2);
  EXPECT_EQ(image.type, kTypeRGBAByte);
  EXPECT_EQ(image.RowPtr(1)[7], 17);
  const CParamValue* value = nullptr;
  EXPECT_EQ(image.params.GetByName(&value, u"Filename", 0), S_OK);
}

TEST_F(LibImageReaderTest, FailuresComeFromTheSource) {
  CLibImageReader reader;
  CImg image;
  EXPECT_EQ(reader.Open(ko_test::Wide(dir_.Path("missing")).c_str()), 1);
  EXPECT_EQ(reader.ReadInto(&image, 0), E_KO_NOTFOUND);

  // The first object is no image.
  CObj plain;
  ko_test::ObjFileWriter writer;
  writer.AddObject(plain, kDescriptor);
  ko_test::WriteBytes(dir_.Path("plain"), writer.Build());
  EXPECT_EQ(reader.Open(ko_test::Wide(dir_.Path("plain")).c_str()), 1);
  EXPECT_EQ(reader.ReadInto(&image, 0), E_KO_WRONGCLASS);

  // No objects at all: nothing is loaded, and the result says so.
  ko_test::WriteBytes(dir_.Path("none"), ko_test::ObjFileWriter().Build());
  EXPECT_EQ(reader.Open(ko_test::Wide(dir_.Path("none")).c_str()), 1);
  EXPECT_EQ(reader.ReadInto(&image, 0), S_KO_END);
  EXPECT_FALSE(image.HasMemory());
}

}  // namespace
