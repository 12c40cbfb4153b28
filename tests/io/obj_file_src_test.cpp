#include "ko/io/obj_file_src.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/obj_file_util.h"
#include "ko/core/img.h"
#include "ko/platform/memory.h"

using namespace ko;
using ko_test::ObjFileWriter;
using ko_test::RecordNode;
using ko_test::TempDir;
using ko_test::Wide;

namespace {

const uint32_t kDescriptor[6] = {1, 2, 3, 4, 5, 6};

std::u16string NameOf(int i) { return ko_test::Wide("obj" + std::to_string(i)); }

// `count` plain objects named obj<i> with type word i and descriptor {i, ...}.
std::vector<uint8_t> PlainObjects(int count, ObjFileWriter* writer) {
  for (int i = 0; i < count; ++i) {
    CObj object;
    object.type = i;
    object.SetName(NameOf(i).c_str());
    const uint32_t descriptor[6] = {static_cast<uint32_t>(i), 0, 0, 0, 0, 0xFFFFFFFFu};
    writer->AddObject(object, descriptor);
  }
  return writer->Build();
}

// A 3 x 2 float image whose samples are their own indices.
void MakeImage(CTypedImg<float>* image) {
  ASSERT_EQ(image->Create(3, 2, 4, 0), S_OK);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 12; ++x) image->Row(y)[x] = static_cast<float>(100 * y + x);
}

class ObjFileSrcTest : public ::testing::Test {
 protected:
  std::u16string Write(const std::vector<uint8_t>& bytes, const std::string& leaf = "objects.kob") {
    const std::string path = dir_.Path(leaf);
    ko_test::WriteBytes(path, bytes);
    return Wide(path);
  }
  TempDir dir_;
};

TEST_F(ObjFileSrcTest, ArgumentsAndStateBeforeOpen) {
  CObjFileSrc source;
  CObj object;
  CObj* out = nullptr;
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), E_KO_NOTINIT);
  EXPECT_EQ(source.GetNextObject(&out, nullptr), E_KO_NOTINIT);
  EXPECT_EQ(source.SeekObject(0), E_KO_NOTINIT);
  EXPECT_EQ(source.lastError, E_KO_NOTINIT);
  EXPECT_EQ(source.Open(nullptr, 1), E_POINTER);
  EXPECT_EQ(source.Open(u"x", -1), E_INVALIDARG);
  EXPECT_EQ(source.Open(Wide(dir_.Path("missing")).c_str(), 1), E_KO_NOTFOUND);
  EXPECT_EQ(source.lastError, E_KO_NOTFOUND);
}

TEST_F(ObjFileSrcTest, EmptyFiles) {
  CObjFileSrc source;
  CObj object;
  CObj* out = nullptr;
  // Too short for a header.
  EXPECT_EQ(source.Open(Write({}).c_str(), 1), E_KO_READ);
  EXPECT_EQ(source.Open(Write(std::vector<uint8_t>(47, 0)).c_str(), 1), E_KO_READ);

  // A header whose tree offset is 0 holds no objects, whatever else it says.
  std::vector<uint8_t> header(48, 0);
  ko_test::PutLE64At(header, 40, 48);
  ASSERT_EQ(source.Open(Write(header).c_str(), 1), S_OK);
  EXPECT_EQ(source.GetObjectCount(), 0);
  EXPECT_EQ(source.GetRecordTree(), nullptr);
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), S_KO_END);
  EXPECT_EQ(source.GetNextObject(&out, nullptr), S_KO_END);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(source.SeekObject(0), S_KO_END);

  // A written file without objects: one index block whose first entry is 0.
  ObjFileWriter writer;
  ASSERT_EQ(source.Open(Write(writer.Build()).c_str(), 0), S_OK);
  EXPECT_EQ(source.GetObjectCount(), 0);
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), S_KO_END);
  EXPECT_EQ(source.Header()[0], 0xA0);
}

