// Loading a 12-megapixel JPEG and PNG: through the codec stand-in (header, then pixels
// locked in 24bppRGB or 32bppARGB into its own buffer), through the whole reader into an RGBA byte
// image, and with a plain libjpeg / libpng decode of the same bytes for reference; the
// *LoadOverPlain rows time the reader and the reference alternately and print the ratio;
// in the *WithRead rows the reference also reads the file, as djpeg or a plain libpng
// program does and as the reader must.
//
//   build/bench/codec_load_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
// clang-format off
#include <png.h>
#include <jpeglib.h>
// clang-format on

#include "ko/codec/gdiplus_bitmap.h"
#include "ko/codec/testing/codec_writers.h"
#include "ko/io/image_file_reader.h"
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
void BM_JpegStandIn32(benchmark::State& s) { StandIn(s, TheFiles().jpeg, PixelFormat32bppARGB); }
void BM_PngStandIn32(benchmark::State& s) { StandIn(s, TheFiles().png, PixelFormat32bppARGB); }

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

// The references: what a plain libjpeg / libpng program (djpeg, or a minimal libpng reader)
// does with the same bytes: decode into a freshly allocated buffer (not zero-filled) of the
// library's natural output, RGB for a colour JPEG and the PNG's own format here, and free
// it. `reuse` decodes into `*kept` instead, allocated once.
struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void JpegExit(j_common_ptr c) { longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1); }

bool PlainJpeg(const std::vector<uint8_t>& file, std::unique_ptr<uint8_t[]>* kept) {
  jpeg_decompress_struct cinfo;
  JpegErr err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegExit;
  std::unique_ptr<uint8_t[]> fresh;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), file.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  const size_t rowBytes = size_t{cinfo.output_width} * static_cast<uint32_t>(cinfo.output_components);
  uint8_t* out;
  if (kept) {
    if (!*kept) kept->reset(new uint8_t[rowBytes * cinfo.output_height]);
    out = kept->get();
  } else {
    fresh.reset(new uint8_t[rowBytes * cinfo.output_height]);
    out = fresh.get();
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out + size_t{cinfo.output_scanline} * rowBytes;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  benchmark::DoNotOptimize(out);
  return true;
}

struct PngSource {
  const uint8_t* data;
  size_t size, pos;
};
void PngReadMem(png_structp png, png_bytep out, size_t n) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (src->size - src->pos < n) png_error(png, "truncated");
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
}

bool PlainPng(const std::vector<uint8_t>& file, std::unique_ptr<uint8_t[]>* kept) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  std::unique_ptr<uint8_t[]> fresh;
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  PngSource src{file.data(), file.size(), 0};
  png_set_read_fn(png, &src, PngReadMem);
  png_read_info(png, info);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  const uint32_t height = png_get_image_height(png, info);
  uint8_t* out;
  if (kept) {
    if (!*kept) kept->reset(new uint8_t[rowBytes * height]);
    out = kept->get();
  } else {
    fresh.reset(new uint8_t[rowBytes * height]);
    out = fresh.get();
  }
  rows.resize(height);
  for (uint32_t y = 0; y < height; ++y) rows[y] = out + y * rowBytes;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  benchmark::DoNotOptimize(out);
  return true;
}

// Argument 1: a fresh output buffer every time, as a load into a new image has (its pages
// are faulted in anew): the yardstick. 0: one buffer reused.
void Plain(benchmark::State& state, bool (*decode)(const std::vector<uint8_t>&, std::unique_ptr<uint8_t[]>*),
           const std::vector<uint8_t>& file) {
  std::unique_ptr<uint8_t[]> kept;
  for (auto _ : state)
    if (!decode(file, state.range(0) ? nullptr : &kept)) state.SkipWithError("decode");
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
void BM_JpegPlainLibjpeg(benchmark::State& s) { Plain(s, PlainJpeg, TheFiles().jpeg); }
void BM_PngPlainLibpng(benchmark::State& s) { Plain(s, PlainPng, TheFiles().png); }

double ThreadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The file's bytes read with stdio into a fresh buffer, as a plain decoding program reads
// its input before (or while) decoding it.
bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(size));  // fresh, as a reader's own buffer would be
  bytes.resize(static_cast<size_t>(size));
  const bool ok = size >= 0 && std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::fclose(f);
  *out = std::move(bytes);
  return ok;
}

// The yardstick (fresh buffer) and LoadImageFile into an RGBA image, alternately in the
// same iterations; "ratio" is the load's CPU time over the yardstick's. With `readFile`
// the yardstick also reads the file (the load always does).
void Ratio(benchmark::State& state, bool (*decode)(const std::vector<uint8_t>&, std::unique_ptr<uint8_t[]>*),
           const std::vector<uint8_t>& file, const std::string& path, bool readFile) {
  const std::u16string name = DecodeNarrowPath(path.c_str());
  double plain = 0, load = 0;
  for (auto _ : state) {
    const double t0 = ThreadCpuMs();
    std::vector<uint8_t> read;
    if (readFile && !ReadWhole(path, &read)) state.SkipWithError("read");
    if (!decode(readFile ? read : file, nullptr)) state.SkipWithError("decode");
    const double t1 = ThreadCpuMs();
    {
      CCompositeImg<RGBAType<unsigned char>> image;
      if (LoadImageFile(name.c_str(), &image, 1, -1) != S_OK) state.SkipWithError("load");
      benchmark::DoNotOptimize(image.pixels);
    }
    const double t2 = ThreadCpuMs();
    plain += t1 - t0;
    load += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_ms"] = plain / n;
  state.counters["load_ms"] = load / n;
  state.counters["ratio"] = plain > 0 ? load / plain : 0;
}
void BM_JpegLoadOverPlain(benchmark::State& s) { Ratio(s, PlainJpeg, TheFiles().jpeg, TheFiles().jpegPath, false); }
void BM_PngLoadOverPlain(benchmark::State& s) { Ratio(s, PlainPng, TheFiles().png, TheFiles().pngPath, false); }
void BM_JpegLoadOverPlainWithRead(benchmark::State& s) {
  Ratio(s, PlainJpeg, TheFiles().jpeg, TheFiles().jpegPath, true);
}
void BM_PngLoadOverPlainWithRead(benchmark::State& s) { Ratio(s, PlainPng, TheFiles().png, TheFiles().pngPath, true); }

}  // namespace

BENCHMARK(BM_JpegPlainLibjpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegStandIn24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegStandIn32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLoadImageFileRgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngPlainLibpng)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngStandIn24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngStandIn32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngLoadImageFileRgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLoadOverPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngLoadOverPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLoadOverPlainWithRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngLoadOverPlainWithRead)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
