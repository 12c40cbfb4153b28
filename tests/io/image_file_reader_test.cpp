#include "ko/io/image_file_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ko/io/dat_image_reader.h"
#include "ko/io/gdi_image_reader.h"
#include "ko/io/hdr_image_reader.h"
#include "ko/io/lib_image_reader.h"
#include "ko/io/qxi_image_reader.h"
#include "ko/platform/memory.h"
#include "ko/platform/wide_string.h"
#include "reader_test_util.h"

namespace {

using ko::CImageFileReader;
using ko::CImg;
using ko::CTypedImg;
using ko::HRESULT;
using raw_test::ScratchDir;
using raw_test::Wide;

enum class Kind { Gdi, Dat, Qxi, Hdr, Lib, None };

Kind KindOf(const ko::CImageFileSubReader* r) {
  if (!r) return Kind::None;
  if (dynamic_cast<const ko::CGdiImageReader*>(r)) return Kind::Gdi;
  if (dynamic_cast<const ko::CDatImageReader*>(r)) return Kind::Dat;
  if (dynamic_cast<const ko::CQxiImageReader*>(r)) return Kind::Qxi;
  if (dynamic_cast<const ko::CHdrImageReader*>(r)) return Kind::Hdr;
  if (dynamic_cast<const ko::CLibImageReader*>(r)) return Kind::Lib;
  return Kind::None;
}

TEST(ReaderSelection, ByExtensionIgnoringCase) {
  struct Case {
    const char16_t* name;
    Kind kind;
  };
  // The names need not exist: the chosen reader stays with the owner when Open fails.
  for (const Case c : {
           Case{u"PHOTO.JPG", Kind::Gdi}, Case{u"a.jpeg", Kind::Gdi}, Case{u"a.Png", Kind::Gdi},
           Case{u"a.gif", Kind::Gdi}, Case{u"a.BMP", Kind::Gdi}, Case{u"a.tif", Kind::Gdi},
           Case{u"a.TIFF", Kind::Gdi}, Case{u"x.DAT", Kind::Dat}, Case{u"=", Kind::Dat},
           Case{u"y.Qxi", Kind::Qxi}, Case{u"dir/scan.hdr", Kind::Hdr}, Case{u"dir.v2/scan", Kind::Lib},
           Case{u"data.old\\image", Kind::Lib}, Case{u"c:\\data.old\\x.dat", Kind::Dat},
           Case{u"noext", Kind::Lib}, Case{u"", Kind::Lib}, Case{u"x.dat.gz", Kind::Lib},
           Case{u"x.jpg ", Kind::Lib}, Case{u"==", Kind::Lib}, Case{u"a.=", Kind::Lib},
           // Decided by LoadImageFile before the owner is involved.
           Case{u"x.wdp", Kind::Lib}, Case{u"x.dng", Kind::Lib},
       }) {
    CImageFileReader owner;
    owner.OpenFile(c.name, -1);
    EXPECT_EQ(KindOf(owner.reader), c.kind) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
  }
}

TEST(ReaderSelection, FileExtension) {
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u"a.b.c")), u".c");
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u"dir.x\\file")), u"");
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u"dir.x\\file.y")), u".y");
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u"dir.x/file")), u".x/file");
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u".dat")), u".dat");
  EXPECT_EQ(ko::WStr(ko::GetFileExtension(u"end.")), u".");
  const char16_t* none = u"plain";
  EXPECT_EQ(ko::GetFileExtension(none), none + 5);  // the terminator itself
}