TEST_F(ObjFileSrcTest, ThreeHundredObjectsAcrossTwoBlocks) {
  ObjFileWriter writer;
  const std::u16string path = Write(PlainObjects(300, &writer));
  ASSERT_EQ(writer.blockOffsets.size(), 2u);
  CObjFileSrc source;
  ASSERT_EQ(source.Open(path.c_str(), 1), S_OK);
  EXPECT_EQ(source.GetObjectCount(), 300);

  for (int i = 0; i < 300; ++i) {
    CObj object;
    SObjDescriptor descriptor;
    ASSERT_EQ(source.LoadNextObject(&object, &descriptor), S_OK) << i;
    EXPECT_EQ(object.type, i);
    EXPECT_EQ(std::u16string(object.name), NameOf(i));
    EXPECT_EQ(descriptor.values[0], static_cast<uint32_t>(i));
    EXPECT_EQ(descriptor.values[5], 0xFFFFFFFFu);
  }
  CObj object;
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), S_KO_END);
  EXPECT_EQ(source.GetCurrentIndex(), 300);

  // Seeking forward into the second block, to its end, and back into the first.
  EXPECT_EQ(source.SeekObject(299), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object.type, 299);
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), S_KO_END);
  EXPECT_EQ(source.SeekObject(256), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object.type, 256);
  EXPECT_EQ(source.SeekObject(5), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object.type, 5);
  EXPECT_EQ(source.SeekObject(255), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);  // crosses into the second block
  EXPECT_EQ(object.type, 256);
  EXPECT_EQ(source.SeekObject(1000), S_KO_END);
  EXPECT_EQ(source.GetCurrentIndex(), 300);
  EXPECT_EQ(source.SeekObject(-1), E_INVALIDARG);
  EXPECT_EQ(source.SeekObject(0), S_OK);
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object.type, 0);
}

TEST_F(ObjFileSrcTest, FullLastBlockCountsAllEntries) {
  ObjFileWriter writer;
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Write(PlainObjects(256, &writer)).c_str(), 1), S_OK);
  EXPECT_EQ(source.GetObjectCount(), 256);
  EXPECT_EQ(source.SeekObject(255), S_OK);
  CObj object;
  ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object.type, 255);
  EXPECT_EQ(source.LoadNextObject(&object, nullptr), S_KO_END);
}

TEST_F(ObjFileSrcTest, ImagesLoadIntoImagesOnly) {
  CTypedImg<float> saved;
  MakeImage(&saved);
  saved.SetName(u"picture");
  ObjFileWriter writer;
  writer.AddObject(saved, kDescriptor);
  CObj plain;
  writer.AddObject(plain, kDescriptor);
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Write(writer.Build()).c_str(), 1), S_OK);

  // An image record refused by a plain object: nothing advances, the image then loads.
  CObj wrong;
  EXPECT_EQ(source.LoadNextObject(&wrong, nullptr), E_KO_WRONGCLASS);
  EXPECT_EQ(source.lastError, E_KO_WRONGCLASS);
  EXPECT_EQ(source.GetCurrentIndex(), 0);
  CImg loaded;
  SObjDescriptor descriptor;
  ASSERT_EQ(source.LoadNextObject(&loaded, &descriptor), S_OK);
  EXPECT_EQ(descriptor.values[2], 3u);
  ASSERT_EQ(loaded.width, 3);
  ASSERT_EQ(loaded.height, 2);
  EXPECT_EQ(loaded.type, saved.type);
  EXPECT_EQ(std::u16string(loaded.name), u"picture");
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 12; ++x)
      EXPECT_EQ(reinterpret_cast<const float*>(loaded.RowPtr(y))[x], 100.0f * y + x);
  // A plain record refused by an image.
  CImg image;
  EXPECT_EQ(source.LoadNextObject(&image, nullptr), E_KO_WRONGCLASS);
  EXPECT_EQ(source.GetCurrentIndex(), 1);
  EXPECT_EQ(source.LoadNextObject(nullptr, nullptr), E_POINTER);
}

