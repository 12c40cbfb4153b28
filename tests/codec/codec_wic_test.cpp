#include <gtest/gtest.h>

#include <cstring>

#include "codec_test_util.h"
#include "ko/codec/jxr_codec.h"
#include "ko/codec/wic_decoder.h"
#include "ko/platform/platform_services.h"

using namespace ko;
using namespace ko::wic;
using namespace codec_test;

namespace {

class ComSession {
 public:
  ComSession() { CoInitializeEx(nullptr, 0); }
  ~ComSession() { CoUninitialize(); }
};

template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T** out() { return &p; }
  T* operator->() const { return p; }
};

std::vector<uint8_t> Pattern(uint32_t w, uint32_t h, uint32_t bytesPerPixel) {
  std::vector<uint8_t> v(size_t{w} * h * bytesPerPixel);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>((i * 29 + i / 7) & 0xFF);
  return v;
}

std::vector<uint8_t> Jxr(const std::vector<uint8_t>& pixels, uint32_t w, uint32_t h, uint32_t bpp, const GUID& format) {
  CodecBuffer out;
  EXPECT_EQ(EncodeJxr(pixels.data(), w, h, size_t{w} * bpp, format, 1, &out), JxrStatus::Ok);
  return ToVector(out);
}

class WicDecoder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                               reinterpret_cast<void**>(factory.out())),
              S_OK);
  }
  void TearDown() override {
    if (factory.p) factory.p->Release();
    factory.p = nullptr;
    EXPECT_EQ(LiveObjectCount(), 0);
  }
  ComSession com;
  Ref<IWICImagingFactory> factory;
};

TEST_F(WicDecoder, LosslessFilesComeBackPixelForPixelInTheirOwnFormat) {
  struct Case {
    const GUID* format;
    uint32_t bpp;
  };
  const Case cases[] = {{&GUID_WICPixelFormat8bppGray, 1},
                        {&GUID_WICPixelFormat24bppBGR, 3},
                        {&GUID_WICPixelFormat24bppRGB, 3},
                        {&GUID_WICPixelFormat32bppBGRA, 4}};
  for (const Case& c : cases) {
    const uint32_t w = 37, h = 21;
    const auto pixels = Pattern(w, h, c.bpp);
    const auto file = Jxr(pixels, w, h, c.bpp, *c.format);
    Ref<IWICBitmapDecoder> decoder;
    ASSERT_EQ(factory->CreateDecoderFromMemory(file.data(), file.size(), decoder.out()), S_OK);
    uint32_t frames = 0;
    EXPECT_EQ(decoder->GetFrameCount(&frames), S_OK);
    EXPECT_EQ(frames, 1u);
    Ref<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.out()), S_OK);
    uint32_t fw = 0, fh = 0;
    EXPECT_EQ(frame->GetSize(&fw, &fh), S_OK);
    EXPECT_EQ(fw, w);
    EXPECT_EQ(fh, h);
    GUID format{};
    EXPECT_EQ(frame->GetPixelFormat(&format), S_OK);
    EXPECT_TRUE(IsEqualGuid(format, *c.format));
    std::vector<uint8_t> out(pixels.size());
    ASSERT_EQ(frame->CopyPixels(nullptr, w * c.bpp, static_cast<uint32_t>(out.size()), out.data()), S_OK);
    EXPECT_EQ(out, pixels) << c.bpp;
    // Row by row, as the reader asks.
    std::vector<uint8_t> row(w * c.bpp);
    const WICRect rect{0, 13, static_cast<int32_t>(w), 1};
    ASSERT_EQ(frame->CopyPixels(&rect, w * c.bpp, w * c.bpp, row.data()), S_OK);
    EXPECT_TRUE(std::equal(row.begin(), row.end(), pixels.begin() + 13 * w * c.bpp));
  }
}

TEST_F(WicDecoder, FloatFormatsDecode) {
  const uint32_t w = 16, h = 16;
  std::vector<float> rgba(w * h * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<float>(i % 64) / 64.0f;
  std::vector<uint8_t> bytes(rgba.size() * 4);
  std::memcpy(bytes.data(), rgba.data(), bytes.size());
  CodecBuffer file;
  ASSERT_EQ(EncodeJxr(bytes.data(), w, h, w * 16, GUID_WICPixelFormat128bppRGBAFloat, 1, &file), JxrStatus::Ok);
  Ref<IWICBitmapDecoder> decoder;
  ASSERT_EQ(factory->CreateDecoderFromMemory(file.data(), file.size(), decoder.out()), S_OK);
  Ref<IWICBitmapFrameDecode> frame;
  ASSERT_EQ(decoder->GetFrame(0, frame.out()), S_OK);
  GUID format{};
  frame->GetPixelFormat(&format);
  EXPECT_TRUE(IsEqualGuid(format, GUID_WICPixelFormat128bppRGBAFloat));
  std::vector<float> out(rgba.size());
  ASSERT_EQ(frame->CopyPixels(nullptr, w * 16, w * h * 16, reinterpret_cast<uint8_t*>(out.data())), S_OK);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], rgba[i], 1e-3) << i;
}

