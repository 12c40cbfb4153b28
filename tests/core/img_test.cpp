#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ko/core/img.h"
#include "ko/platform/memory.h"

using namespace ko;

namespace {

TEST(ImgCreate, StridesFollowTheAlignmentMode) {
  CImg a;
  ASSERT_EQ(a.Create(3, 2, 1, 4, 2, 0), S_OK);
  EXPECT_EQ(a.stride, 12);
  EXPECT_EQ(a.pixelSize, 4);
  EXPECT_EQ(a.type, 2);
  CImg b;
  ASSERT_EQ(b.Create(3, 2, 1, 4, 2, 2), S_OK);
  EXPECT_EQ(b.stride, 16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.pixels) % 16, 0u);
  CImg c;
  ASSERT_EQ(c.Create(3, 2, 1, 1, 1, 4), S_OK);
  EXPECT_EQ(c.stride, 128);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(c.pixels) % 128, 0u);
  CImg d;
  ASSERT_EQ(d.Create(5, 1, 3, 1, kTypeRGBByte, 3), S_OK);
  EXPECT_EQ(d.stride, 16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(d.pixels) % 128, 0u);
}

TEST(ImgCreate, RejectsBadSizesAndSizesBeyondThirtyTwoBits) {
  CImg a;
  EXPECT_EQ(a.Create(0, 5, 1, 4, 2, 0), E_INVALIDARG);
  EXPECT_EQ(a.lastError, E_INVALIDARG);
  EXPECT_EQ(a.Create(5, -1, 1, 4, 2, 0), E_INVALIDARG);
  EXPECT_EQ(a.Create(5, 5, 0, 4, 2, 0), E_INVALIDARG);
  EXPECT_EQ(a.Create(70000, 70000, 1, 4, 2, 0), E_OUTOFMEMORY);
  EXPECT_EQ(a.lastError, E_OUTOFMEMORY);
  // A negative element size would make a negative stride.
  EXPECT_EQ(a.Create(4, 4, 1, -4, 2, 0), E_INVALIDARG);
  EXPECT_FALSE(a.HasMemory());
}

TEST(ImgCreate, NewPixelsAreZeroAndSameSizeReuseKeepsThem) {
  CTypedImg<float> img;
  ASSERT_EQ(img.Create(7, 5, 1, 0), S_OK);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) ASSERT_EQ(img.At(x, y), 0.0f);
  img.At(3, 2) = 9.5f;
  uint8_t* before = img.pixels;
  ASSERT_EQ(img.Create(7, 5, 1, 0), S_OK);
  EXPECT_EQ(img.pixels, before);
  EXPECT_EQ(img.At(3, 2), 9.5f);
}

TEST(ImgCreate, ACreateOnASharedBlockDetachesInsteadOfOverwriting) {
  CTypedImg<float> a;
  a.Create(4, 4, 1, 0);
  a.At(1, 1) = 3.0f;
  CTypedImg<float> view(a);
  EXPECT_EQ(a.memShare->refCount, 2);
  ASSERT_EQ(a.Create(4, 4, 1, 0), S_OK);
  EXPECT_NE(a.memShare, view.memShare);
  EXPECT_EQ(view.At(1, 1), 3.0f);
  EXPECT_EQ(a.At(1, 1), 0.0f);
}

TEST(ImgCreate, FailedAllocationDropsTheBlockAndKeepsTheSize) {
  CTypedImg<float> a;
  a.Create(4, 4, 1, 0);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(a.Create(8, 8, 1, 0), E_OUTOFMEMORY);
  }
  EXPECT_FALSE(a.HasMemory());
  EXPECT_EQ(a.pixels, nullptr);
  EXPECT_EQ(a.width, 4);
  EXPECT_EQ(a.Clear(), E_KO_NOTINIT);
}

TEST(ImgViews, AViewOutlivesItsSource) {
  auto* source = new CTypedImg<float>;
  source->Create(3, 3, 1, 0);
  source->At(2, 2) = 5.0f;
  CTypedImg<float> view(*source);
  delete source;
  EXPECT_EQ(view.memShare->refCount, 1);
  EXPECT_EQ(view.At(2, 2), 5.0f);
}