TEST_F(ObjFileSrcTest, GetNextObjectCreatesByClassId) {
  CTypedImg<float> saved;
  MakeImage(&saved);
  ObjFileWriter writer;
  writer.AddObject(saved, kDescriptor);
  CObj plain;
  plain.type = 7;
  writer.AddObject(plain, kDescriptor, CLSID_CParams);  // a class the source cannot create
  writer.AddObject(plain, kDescriptor);
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Write(writer.Build()).c_str(), 1), S_OK);

  CObj* object = nullptr;
  SObjDescriptor descriptor;
  ASSERT_EQ(source.GetNextObject(&object, &descriptor), S_OK);
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(IsEqualClassId(*object->GetClassId(), CLSID_CImg));
  EXPECT_EQ(static_cast<CImg*>(object)->width, 3);
  EXPECT_EQ(object->refCount, 2);  // the cache's and ours
  EXPECT_EQ(descriptor.values[5], 6u);
  object->Release();

  EXPECT_EQ(source.GetNextObject(&object, nullptr), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(source.GetCurrentIndex(), 1);
  ASSERT_EQ(source.SeekObject(2), S_OK);
  ASSERT_EQ(source.GetNextObject(&object, nullptr), S_OK);
  EXPECT_EQ(object->type, 7);
  object->Release();
  EXPECT_EQ(source.GetNextObject(&object, nullptr), S_KO_END);
}

TEST_F(ObjFileSrcTest, CacheReturnsTheSameObjectWithoutReading) {
  ObjFileWriter writer;
  const std::vector<uint8_t> bytes = PlainObjects(3, &writer);
  const std::string narrow = dir_.Path("cached.kob");
  ko_test::WriteBytes(narrow, bytes);
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Wide(narrow).c_str(), 2), S_OK);
  CObj* first = nullptr;
  ASSERT_EQ(source.GetNextObject(&first, nullptr), S_OK);
  // From here on the file has nothing left to read.
  ASSERT_EQ(truncate(narrow.c_str(), 0), 0);
  ASSERT_EQ(source.SeekObject(0), S_OK);
  CObj* again = nullptr;
  SObjDescriptor descriptor;
  ASSERT_EQ(source.GetNextObject(&again, &descriptor), S_OK);
  EXPECT_EQ(again, first);
  EXPECT_EQ(descriptor.values[0], 0u);
  EXPECT_EQ(first->refCount, 3);
  again->Release();
  first->Release();
  // Object 1 was never read: the shortened file now fails it, and the index stays.
  CObj* second = nullptr;
  EXPECT_EQ(source.GetNextObject(&second, nullptr), E_KO_READ);
  EXPECT_EQ(source.GetCurrentIndex(), 1);
}

TEST_F(ObjFileSrcTest, CacheOfOneKeepsOnlyTheLatest) {
  ObjFileWriter writer;
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Write(PlainObjects(3, &writer)).c_str(), 0), S_OK);
  CObj* a = nullptr;
  CObj* b = nullptr;
  CObj* c = nullptr;
  ASSERT_EQ(source.GetNextObject(&a, nullptr), S_OK);
  ASSERT_EQ(source.GetNextObject(&b, nullptr), S_OK);
  EXPECT_EQ(a->refCount, 1);  // dropped from the cache; only ours is left
  ASSERT_EQ(source.SeekObject(0), S_OK);
  ASSERT_EQ(source.GetNextObject(&c, nullptr), S_OK);
  EXPECT_NE(c, a);
  EXPECT_EQ(c->type, 0);
  a->Release();
  b->Release();
  c->Release();
}

