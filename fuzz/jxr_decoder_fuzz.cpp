// HD Photo files through the imaging-component stand-in: our container check, then
// jxrlib's header and pixel decoding, with every decoded byte read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec_fuzz_common.h"
#include "ko/codec/wic_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ko::wic;
  static IWICImagingFactory* factory = [] {
    ko::CoInitializeEx(nullptr, 0);
    IWICImagingFactory* f = nullptr;
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                     reinterpret_cast<void**>(&f));
    return f;
  }();
  if (!factory) return 0;
  IWICBitmapDecoder* decoder = nullptr;
  if (factory->CreateDecoderFromMemory(data, size, &decoder) < 0) return 0;
  IWICBitmapFrameDecode* frame = nullptr;
  if (decoder->GetFrame(0, &frame) >= 0) {
    uint32_t w = 0, h = 0;
    ko::GUID format{};
    frame->GetSize(&w, &h);
    frame->GetPixelFormat(&format);
    if (uint64_t{w} * h <= (uint64_t{1} << 20)) {
      // 16 bytes per pixel covers the widest format of the reader's table.
      const uint32_t stride = w * 16;
      std::vector<uint8_t> pixels(size_t{stride} * h);
      if (frame->CopyPixels(nullptr, stride, static_cast<uint32_t>(pixels.size()), pixels.data()) >= 0)
        codec_fuzz::Touch(pixels.data(), pixels.size());
    }
    frame->Release();
  }
  decoder->Release();
  return 0;
}