TEST(ImgViews, AssignKeepsATypedImagesTypeWord) {
  CImg untyped;
  untyped.Create(2, 2, 1, 4, 0, 0);
  CTypedImg<float> f;
  f.Assign(untyped);
  EXPECT_EQ(f.type, 2);
  CImg other;
  other.Assign(f);
  EXPECT_EQ(other.type, 2);
  EXPECT_EQ(other.pixels, f.pixels);
  EXPECT_EQ(f.memShare->refCount, 3);
  other.Assign(other);
  EXPECT_EQ(f.memShare->refCount, 3);
  EXPECT_EQ(other.Reset(), 2);
  EXPECT_EQ(other.width, 0);
  EXPECT_EQ(other.type, 2);
}

TEST(ImgAttach, AlignmentModeIsDerivedFromAddressAndStride) {
  alignas(128) static uint8_t buffer[4096];
  CImg a;
  ASSERT_EQ(a.Attach(buffer + 16, 4, 4, 1, 64, 1, 1), S_OK);
  EXPECT_EQ(a.alignMode, 2);
  a.Attach(buffer + 16, 4, 4, 1, 100, 1, 1);
  EXPECT_EQ(a.alignMode, 1);
  a.Attach(buffer, 4, 4, 1, 100, 1, 1);
  EXPECT_EQ(a.alignMode, 3);
  a.Attach(buffer + 16, 4, 4, 1, 256, 1, 1);
  EXPECT_EQ(a.alignMode, 4);
  a.Attach(buffer + 1, 4, 4, 1, 256, 1, 1);
  EXPECT_EQ(a.alignMode, 0);
  EXPECT_EQ(a.Attach(nullptr, 9, 9, 1, 9, 1, 1), S_OK);
  EXPECT_EQ(a.width, 4);
  EXPECT_EQ(a.pixels, buffer + 1);
}

TEST(ImgShareRect, ViewsReinterpretThePixel) {
  CCompositeImg<RGBAType<unsigned char>> src;
  ASSERT_EQ(src.Create(4, 2, 4, 1, src.type, 0), S_OK);
  const RECT r{1, 0, 3, 2};
  CImg untyped;
  ASSERT_EQ(src.ShareRect(&untyped, &r), S_OK);
  EXPECT_EQ(untyped.width, 2);
  EXPECT_EQ(untyped.height, 2);
  EXPECT_EQ(untyped.pixels, src.pixels + 4);
  EXPECT_EQ(untyped.alignMode, 0);
  EXPECT_EQ(untyped.bands, 4);
  EXPECT_EQ(untyped.type, kTypeRGBAByte);
  CTypedImg<float> asFloat;
  ASSERT_EQ(src.ShareRect(&asFloat, &r), S_OK);
  EXPECT_EQ(asFloat.bands, 1);
  EXPECT_EQ(asFloat.pixelSize, 4);
  EXPECT_EQ(src.memShare->refCount, 3);

  CCompositeImg<RGBType<unsigned char>> rgb;
  rgb.Create(4, 2, 3, 1, rgb.type, 0);
  CTypedImg<unsigned short> shorts;
  EXPECT_EQ(rgb.ShareRect(&shorts, nullptr), E_INVALIDARG);
  EXPECT_EQ(rgb.lastError, E_INVALIDARG);

  const RECT outside{10, 10, 12, 12};
  EXPECT_EQ(src.ShareRect(&untyped, &outside), E_INVALIDARG);
  EXPECT_EQ(src.ShareRect(&src, nullptr), E_INVALIDARG);
  CImg empty;
  EXPECT_EQ(empty.ShareRect(&untyped, nullptr), E_KO_NOTINIT);
}

TEST(ImgShareRect, ResharingTheSameBlockIntoItsOnlyOtherHolderIsSafe) {
  auto* src = new CTypedImg<float>;
  src->Create(4, 4, 1, 0);
  CTypedImg<float> view;
  src->ShareRect(&view, nullptr);
  delete src;  // the view is now the block's only holder
  CTypedImg<float> again(view);
  ASSERT_EQ(again.ShareRect(&view, nullptr), S_OK);
  EXPECT_EQ(view.memShare->refCount, 2);
}

TEST(ImgShareRect, ThePropertiesFollowTheView) {
  CTypedImg<float> src;
  src.Create(2, 2, 1, 0);
  CParamValue v;
  v.SetString("x");
  src.params.SetByName(u"Key", 0, v);
  CTypedImg<float> view;
  view.params.SetByName(u"Old", 0, v);
  src.ShareRect(&view, nullptr);
  const CParamValue* got = nullptr;
  EXPECT_EQ(view.params.GetByName(&got, u"Key", 0), S_OK);
  EXPECT_EQ(view.params.GetByName(&got, u"Old", 0), S_FALSE);
}