TEST_F(ObjFileSrcTest, RecordTreeIsReadWhole) {
  RecordNode root;
  root.tag = 1;
  root.data = {9, 8, 7};
  RecordNode leaf;
  leaf.tag = 3;
  leaf.data = {42};
  RecordNode middle;
  middle.tag = 2;
  middle.children = {leaf, leaf};
  root.children = {middle, leaf};
  ObjFileWriter writer;
  writer.SetTree(root);
  CObj plain;
  writer.AddObject(plain, kDescriptor);
  CObjFileSrc source;
  ASSERT_EQ(source.Open(Write(writer.Build()).c_str(), 1), S_OK);
  const SObjRecordNode* tree = source.GetRecordTree();
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->header[0], 1);
  EXPECT_EQ(tree->header[67], 1);
  ASSERT_EQ(tree->dataLength, 3u);
  EXPECT_EQ(tree->data[2], 7);
  ASSERT_EQ(tree->childCount, 2u);
  ASSERT_EQ(tree->children[0].childCount, 2u);
  EXPECT_EQ(tree->children[0].dataLength, 0u);
  EXPECT_EQ(tree->children[0].data, nullptr);
  EXPECT_EQ(tree->children[0].children[1].data[0], 42);
  EXPECT_EQ(tree->children[1].header[0], 3);
  EXPECT_EQ(source.GetObjectCount(), 1);
}

RecordNode Chain(int depth) {
  RecordNode node;
  for (int i = 1; i < depth; ++i) {
    RecordNode parent;
    parent.children.push_back(std::move(node));
    node = std::move(parent);
  }
  return node;
}

TEST_F(ObjFileSrcTest, HostileRecordTrees) {
  CObjFileSrc source;
  {
    ObjFileWriter writer;
    writer.SetTree(Chain(kMaxRecordDepth));
    ASSERT_EQ(source.Open(Write(writer.Build()).c_str(), 1), S_OK);
  }
  {
    ObjFileWriter writer;
    writer.SetTree(Chain(kMaxRecordDepth + 1));
    EXPECT_EQ(source.Open(Write(writer.Build()).c_str(), 1), E_KO_BADFORMAT);
    EXPECT_FALSE(source.IsOpen());
  }
  ObjFileWriter writer;
  std::vector<uint8_t> bytes = PlainObjects(1, &writer);
  const size_t lengthAt = writer.treeOffset + 68;
  const size_t countAt = lengthAt + 4;
  {
    // A data length far beyond the file is refused before anything is allocated.
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE32At(bad, lengthAt, 0xFFFFFFF0u);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
  }
  {
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE32At(bad, countAt, 0xFFFFFFFFu);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_BADFORMAT);
    ko_test::PutLE32At(bad, countAt, 1000);  // within the node limit, beyond the file
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
  }
  {
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE64At(bad, 32, bad.size() + 1);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
    ko_test::PutLE64At(bad, 32, 0x8000000000000000ull);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
  }
}

TEST_F(ObjFileSrcTest, IndexChainsThatLoopOrRunOff) {
  ObjFileWriter writer;
  const std::vector<uint8_t> bytes = PlainObjects(300, &writer);
  const uint64_t first = writer.blockOffsets[0];
  const uint64_t second = writer.blockOffsets[1];
  CObjFileSrc source;
  {
    // The second block leads back to the first: refused, the blocks read so far stay.
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE64At(bad, second, first);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_BADFORMAT);
    EXPECT_TRUE(source.IsOpen());
    EXPECT_EQ(source.GetObjectCount(), 512);
    EXPECT_EQ(source.SeekObject(299), S_OK);
    CObj object;
    ASSERT_EQ(source.LoadNextObject(&object, nullptr), S_OK);
    EXPECT_EQ(object.type, 299);
    EXPECT_EQ(source.LoadNextObject(&object, nullptr), E_KO_BADFORMAT);  // entry 300 is 0
  }
  {
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE64At(bad, first, first);  // a block that names itself
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_BADFORMAT);
    EXPECT_EQ(source.GetObjectCount(), 256);
  }
  {
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE64At(bad, second, bad.size() - 100);  // a block past the end
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
    ko_test::PutLE64At(bad, 40, ~0ull);
    EXPECT_EQ(source.Open(Write(bad).c_str(), 1), E_KO_READ);
    EXPECT_EQ(source.GetObjectCount(), 0);
  }
}