TEST(OpenFile, IndexIsSubstitutedIntoTheName) {
  ScratchDir dir;
  dir.Write("image12.dat", "1 2 3\n");
  dir.Write("image%d.dat", "1 2\n");
  dir.Write("frame007.dat", "1\n");
  CImageFileReader owner;
  ASSERT_EQ(owner.OpenFile(Wide(dir.Path("image%d.dat")).c_str(), 12), 0);
  EXPECT_EQ(ko::WStr(owner.reader->fileName), Wide(dir.Path("image12.dat")));
  EXPECT_EQ(owner.reader->width, 3);
  ASSERT_EQ(owner.OpenFile(Wide(dir.Path("image%d.dat")).c_str(), -1), 0);  // the literal name
  EXPECT_EQ(owner.reader->width, 2);
  ASSERT_EQ(owner.OpenFile(Wide(dir.Path("frame%03d.dat")).c_str(), 7), 0);
  EXPECT_EQ(owner.reader->width, 1);
  ASSERT_EQ(owner.OpenFile(Wide(dir.Path("100%%-frame%03d.dat")).c_str(), 7), ko::E_FAIL);
  EXPECT_EQ(ko::WStr(owner.reader->fileName), Wide(dir.Path("100%-frame007.dat")));
}

TEST(OpenFile, FormattedNameIsCutToNineteenMoreCharacters) {
  CImageFileReader owner;
  owner.OpenFile(u"%030d", 1);
  ASSERT_NE(owner.reader, nullptr);
  EXPECT_EQ(ko::WStr(owner.reader->fileName), std::u16string(24, u'0'));
}

TEST(OpenFile, PatternsThatWouldReadMissingArgumentsAreRefused) {
  for (const char16_t* pattern : {u"img%s.dat", u"%d%d.dat", u"%ld.dat", u"%*d.dat", u"%.*d.dat", u"%n.dat",
                                  u"%f.dat", u"%p.dat", u"x%"}) {
    CImageFileReader owner;
    EXPECT_EQ(owner.OpenFile(pattern, 3), ko::E_INVALIDARG);
    EXPECT_EQ(owner.reader, nullptr);
  }
  // Used as they are, such names are ordinary.
  CImageFileReader owner;
  owner.OpenFile(u"img%s.dat", -1);
  ASSERT_NE(owner.reader, nullptr);
  EXPECT_EQ(ko::WStr(owner.reader->fileName), u"img%s.dat");
  // Flags, width, precision and the short forms are fine.
  owner.OpenFile(u"a%#05hhx.dat", 255);
  ASSERT_NE(owner.reader, nullptr);
  EXPECT_EQ(ko::WStr(owner.reader->fileName), u"a0x0ff.dat");
}

TEST(OpenFile, ResultsOfTheOwner) {
  CImageFileReader owner;
  EXPECT_EQ(owner.OpenFile(nullptr, -1), ko::E_POINTER);
  CTypedImg<float> image;
  EXPECT_EQ(owner.ReadImage(&image, 1), ko::E_FAIL);  // no reader yet
  {
    ko::ScopedAllocFailure fail(0);  // the reader itself cannot be allocated
    EXPECT_EQ(owner.OpenFile(u"a.dat", -1), ko::E_OUTOFMEMORY);
  }
  EXPECT_EQ(owner.reader, nullptr);
  {
    ko::ScopedAllocFailure fail(1);  // the copy of the name in the reader
    EXPECT_EQ(owner.OpenFile(u"a.dat", -1), ko::E_OUTOFMEMORY);
  }
  EXPECT_NE(owner.reader, nullptr);  // it stays, as after any failed Open
  EXPECT_EQ(owner.ReadImage(&image, 1), ko::E_FAIL);
}

std::u16string FilenameProperty(const CImg& image) {
  const ko::CParamValue* value = nullptr;
  if (image.params.GetByName(&value, u"Filename", 0) != 0 || !value) return u"<none>";
  if (value->kind != ko::kParamWString) return u"<wrong kind>";
  return std::u16string(static_cast<const char16_t*>(value->data));
}

