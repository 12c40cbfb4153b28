#include "ko/codec/wic_metadata.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ko/platform/memory.h"

namespace ko {
namespace {

// A little- or big-endian TIFF written field by field.
struct Tiff {
  explicit Tiff(bool le = true) : le(le) {
    bytes = {static_cast<uint8_t>(le ? 'I' : 'M'), static_cast<uint8_t>(le ? 'I' : 'M')};
    U16(42);
    U32(8);
  }
  void U16(uint16_t v) {
    if (le) bytes.insert(bytes.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
    else bytes.insert(bytes.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  }
  void U32(uint32_t v) {
    if (le) {
      U16(static_cast<uint16_t>(v));
      U16(static_cast<uint16_t>(v >> 16));
    } else {
      U16(static_cast<uint16_t>(v >> 16));
      U16(static_cast<uint16_t>(v));
    }
  }
  void Entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
    U16(tag);
    U16(type);
    U32(count);
    U32(field);
  }
  void PadTo(size_t n) { bytes.resize(n, 0); }
  bool le;
  std::vector<uint8_t> bytes;
};

// IFD0 at 8 with one entry of each kind of interest; values out of line from 200; a SubIFD
// at 400 and an Exif directory at 440.
Tiff SampleTiff() {
  Tiff t;
  t.U16(12);
  t.Entry(254, kTiffLong, 1, 0);
  t.Entry(256, kTiffShort, 1, 640);
  t.Entry(273, kTiffLong, 2, 200);
  t.Entry(33422, kTiffByte, 4, 0x02010100);
  t.Entry(50714, kTiffRational, 1, 208);
  t.Entry(50721, kTiffSRational, 2, 216);
  t.Entry(305, kTiffAscii, 6, 232);
  t.Entry(37500, kTiffUndefined, 3, 0x00332211);
  t.Entry(1000, kTiffDouble, 1, 240);
  t.Entry(330, kTiffLong, 1, 400);
  t.Entry(34665, kTiffLong, 1, 440);
  t.Entry(2000, 77, 5, 0);  // an unknown type
  t.U32(0);
  t.PadTo(200);
  t.U32(1000);  // 200: strip offsets
  t.U32(2000);
  t.U32(3);  // 208: 3/7
  t.U32(7);
  t.U32(static_cast<uint32_t>(-5));  // 216: -5/2, 9/-4
  t.U32(2);
  t.U32(9);
  t.U32(static_cast<uint32_t>(-4));
  const char text[8] = "Kamera";  // 232
  t.bytes.insert(t.bytes.end(), text, text + 8);
  double d = 0.25;  // 240
  uint8_t raw[8];
  std::memcpy(raw, &d, 8);
  t.bytes.insert(t.bytes.end(), raw, raw + 8);
  t.PadTo(400);
  t.U16(1);
  t.Entry(254, kTiffLong, 1, 1);
  t.U32(0);
  t.PadTo(440);
  t.U16(1);
  t.Entry(33434, kTiffRational, 1, 208);
  t.U32(0);
  return t;
}

CWicComponentFactory* NewFactory() {
  void* p = nullptr;
  EXPECT_EQ(CoCreateWicInstance(kClsidWicImagingFactory, nullptr, 1, kIidWicComponentFactory, &p), S_OK);
  return static_cast<CWicComponentFactory*>(p);
}

// A reader for the directory at `offset` of `bytes`.
HRESULT ReaderAt(const std::vector<uint8_t>& bytes, uint64_t offset, uint32_t options,
                 CWicRef<CWicMetadataReader>* out) {
  CWicRef<CWicComponentFactory> factory(NewFactory());
  CWicRef<CWicStream> stream;
  HRESULT hr = factory->CreateStream(stream.Out());
  if (hr < 0) return hr;
  if ((hr = stream->InitializeFromMemory(bytes.data(), bytes.size())) < 0) return hr;
  if ((hr = stream->Seek(static_cast<int64_t>(offset), 0, nullptr)) < 0) return hr;
  return factory->CreateMetadataReader(kWicMetadataFormatIfd, nullptr, options, stream.Get(), out->Out());
}

// The item with tag `tag`, or a failure.
::testing::AssertionResult ItemByTag(CWicMetadataReader* r, uint16_t tag, PROPVARIANT* value) {
  uint32_t n = 0;
  if (r->GetCount(&n) != S_OK) return ::testing::AssertionFailure() << "GetCount";
  for (uint32_t i = 0; i < n; ++i) {
    PROPVARIANT schema, id;
    if (r->GetValueByIndex(i, &schema, &id, value) != S_OK) return ::testing::AssertionFailure() << "item " << i;
    const bool match = id.vt == VT_UI2 && id.uiVal == tag;
    if (schema.vt != VT_EMPTY) return ::testing::AssertionFailure() << "schema";
    ClearWicVariant(&schema);
    ClearWicVariant(&id);
    if (match) return ::testing::AssertionSuccess();
    ClearWicVariant(value);
  }
  return ::testing::AssertionFailure() << "no tag " << tag;
}

TEST(WicMetadata, FactoryCreationFollowsThePlatformRules) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateWicInstance(kIidWicMetadataReader, nullptr, 1, kIidWicComponentFactory, &p),
            MakeCode(0x80040154u));
  EXPECT_EQ(p, nullptr);
  int outer = 0;
  EXPECT_EQ(CoCreateWicInstance(kClsidWicImagingFactory, &outer, 1, kIidWicComponentFactory, &p),
            MakeCode(0x80040110u));
  EXPECT_EQ(CoCreateWicInstance(kClsidWicImagingFactory, nullptr, 1, kIidWicMetadataReader, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(CoCreateWicInstance(kClsidWicImagingFactory, nullptr, 1, kIidWicComponentFactory, &p), E_OUTOFMEMORY);
  }
  CWicRef<CWicComponentFactory> factory(NewFactory());
  ASSERT_TRUE(factory);
  CWicRef<CWicStream> stream;
  ASSERT_EQ(factory->CreateStream(stream.Out()), S_OK);
  const uint8_t bytes[16] = {};
  ASSERT_EQ(stream->InitializeFromMemory(bytes, sizeof bytes), S_OK);
  CWicRef<CWicMetadataReader> reader;
  EXPECT_EQ(factory->CreateMetadataReader(kIidWicMetadataReader, nullptr, 0, stream.Get(), reader.Out()),
            kWicErrComponentNotFound);
  EXPECT_EQ(factory->CreateMetadataReader(kWicMetadataFormatIfd, nullptr, 0, stream.Get(), reader.Out()),
            E_KO_BADFORMAT);
  EXPECT_FALSE(reader);
}

TEST(WicMetadata, StreamSeeksAndReadsWithinItsBytes) {
  CWicRef<CWicComponentFactory> factory(NewFactory());
  CWicRef<CWicStream> s;
  ASSERT_EQ(factory->CreateStream(s.Out()), S_OK);
  const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(s->InitializeFromMemory(bytes, sizeof bytes), S_OK);
  EXPECT_EQ(s->InitializeFromMemory(bytes, sizeof bytes), kWicErrWrongState);
  uint8_t out[8] = {};
  uint32_t got = 0;
  uint64_t at = 0;
  ASSERT_EQ(s->Seek(2, 0, &at), S_OK);
  EXPECT_EQ(at, 2u);
  EXPECT_EQ(s->Read(out, 2, &got), S_OK);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[1], 4);
  ASSERT_EQ(s->Seek(-1, 1, &at), S_OK);
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(s->Read(out, 8, &got), S_FALSE);  // the data ends first
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(out[2], 6);
  ASSERT_EQ(s->Seek(10, 2, &at), S_OK);  // past the end is allowed, reads deliver nothing
  EXPECT_EQ(s->Read(out, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(s->Seek(-7, 2, &at), E_INVALIDARG);
  EXPECT_EQ(s->Seek(INT64_MAX, 1, &at), E_INVALIDARG);
  EXPECT_EQ(s->Seek(0, 3, &at), E_INVALIDARG);
}

TEST(WicMetadata, StreamLoadsFilesAndReportsPlatformErrors) {
  CWicRef<CWicComponentFactory> factory(NewFactory());
  CWicRef<CWicStream> s;
  ASSERT_EQ(factory->CreateStream(s.Out()), S_OK);
  EXPECT_EQ(s->InitializeFromFilename(u"/nonexistent/dir/x.dng", kWicGenericRead), MakeCode(0x80070002u));
  EXPECT_EQ(s->InitializeFromFilename(u"/tmp", kWicGenericRead), HResultFromPlatformError(EISDIR));
  char path[] = "/tmp/wic_metadata_testXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abcdef", 6), 6);
  close(fd);
  const std::u16string name(path, path + std::strlen(path));
  EXPECT_EQ(s->InitializeFromFilename(name.c_str(), 0), E_INVALIDARG);
  ASSERT_EQ(s->InitializeFromFilename(name.c_str(), kWicGenericRead), S_OK);
  unlink(path);
  EXPECT_EQ(s->Size(), 6u);
  EXPECT_EQ(std::memcmp(s->Data(), "abcdef", 6), 0);
}

TEST(WicMetadata, IfdReaderYieldsTypedVariants) {
  const Tiff t = SampleTiff();
  CWicRef<CWicMetadataReader> r;
  ASSERT_EQ(ReaderAt(t.bytes, 8, 0, &r), S_OK);
  uint32_t n = 0;
  ASSERT_EQ(r->GetCount(&n), S_OK);
  EXPECT_EQ(n, 12u);
  PROPVARIANT v;
  EXPECT_EQ(r->GetValueByIndex(12, nullptr, nullptr, &v), E_INVALIDARG);

  ASSERT_TRUE(ItemByTag(r.Get(), 256, &v));
  EXPECT_EQ(v.vt, VT_UI2);
  EXPECT_EQ(v.uiVal, 640);
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 273, &v));
  ASSERT_EQ(v.vt, VT_VECTOR | VT_UI4);
  ASSERT_EQ(v.ca.cElems, 2u);
  EXPECT_EQ(static_cast<uint32_t*>(v.ca.pElems)[1], 2000u);
  ClearWicVariant(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);

  ASSERT_TRUE(ItemByTag(r.Get(), 33422, &v));
  ASSERT_EQ(v.vt, VT_VECTOR | VT_UI1);
  ASSERT_EQ(v.ca.cElems, 4u);
  const uint8_t cfa[4] = {0, 1, 1, 2};
  EXPECT_EQ(std::memcmp(v.ca.pElems, cfa, 4), 0);
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 50714, &v));
  EXPECT_EQ(v.vt, VT_UI8);
  EXPECT_EQ(v.uhVal, 3u | (7ull << 32));
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 50721, &v));
  ASSERT_EQ(v.vt, VT_VECTOR | VT_I8);
  ASSERT_EQ(v.ca.cElems, 2u);
  const int64_t* sr = static_cast<int64_t*>(v.ca.pElems);
  EXPECT_EQ(static_cast<int32_t>(sr[0] & 0xFFFFFFFF), -5);
  EXPECT_EQ(static_cast<int32_t>(sr[0] >> 32), 2);
  EXPECT_EQ(static_cast<int32_t>(sr[1] >> 32), -4);
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 305, &v));
  ASSERT_EQ(v.vt, VT_LPSTR);
  EXPECT_STREQ(v.pszVal, "Kamera");
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 37500, &v));
  ASSERT_EQ(v.vt, VT_BLOB);
  ASSERT_EQ(v.blob.cbSize, 3u);
  EXPECT_EQ(v.blob.pBlobData[2], 0x33);
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 1000, &v));
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 0.25);
  ClearWicVariant(&v);

  ASSERT_TRUE(ItemByTag(r.Get(), 2000, &v));
  EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(WicMetadata, PointerTagsBecomeNestedReadersThatOutliveTheirParent) {
  const Tiff t = SampleTiff();
  CWicRef<CWicMetadataReader> r;
  ASSERT_EQ(ReaderAt(t.bytes, 8, 0, &r), S_OK);
  PROPVARIANT subs, exif;
  ASSERT_TRUE(ItemByTag(r.Get(), 330, &subs));
  ASSERT_TRUE(ItemByTag(r.Get(), 34665, &exif));
  r.Reset();  // the nested readers keep the parsed tree alive

  ASSERT_EQ(subs.vt, kVtVariantVector);
  ASSERT_EQ(subs.ca.cElems, 1u);
  PROPVARIANT& first = static_cast<PROPVARIANT*>(subs.ca.pElems)[0];
  ASSERT_EQ(first.vt, VT_UNKNOWN);
  void* p = nullptr;
  ASSERT_EQ(static_cast<CWicObject*>(first.punkVal)->QueryInterface(kIidWicMetadataReader, &p), S_OK);
  CWicRef<CWicMetadataReader> sub(static_cast<CWicMetadataReader*>(p));
  PROPVARIANT v;
  ASSERT_TRUE(ItemByTag(sub.Get(), 254, &v));
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, 1u);
  ClearWicVariant(&subs);

  ASSERT_EQ(exif.vt, VT_UNKNOWN);
  auto* exifReader = static_cast<CWicMetadataReader*>(static_cast<CWicObject*>(exif.punkVal));
  ASSERT_TRUE(ItemByTag(exifReader, 33434, &v));
  EXPECT_EQ(v.uhVal, 3u | (7ull << 32));
  ClearWicVariant(&exif);
}