TEST(ImgClip, RectanglesAreNormalisedAndIntersected) {
  CImg a;
  a.Create(10, 8, 1, 1, 1, 0);
  const RECT swapped{6, 5, 2, 1};
  const RECT c = a.ClipRect(&swapped);
  EXPECT_EQ(c.left, 2);
  EXPECT_EQ(c.top, 1);
  EXPECT_EQ(c.right, 6);
  EXPECT_EQ(c.bottom, 5);
  const RECT beyond{-5, -5, 50, 3};
  const RECT d = a.ClipRect(&beyond);
  EXPECT_EQ(d.left, 0);
  EXPECT_EQ(d.right, 10);
  EXPECT_EQ(d.bottom, 3);
  const RECT away{20, 20, 30, 30};
  const RECT e = a.ClipRect(&away);
  EXPECT_TRUE(e.left == 0 && e.top == 0 && e.right == 0 && e.bottom == 0);
}

TEST(ImgFill, WholePixelsSingleBandsAndRefusedBands) {
  CCompositeImg<RGBAType<unsigned char>> img;
  img.Create(5, 3, 4, 1, img.type, 0);
  const uint8_t pixel[4] = {1, 2, 3, 4};
  const RECT r{1, 1, 4, 3};
  ASSERT_EQ(img.Fill(pixel, &r, -1, false), S_OK);
  EXPECT_EQ(img.BandPtr(0, 1, 0)[0], 0);
  EXPECT_EQ(img.BandPtr(1, 1, 0)[3], 4);
  EXPECT_EQ(img.BandPtr(3, 2, 0)[2], 3);
  EXPECT_EQ(img.BandPtr(4, 2, 0)[0], 0);
  const uint8_t seven = 7;
  ASSERT_EQ(img.Fill(&seven, nullptr, 2, false), S_OK);
  EXPECT_EQ(img.BandPtr(0, 0, 2)[0], 7);
  EXPECT_EQ(img.BandPtr(0, 0, 1)[0], 0);
  ASSERT_EQ(img.Fill(&seven, nullptr, -1, true), S_OK);
  for (int y = 0; y < 3; ++y)
    for (int b = 0; b < 20; ++b) ASSERT_EQ(img.RowPtr(y)[b], 7);

  // A band beyond the pixel would write into the neighbour.
  const RECT one{0, 0, 1, 1};
  const uint8_t nine = 9;
  EXPECT_EQ(img.Fill(&nine, &one, 4, false), E_INVALIDARG);
  EXPECT_EQ(img.BandPtr(1, 0, 0)[0], 7);
  const RECT outside{10, 10, 20, 20};
  EXPECT_EQ(img.Fill(&nine, &outside, -1, false), S_OK);
  CImg empty;
  EXPECT_EQ(empty.Fill(&nine, nullptr, -1, false), E_KO_NOTINIT);
}

TEST(ImgCopy, CopyToTakesTheOverlapAndRefusesIncompatibleTargets) {
  CTypedImg<float> a;
  a.Create(4, 3, 1, 0);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) a.At(x, y) = static_cast<float>(10 * y + x);
  CTypedImg<float> small;
  small.Create(2, 5, 1, 2);
  ASSERT_EQ(a.CopyTo(&small), S_OK);
  EXPECT_EQ(small.At(1, 2), 21.0f);
  EXPECT_EQ(small.At(1, 4), 0.0f);
  CTypedImg<float> fresh;
  ASSERT_EQ(a.CopyTo(&fresh), S_OK);
  EXPECT_EQ(fresh.width, 4);
  EXPECT_EQ(fresh.At(3, 2), 23.0f);
  EXPECT_EQ(a.CopyTo(&a), S_OK);
  CTypedImg<unsigned char> bytes;
  bytes.Create(4, 3, 4, 0);  // four bands of bytes: not compatible with one float band
  EXPECT_EQ(a.CopyTo(&bytes), E_INVALIDARG);
  EXPECT_EQ(a.lastError, E_INVALIDARG);
}