TEST(LoadImageFile, StoresFilenameOnlyWhenAskedAndOnlyOnSuccess) {
  ScratchDir dir;
  const std::string path = dir.Write("pic.dat", "% KOv1: 2 x 1 x 1\n5 6\n");
  CTypedImg<float> image;
  ASSERT_EQ(ko::LoadImageFile(Wide(path).c_str(), &image, 1, -1), 0);
  EXPECT_EQ(FilenameProperty(image), Wide(path));

  CTypedImg<float> quiet;
  ASSERT_EQ(ko::LoadImageFile(Wide(path).c_str(), &quiet, 0, -1), 0);
  EXPECT_EQ(FilenameProperty(quiet), u"<none>");
  ASSERT_EQ(ko::LoadImageFile(Wide(path).c_str(), &quiet, 0x100, -1), 0);  // only the low byte counts
  EXPECT_EQ(FilenameProperty(quiet), u"<none>");

  // The substituted name is what is recorded.
  dir.Write("seq4.dat", "1\n");
  CTypedImg<float> indexed;
  ASSERT_EQ(ko::LoadImageFile(Wide(dir.Path("seq%d.dat")).c_str(), &indexed, 1, 4), 0);
  EXPECT_EQ(FilenameProperty(indexed), Wide(dir.Path("seq4.dat")));

  // The reader created the image but failed: the load fails and records nothing.
  const std::string shortQxi = dir.Write("cut.qxi", "0 4 0 0 1 1 1 0 0x185\n00 00 80");
  CTypedImg<float> cut;
  EXPECT_EQ(ko::LoadImageFile(Wide(shortQxi).c_str(), &cut, 1, -1), ko::E_FAIL);
  EXPECT_EQ(FilenameProperty(cut), u"<none>");
}

TEST(LoadImageFile, ReadsNamesThatAreNotAsciiOrNotEvenUtf8) {
  ScratchDir dir;
  const std::string path = dir.Write("bild-\xc3\xa4-\xff.qxi", "1 4 0 0 1 1 1 0 0x185\n" + raw_test::FloatBytes({4.5f}));
  CTypedImg<float> image;
  ASSERT_EQ(ko::LoadImageFile(Wide(path).c_str(), &image, 1, -1), 0);
  EXPECT_EQ(image.At(0, 0), 4.5f);
  EXPECT_EQ(FilenameProperty(image), Wide(path));
}

TEST(LoadImageFile, ProgramsColourImageFromBothRawFormats) {
  ScratchDir dir;
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  ASSERT_EQ(ko::LoadImageFile(Wide(dir.Write("c.dat", "% KOv1: 1 x 1 x 4\n10 20 30 255\n")).c_str(), &colour, 1, -1), 0);
  EXPECT_EQ(colour.type, ko::kTypeRGBAByte);
  EXPECT_EQ(colour.PixelRow(0)[0].red, 30);
  // The .qxi reader replaces the type: the caller finds a float colour image.
  const std::string qxi = dir.Write("c.qxi", "1 4 0 0 1 1 1 0 0x285\n" + raw_test::FloatBytes({0.1f, 0.2f, 0.3f, 1.0f}));
  ASSERT_EQ(ko::LoadImageFile(Wide(qxi).c_str(), &colour, 1, -1), 0);
  EXPECT_EQ(colour.type, ko::kTypeRGBAFloat);
  EXPECT_EQ(colour.elementSize, 4);
}

// Formats whose readers are not there (or files that are not there) fail without
// touching the image; the library-object fallback answers with a success code other
// than 0 that reads nothing.
TEST(LoadImageFile, OtherFormatsFailCleanly) {
  ScratchDir dir;
  for (const char* name : {"a.png", "a.JPG", "a.gif", "a.bmp", "a.tiff", "a.hdr", "a.wdp", "a.dng", "a.obj",
                           "noext", "a.dat", "a.qxi"}) {
    const std::string path = dir.Write(name, "not really an image\n");
    CTypedImg<float> image;
    const HRESULT hr = ko::LoadImageFile(Wide(path).c_str(), &image, 1, -1);
    EXPECT_NE(hr, 0) << name;
    EXPECT_FALSE(image.HasMemory()) << name;
    EXPECT_EQ(FilenameProperty(image), u"<none>") << name;
  }
  CTypedImg<float> image;
  EXPECT_EQ(ko::LoadImageFile(nullptr, &image, 1, -1), ko::E_POINTER);
  EXPECT_LT(ko::LoadImageFile(Wide(dir.Path("missing.dat")).c_str(), &image, 1, -1), 0);
}

