// Every seed and every input a fuzzer once broke the codec stand-ins with (the files named
// regress_*) goes through them again: seeds decode, regressions fail cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "codec_test_util.h"
#include "ko/codec/wic_decoder.h"
#include "ko/platform/memory.h"
#include "ko/platform/platform_services.h"

using namespace ko;
using namespace codec_test;

namespace {

std::vector<std::filesystem::path> Files(const char* corpus) {
  std::vector<std::filesystem::path> out;
  const auto dir = std::filesystem::path(BREVANT_SOURCE_DIR) / "fuzz" / "corpus" / corpus;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(e.path());
  return out;
}

std::vector<uint8_t> Read(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool IsRegression(const std::filesystem::path& p) { return p.filename().string().rfind("regress_", 0) == 0; }

TEST(CodecCorpus, SeedsDecodeAndRegressionsFailCleanly) {
  GdiplusSession session;
  StderrCapture capture;
  for (const char* corpus : {"png_decoder", "jpeg_decoder", "gif_decoder", "bmp_decoder", "tiff_decoder"}) {
    const auto files = Files(corpus);
    EXPECT_FALSE(files.empty()) << corpus;
    for (const auto& path : files) {
      Bitmap b;
      const std::vector<uint8_t> bytes = Read(path);
      ResetLargestAllocationRequest();
      const GpStatus created = b.Create(bytes);
      GpStatus locked = GenericError;
      if (created == Ok) LockAll(b.get(), PixelFormat32bppARGB, &locked);
      if (!IsRegression(path)) {
        EXPECT_EQ(locked, Ok) << path;
      }
      // Small files: nothing a decoder asks for should be far beyond the file and its pixels.
      EXPECT_LT(LargestAllocationRequest(), (size_t{64} << 20)) << path;
    }
  }
  EXPECT_EQ(capture.Take(), "");
}

TEST(CodecCorpus, HdPhotoSeedsDecodeAndRegressionsFailCleanly) {
  CoInitializeEx(nullptr, 0);
  wic::IWICImagingFactory* factory = nullptr;
  ASSERT_EQ(wic::CoCreateInstance(wic::CLSID_WICImagingFactory, nullptr, wic::CLSCTX_INPROC_SERVER,
                                  wic::IID_IWICImagingFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  StderrCapture capture;
  for (const auto& path : Files("jxr_decoder")) {
    const auto bytes = Read(path);
    wic::IWICBitmapDecoder* decoder = nullptr;
    HRESULT hr = factory->CreateDecoderFromMemory(bytes.data(), bytes.size(), &decoder);
    if (hr >= 0) {
      wic::IWICBitmapFrameDecode* frame = nullptr;
      hr = decoder->GetFrame(0, &frame);
      if (hr >= 0) {
        uint32_t w = 0, h = 0;
        frame->GetSize(&w, &h);
        std::vector<uint8_t> pixels(size_t{w} * h * 16);
        hr = frame->CopyPixels(nullptr, w * 16, static_cast<uint32_t>(pixels.size()), pixels.data());
        frame->Release();
      }
      decoder->Release();
    }
    if (!IsRegression(path)) {
      EXPECT_EQ(hr, S_OK) << path;
    }
  }
  EXPECT_EQ(capture.Take(), "");
  factory->Release();
  CoUninitialize();
  EXPECT_EQ(wic::LiveObjectCount(), 0);
}

}  // namespace