TEST(ImgPersistence, SavedFormIsRecordHeaderAndUnpaddedRows) {
  CCompositeImg<RGBAType<unsigned char>> img;
  img.Create(2, 1, 4, 1, img.type, 4);  // stride 128, but rows are saved unpadded
  for (int i = 0; i < 8; ++i) img.RowPtr(0)[i] = static_cast<uint8_t>(i + 1);
  img.SetName(u"pic");
  CMemoryStream s;
  ASSERT_EQ(img.Save(&s), S_OK);
  const auto& b = s.Bytes();
  ASSERT_EQ(b.size(), 52u + 16u + 8u);
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(b[2], 0x01);
  EXPECT_EQ(b[52], 2);   // width
  EXPECT_EQ(b[56], 1);   // height
  EXPECT_EQ(b[60], 1);   // element size
  EXPECT_EQ(b[64], 4);   // bands
  EXPECT_EQ(b[68], 1);
  EXPECT_EQ(b[75], 8);

  s.Rewind();
  CImg back;
  ASSERT_EQ(back.Load(&s), S_OK);
  EXPECT_EQ(back.type, kTypeRGBAByte);
  EXPECT_EQ(back.width, 2);
  EXPECT_EQ(back.bands, 4);
  EXPECT_EQ(std::u16string(back.name), u"pic");
  EXPECT_EQ(std::memcmp(back.RowPtr(0), img.RowPtr(0), 8), 0);

  SHeaderBlob blob{};
  img.GetHeaderBlob(&blob);
  ASSERT_EQ(blob.byteCount, 16u);
  EXPECT_EQ(std::memcmp(blob.data, b.data() + 52, 16), 0);
  KoFree(blob.data);
}

TEST(ImgPersistence, ShortAndFailingStreamsAreReported) {
  CTypedImg<float> img;
  img.Create(3, 3, 1, 0);
  CMemoryStream s;
  img.Save(&s);
  for (size_t cut : {size_t{10}, size_t{60}, size_t{52 + 16 + 20}}) {
    std::vector<uint8_t> bytes(s.Bytes().begin(), s.Bytes().begin() + static_cast<long>(cut));
    CMemoryStream shortStream(bytes);
    CImg back;
    EXPECT_EQ(back.Load(&shortStream), E_KO_READ) << cut;
    EXPECT_EQ(back.lastError, E_KO_READ);
  }
  CImg empty;
  CMemoryStream out;
  EXPECT_EQ(empty.Save(&out), E_KO_NOTINIT);
  CMemoryStream full;
  full.LimitSize(60);
  EXPECT_EQ(img.Save(&full), E_FAIL);
  EXPECT_EQ(img.lastError, E_FAIL);
  EXPECT_EQ(img.Save(nullptr), S_OK);
  EXPECT_EQ(img.Load(nullptr), S_OK);

  // A stored header with an impossible size is refused, not allocated.
  std::vector<uint8_t> bad = s.Bytes();
  bad[52] = 0xFF; bad[53] = 0xFF; bad[54] = 0x00; bad[55] = 0x40;  // width 2^30
  CMemoryStream hostile(bad);
  CImg victim;
  EXPECT_EQ(victim.Load(&hostile), E_OUTOFMEMORY);
}

TEST(ImgTypes, TypedFormsFixTypeWordAndElementSize) {
  EXPECT_EQ(CTypedImg<unsigned char>().type, 1);
  EXPECT_EQ(CTypedImg<unsigned short>().elementSize, 2);
  EXPECT_EQ(CTypedImg<float>().type, 2);
  EXPECT_EQ(CTypedImg<_SFlowParams>().elementSize, 12);
  EXPECT_EQ(CCompositeImg<RGBType<unsigned short>>().pixelSize, 6);
  EXPECT_EQ(CCompositeImg<RGBAType<unsigned char>>().type, 0x10001);
  EXPECT_EQ(ElementSizeOfType(0x60004), 2);
  EXPECT_EQ(ElementSizeOfType(0x10002), 4);
  EXPECT_EQ(ElementSizeOfType(7), 0);
  EXPECT_STREQ(kTypeNames[4], "short");
  CTypedImg<float> f;
  ASSERT_EQ(f.Create(3, 3, 0), S_OK);  // the four-band form
  EXPECT_EQ(f.bands, 4);
  EXPECT_EQ(f.pixelSize, 16);
}

}  // namespace
