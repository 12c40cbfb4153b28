// Loading a 12-megapixel JPEG and PNG: through the codec stand-in (header, then pixels
// locked as the reader locks them), through the whole reader into an RGBA byte image, and
// with a plain libjpeg / libpng decode of the same bytes for reference.
//
//   build/bench/codec_load_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>
// clang-format off
#include <png.h>
#include <jpeglib.h>
// clang-format on

#include "ko/io/image_file_reader.h"
#include "ko/platform/codec_writers.h"
#include "ko/platform/gdiplus_bitmap.h"
#include "ko/platform/path_codec.h"
#include "ko/platform/platform_services.h"

using namespace ko;

namespace {

constexpr uint32_t kWidth = 4000, kHeight = 3000;

// Smooth shading with fine texture, so that the files compress like a photograph would.
std::vector<uint8_t> PhotoLikeRgb() {
  std::vector<uint8_t> rgb(size_t{kWidth} * kHeight * 3);
  uint32_t noise = 12345;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      const int n = static_cast<int>((noise >> 24) & 15) - 8;
      uint8_t* p = &rgb[(size_t{y} * kWidth + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(static_cast<int>(x * 255 / kWidth) + n, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(static_cast<int>(y * 255 / kHeight) + n, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(128 + static_cast<int>(((x / 37) ^ (y / 29)) & 63) + n, 0, 255));
    }
  }
  return rgb;
}

struct Files {
  std::vector<uint8_t> jpeg, png;
  std::string jpegPath, pngPath;
  Files() {
    const auto rgb = PhotoLikeRgb();
    CodecBuffer out;
    JpegWriteOptions j;
    j.quality = 90;
    WriteJpeg(rgb.data(), kWidth, kHeight, size_t{kWidth} * 3, j, &out);
    jpeg.assign(out.data(), out.data() + out.size());
    WritePng(rgb.data(), kWidth, kHeight, size_t{kWidth} * 3, PngWriteOptions(), &out);
    png.assign(out.data(), out.data() + out.size());
    const std::string base = "/tmp/codec_load_bench_" + std::to_string(getpid());
    jpegPath = base + ".jpg";
    pngPath = base + ".png";
    Save(jpegPath, jpeg);
    Save(pngPath, png);
    uintptr_t token = 0;
    GdiplusStartupInput input;
    GdiplusStartup(&token, &input, nullptr);
  }
  ~Files() {
    std::remove(jpegPath.c_str());
    std::remove(pngPath.c_str());
  }
  static void Save(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

void StandIn(benchmark::State& state, const std::vector<uint8_t>& file, int32_t format) {
  for (auto _ : state) {
    GpBitmap* b = nullptr;
    if (GdipCreateBitmapFromMemory(file.data(), file.size(), &b) != Ok) {
      state.SkipWithError("create");
      return;
    }
    BitmapData data{};
    if (GdipBitmapLockBits(b, nullptr, ImageLockModeRead, format, &data) != Ok) state.SkipWithError("lock");
    benchmark::DoNotOptimize(data.Scan0);
    GdipBitmapUnlockBits(b, &data);
    GdipDisposeImage(b);
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_JpegStandIn24(benchmark::State& s) { StandIn(s, TheFiles().jpeg, PixelFormat24bppRGB); }
void BM_PngStandIn24(benchmark::State& s) { StandIn(s, TheFiles().png, PixelFormat24bppRGB); }

void Reader(benchmark::State& state, const std::string& path) {
  const std::u16string name = DecodeNarrowPath(path.c_str());
  for (auto _ : state) {
    CCompositeImg<RGBAType<unsigned char>> image;
    if (LoadImageFile(name.c_str(), &image, 1, -1) != S_OK) state.SkipWithError("load");
    benchmark::DoNotOptimize(image.pixels);
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_JpegLoadImageFileRgba(benchmark::State& s) { Reader(s, TheFiles().jpegPath); }
void BM_PngLoadImageFileRgba(benchmark::State& s) { Reader(s, TheFiles().pngPath); }

// The references: the libraries' own decode of the same bytes into a buffer, nothing else.
struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void JpegExit(j_common_ptr c) { longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1); }

// Argument 1: a fresh output buffer every time, as a load into a new image has (its pages
// are faulted in anew); 0: one buffer reused.
void BM_JpegPlainLibjpeg(benchmark::State& state) {
  const auto& file = TheFiles().jpeg;
  std::vector<uint8_t> out(size_t{kWidth} * kHeight * 3);
  for (auto _ : state) {
    if (state.range(0)) std::vector<uint8_t>(out.size()).swap(out);
    jpeg_decompress_struct cinfo;
    JpegErr err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegExit;
    if (setjmp(err.jump)) {
      jpeg_destroy_decompress(&cinfo);
      state.SkipWithError("libjpeg");
      return;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), file.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = out.data() + size_t{cinfo.output_scanline} * kWidth * 3;
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PngPlainLibpng(benchmark::State& state) {
  const auto& file = TheFiles().png;
  std::vector<uint8_t> out(size_t{kWidth} * kHeight * 3);
  for (auto _ : state) {
    if (state.range(0)) std::vector<uint8_t>(out.size()).swap(out);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
      state.SkipWithError("libpng");
      return;
    }
    image.format = PNG_FORMAT_RGB;
    png_image_finish_read(&image, nullptr, out.data(), 0, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_JpegPlainLibjpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegStandIn24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLoadImageFileRgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngPlainLibpng)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngStandIn24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngLoadImageFileRgba)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