TEST_F(ObjFileSrcTest, ObjectsTheFileCannotHold) {
  CTypedImg<float> saved;
  MakeImage(&saved);
  ObjFileWriter writer;
  writer.AddObject(saved, kDescriptor);
  CObj plain;
  writer.AddObject(plain, kDescriptor);
  const std::vector<uint8_t> bytes = writer.Build();
  const uint64_t image = writer.objectOffsets[0];
  const size_t entries = writer.blockOffsets[0] + 8;
  CObjFileSrc source;
  {
    // An image declaring 30000 x 30000 pixels in a small file: refused before its
    // 3.6 GB are allocated.
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE32At(bad, image + 40 + 52, 30000);
    ko_test::PutLE32At(bad, image + 40 + 56, 30000);
    ASSERT_EQ(source.Open(Write(bad).c_str(), 1), S_OK);
    CImg loaded;
    EXPECT_EQ(source.LoadNextObject(&loaded, nullptr), E_KO_READ);
    EXPECT_FALSE(loaded.HasMemory());
    CObj* created = nullptr;
    EXPECT_EQ(source.GetNextObject(&created, nullptr), E_KO_READ);
    EXPECT_EQ(source.GetCurrentIndex(), 0);
  }
  {
    // Offsets past the end, and zero offsets before the end of the list.
    std::vector<uint8_t> bad = bytes;
    ko_test::PutLE64At(bad, entries, bad.size() - 10);
    ko_test::PutLE64At(bad, entries + 8, ~0ull);
    ASSERT_EQ(source.Open(Write(bad).c_str(), 1), S_OK);
    CImg loaded;
    EXPECT_EQ(source.LoadNextObject(&loaded, nullptr), E_KO_READ);
    EXPECT_EQ(source.SeekObject(1), S_OK);
    CObj object;
    EXPECT_EQ(source.LoadNextObject(&object, nullptr), E_KO_READ);
  }
  {
    // An image whose rows end early, at the end of the file.
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(image));
    const uint64_t block = cut.size();
    cut.resize(block + 3080, 0);
    ko_test::PutLE64At(cut, 40, block);
    ko_test::PutLE64At(cut, block + 8, cut.size());
    cut.insert(cut.end(), bytes.begin() + static_cast<long>(image),
               bytes.begin() + static_cast<long>(image + 40 + 68 + 20));
    ASSERT_EQ(source.Open(Write(cut).c_str(), 1), S_OK);
    EXPECT_EQ(source.GetObjectCount(), 1);
    CImg loaded;
    EXPECT_EQ(source.LoadNextObject(&loaded, nullptr), E_KO_READ);
    EXPECT_EQ(source.GetCurrentIndex(), 0);
  }
}

TEST_F(ObjFileSrcTest, AllocationFailuresAreReported) {
  ObjFileWriter writer;
  RecordNode root;
  root.data = {1, 2};
  root.children.resize(2);
  writer.SetTree(root);
  const std::u16string path = Write(PlainObjects(300, &writer));
  bool sawSuccess = false;
  for (int n = 0; n < 40 && !sawSuccess; ++n) {
    CObjFileSrc source;
    HRESULT hr;
    {
      ScopedAllocFailure failure(n);
      hr = source.Open(path.c_str(), 4);
      if (hr == S_OK) {
        CObj* object = nullptr;
        hr = source.GetNextObject(&object, nullptr);
        if (object) object->Release();
      }
    }
    if (hr == S_OK)
      sawSuccess = true;
    else
      EXPECT_EQ(hr, E_OUTOFMEMORY) << n;
  }
  EXPECT_TRUE(sawSuccess);
}

}  // namespace