TEST(EnsureImageSize, KeepsAnImageOfTheRightSize) {
  CTypedImg<unsigned short> image;
  ASSERT_EQ(image.Create(5, 4, 3, 0), 0);
  image.At(0, 0) = 777;
  const void* pixels = image.pixels;
  EXPECT_EQ(ko::EnsureImageSize(5, 4, &image, ko::kTypeRGBAByte, 4), 0);
  EXPECT_EQ(image.pixels, pixels);
  EXPECT_EQ(image.bands, 3);
  EXPECT_EQ(image.type, ko::kElemShort);
  EXPECT_EQ(image.At(0, 0), 777);
}

TEST(EnsureImageSize, KeepsTheCallersTypeAndTakesDefaultsOnlyWhereItHasNone) {
  CImg untyped;  // type 0, one band: both defaults
  ASSERT_EQ(ko::EnsureImageSize(6, 2, &untyped, ko::kTypeRGBAByte, 4), 0);
  EXPECT_EQ(untyped.type, ko::kTypeRGBAByte);
  EXPECT_EQ(untyped.bands, 4);
  EXPECT_EQ(untyped.elementSize, 1);

  CTypedImg<float> single;  // a type, but a single band counts as "no choice"
  ASSERT_EQ(ko::EnsureImageSize(6, 2, &single, ko::kTypeRGBAByte, 4), 0);
  EXPECT_EQ(single.type, ko::kElemFloat);
  EXPECT_EQ(single.bands, 4);
  EXPECT_EQ(single.elementSize, 4);

  CImg threeBands;  // a layout word without an element type takes the default type
  threeBands.type = 0x60000;
  threeBands.bands = 3;
  ASSERT_EQ(ko::EnsureImageSize(1, 1, &threeBands, ko::kTypeRGBAByte, 4), 0);
  EXPECT_EQ(threeBands.type, ko::kTypeRGBAByte);
  EXPECT_EQ(threeBands.bands, 3);

  ko::CCompositeImg<ko::RGBType<unsigned short>> rgb16;
  ASSERT_EQ(rgb16.Create(1, 1, 3, 2, rgb16.type, 0), 0);
  ASSERT_EQ(ko::EnsureImageSize(7, 3, &rgb16, ko::kTypeRGBAByte, 4), 0);
  EXPECT_EQ(rgb16.type, ko::kTypeRGB16);
  EXPECT_EQ(rgb16.bands, 3);
  EXPECT_EQ(rgb16.width, 7);

  CTypedImg<float> bad;
  EXPECT_EQ(ko::EnsureImageSize(0, 3, &bad, ko::kTypeRGBAByte, 4), ko::E_INVALIDARG);
}

}  // namespace

namespace {

// The bundled sample must load the way the program loads it.
TEST(BundledSample, LoadsAsTheProgramsColourImage) {
  const std::string path = std::string(BREVANT_SOURCE_DIR) + "/data/sample.dat";
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  ASSERT_EQ(ko::LoadImageFile(Wide(path).c_str(), &colour, 1, -1), 0);
  ASSERT_EQ(colour.width, 96);
  ASSERT_EQ(colour.height, 64);
  auto grey = [&](int x, int y) {
    const ko::RGBAType<unsigned char> p = colour.PixelRow(y)[x];
    EXPECT_EQ(p.blue, p.green);
    EXPECT_EQ(p.green, p.red);
    EXPECT_EQ(p.alpha, 255);
    return static_cast<int>(p.red);
  };
  EXPECT_EQ(grey(0, 0), 70);   // background
  EXPECT_EQ(grey(30, 30), 215);  // disc
  EXPECT_EQ(grey(70, 15), 30);   // rectangle
  EXPECT_EQ(grey(66, 46), 170);  // bar
}

}  // namespace