TEST(WicMetadata, BigEndianOptionReadsMotorolaDirectories) {
  Tiff t(false);
  t.U16(2);
  t.Entry(256, kTiffShort, 1, 1234u << 16);  // a SHORT is left-justified in its field
  t.Entry(50714, kTiffSRational, 1, 40);
  t.U32(0);
  t.PadTo(40);
  t.U32(static_cast<uint32_t>(-3));
  t.U32(4);
  CWicRef<CWicMetadataReader> r;
  ASSERT_EQ(ReaderAt(t.bytes, 8, kWicPersistBigEndian, &r), S_OK);
  PROPVARIANT v;
  ASSERT_TRUE(ItemByTag(r.Get(), 256, &v));
  EXPECT_EQ(v.uiVal, 1234);
  ASSERT_TRUE(ItemByTag(r.Get(), 50714, &v));
  EXPECT_EQ(v.vt, VT_I8);
  EXPECT_EQ(static_cast<int32_t>(v.hVal & 0xFFFFFFFF), -3);
  EXPECT_EQ(v.hVal >> 32, 4);
}

TEST(WicMetadata, EmptyValuesAreHandedOverEmpty) {
  // Found by fuzzing: an ASCII entry of count 0 has no bytes at all.
  Tiff t;
  t.U16(3);
  t.Entry(305, kTiffAscii, 0, 0);
  t.Entry(273, kTiffLong, 0, 0);
  t.Entry(37500, kTiffUndefined, 0, 0);
  t.U32(0);
  CWicRef<CWicMetadataReader> r;
  ASSERT_EQ(ReaderAt(t.bytes, 8, 0, &r), S_OK);
  PROPVARIANT v;
  ASSERT_TRUE(ItemByTag(r.Get(), 305, &v));
  ASSERT_EQ(v.vt, VT_LPSTR);
  EXPECT_STREQ(v.pszVal, "");
  ClearWicVariant(&v);
  ASSERT_TRUE(ItemByTag(r.Get(), 273, &v));
  EXPECT_EQ(v.vt, VT_VECTOR | VT_UI4);
  EXPECT_EQ(v.ca.cElems, 0u);
  ClearWicVariant(&v);
  ASSERT_TRUE(ItemByTag(r.Get(), 37500, &v));
  EXPECT_EQ(v.vt, VT_BLOB);
  EXPECT_EQ(v.blob.cbSize, 0u);
  ClearWicVariant(&v);
}

TEST(WicMetadata, AllocationFailuresBecomeOutOfMemory) {
  const Tiff t = SampleTiff();
  CWicRef<CWicMetadataReader> r;
  ASSERT_EQ(ReaderAt(t.bytes, 8, 0, &r), S_OK);
  uint32_t n = 0;
  ASSERT_EQ(r->GetCount(&n), S_OK);
  int failures = 0;
  for (uint32_t i = 0; i < n; ++i) {
    PROPVARIANT v;
    HRESULT hr;
    {
      ScopedAllocFailure fail(0);
      hr = r->GetValueByIndex(i, nullptr, nullptr, &v);
    }
    if (hr == E_OUTOFMEMORY) ++failures;
    else ASSERT_EQ(hr, S_OK);
    ClearWicVariant(&v);
  }
  EXPECT_EQ(failures, 7);  // the vectors, the string, the blob and both nested readers
}

}  // namespace
}  // namespace ko