TEST_F(WicDecoder, RefusesWhatIsNotHdPhotoAndBadRequests) {
  const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0};
  Ref<IWICBitmapDecoder> decoder;
  EXPECT_EQ(factory->CreateDecoderFromMemory(png.data(), png.size(), decoder.out()), WINCODEC_ERR_COMPONENTNOTFOUND);
  EXPECT_EQ(factory->CreateDecoderFromFilename(u"/nonexistent/x.wdp", nullptr, GENERIC_READ,
                                               WICDecodeMetadataCacheOnLoad, decoder.out()),
            WIC_E_FILE_NOT_FOUND);
  EXPECT_EQ(factory->CreateDecoderFromFilename(u"/tmp", nullptr, GENERIC_READ, WICDecodeMetadataCacheOnLoad,
                                               decoder.out()),
            E_ACCESSDENIED);
  const auto pixels = Pattern(8, 8, 3);
  const auto file = Jxr(pixels, 8, 8, 3, GUID_WICPixelFormat24bppBGR);
  ASSERT_EQ(factory->CreateDecoderFromMemory(file.data(), file.size(), decoder.out()), S_OK);
  Ref<IWICBitmapFrameDecode> frame;
  EXPECT_EQ(decoder->GetFrame(1, frame.out()), WINCODEC_ERR_FRAMEMISSING);
  ASSERT_EQ(decoder->GetFrame(0, frame.out()), S_OK);
  std::vector<uint8_t> out(8 * 8 * 3);
  EXPECT_EQ(frame->CopyPixels(nullptr, 24, 100, out.data()), WINCODEC_ERR_INSUFFICIENTBUFFER);
  EXPECT_EQ(frame->CopyPixels(nullptr, 23, 1000, out.data()), E_INVALIDARG);
  const WICRect outside{0, 7, 8, 2};
  EXPECT_EQ(frame->CopyPixels(&outside, 24, 1000, out.data()), E_INVALIDARG);
}

TEST_F(WicDecoder, DamagedContainersAreRefusedWithoutReachingTheDecoder) {
  const auto pixels = Pattern(16, 16, 3);
  const auto file = Jxr(pixels, 16, 16, 3, GUID_WICPixelFormat24bppBGR);
  StderrCapture capture;
  Ref<IWICBitmapDecoder> decoder;
  auto damaged = file;
  damaged[4] = 0xFF;  // directory offset beyond the file
  damaged[7] = 0x7F;
  EXPECT_EQ(factory->CreateDecoderFromMemory(damaged.data(), damaged.size(), decoder.out()), WINCODEC_ERR_BADHEADER);
  // An unknown tag (which jxrlib would print about) is ignored.
  damaged = file;
  const uint32_t dir = damaged[4] | damaged[5] << 8;
  damaged[dir + 2 + 12 * 4] = 0x34;  // the fifth entry (a resolution)
  damaged[dir + 3 + 12 * 4] = 0x12;
  EXPECT_EQ(factory->CreateDecoderFromMemory(damaged.data(), damaged.size(), decoder.out()), S_OK);
  // Cut short: the container may still read, the pixels not.
  for (size_t keep : {size_t{6}, file.size() / 2, file.size() - 10}) {
    Ref<IWICBitmapDecoder> d;
    const HRESULT hr = factory->CreateDecoderFromMemory(file.data(), keep, d.out());
    if (hr < 0) continue;
    Ref<IWICBitmapFrameDecode> f;
    ASSERT_EQ(d->GetFrame(0, f.out()), S_OK);
    std::vector<uint8_t> out(16 * 16 * 3);
    f->CopyPixels(nullptr, 48, static_cast<uint32_t>(out.size()), out.data());
  }
  EXPECT_EQ(capture.Take(), "");
}

TEST(WicFactory, NeedsComAndKnowsOnlyTheImagingFactory) {
  void* object = nullptr;
  while (ComActiveCount() > 0) CoUninitialize();
  EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &object),
            CO_E_NOTINITIALIZED);
  ComSession com;
  EXPECT_EQ(CoCreateInstance(IID_IWICBitmapDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(LiveObjectCount(), 0);
}

}  // namespace
