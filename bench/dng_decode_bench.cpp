// Decoding the raw samples of a 24-megapixel lossless-JPEG DNG (6016 x 4016 14-bit samples
// in 256 x 256 tiles, each a frame of half the width with two components, as DNG
// converters write them; made by the tests' DNG writer), and LibRaw's unpacking of the same
// file for reference, alternately in the same iterations; then the whole load of the file
// (develop included) into an RGBA byte image. LibRaw is a yardstick of this benchmark only
// (Debian's libraw-dev); without it those rows are skipped. Before timing, the samples
// both decode are compared.
//
//   build/bench/dng_decode_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#ifdef BREVANT_HAVE_LIBRAW
#include <libraw.h>
#endif

#include "ko/codec/testing/dng_writer.h"
#include "ko/io/dng_image_reader.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/path_codec.h"

using namespace ko;

namespace {

constexpr int kWidth = 6016, kHeight = 4016;

// A mosaic that compresses like a photograph's: smooth shading of each colour plane, edges,
// texture and sensor noise, 14 bits.
std::vector<uint16_t> PhotoLikeMosaic() {
  std::vector<uint16_t> s(static_cast<size_t>(kWidth) * kHeight);
  uint32_t noise = 12345;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      const int colour = (y & 1) * 2 + (x & 1);  // R G / G B
      const int base = colour == 0 ? 3000 + x * 6000 / kWidth : colour == 3 ? 2000 + y * 5000 / kHeight : 5000;
      const int texture = (((x / 53) ^ (y / 41)) & 7) * 300;
      const int n = static_cast<int>((noise >> 20) & 127) - 64;
      s[static_cast<size_t>(y) * kWidth + x] = static_cast<uint16_t>(std::min(16383, std::max(0, base + texture + n)));
    }
  return s;
}

struct File {
  std::vector<uint8_t> bytes;
  std::string path;
  File() {
    test::DngStorage storage;
    storage.bits = 14;
    storage.losslessJpeg = true;
    storage.tileWidth = storage.tileLength = 256;
    storage.shape = test::DngStorage::kHalfWidthTwoComponents;
    test::DngBuilder dng(kWidth, kHeight, PhotoLikeMosaic(), storage);
    dng.RawIfd().Short(50717, {16383});  // WhiteLevel
    dng.Ifd0().Raw(271, 2, 6, {'B', 'e', 'n', 'c', 'h', 0}).Raw(272, 2, 6, {'M', 'o', 'd', 'e', 'l', 0});
    bytes = dng.Bytes();
    path = "/tmp/dng_decode_bench_" + std::to_string(getpid()) + ".dng";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  ~File() { std::remove(path.c_str()); }
};

File& TheFile() {
  static File file;
  return file;
}

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Ours: the reader opened once, the samples decoded into a new image each time.
bool DecodeOurs(const CDngImageReader& reader, CTypedImg<unsigned short>* raw) {
  return reader.DecodeRawSamples(raw) == S_OK;
}

void BM_DngDecodeRawSamples(benchmark::State& state) {
  CDngImageReader reader;
  if (reader.OpenMemory(TheFile().bytes.data(), TheFile().bytes.size()) != S_OK) {
    state.SkipWithError("open");
    return;
  }
  for (auto _ : state) {
    CTypedImg<unsigned short> raw;
    if (!DecodeOurs(reader, &raw)) state.SkipWithError("decode");
    benchmark::DoNotOptimize(raw.pixels);
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_MB"] = static_cast<double>(TheFile().bytes.size()) / 1e6;
}

void BM_DngLoadImageFileRgba(benchmark::State& state) {
  const std::u16string name = DecodeNarrowPath(TheFile().path.c_str());
  for (auto _ : state) {
    CCompositeImg<RGBAType<unsigned char>> image;
    if (LoadImageFile(name.c_str(), &image, 1, -1) != S_OK) state.SkipWithError("load");
    benchmark::DoNotOptimize(image.pixels);
  }
  state.counters["MP/s"] = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

#ifdef BREVANT_HAVE_LIBRAW
// LibRaw's unpack of the file from memory; the open is outside the time, as ours is.
bool LibRawUnpack(LibRaw* raw, double* ms) {
  raw->recycle();
  if (raw->open_buffer(const_cast<uint8_t*>(TheFile().bytes.data()), TheFile().bytes.size()) != LIBRAW_SUCCESS)
    return false;
  const double t0 = WallMs();
  const bool ok = raw->unpack() == LIBRAW_SUCCESS;
  *ms = WallMs() - t0;
  return ok && raw->imgdata.rawdata.raw_image;
}

// Both decoders give the same samples, or the timings compare nothing.
bool SameSamples(LibRaw* raw) {
  CDngImageReader reader;
  CTypedImg<unsigned short> ours;
  double ms = 0;
  if (reader.OpenMemory(TheFile().bytes.data(), TheFile().bytes.size()) != S_OK || !DecodeOurs(reader, &ours) ||
      !LibRawUnpack(raw, &ms))
    return false;
  const auto& sizes = raw->imgdata.sizes;
  if (sizes.raw_width != kWidth || sizes.raw_height != kHeight) return false;
  for (int y = 0; y < kHeight; ++y)
    if (std::memcmp(ours.Row(y), reinterpret_cast<const uint8_t*>(raw->imgdata.rawdata.raw_image) + y * sizes.raw_pitch,
                    kWidth * 2) != 0)
      return false;
  return true;
}

void BM_LibRawUnpack(benchmark::State& state) {
  LibRaw raw;
  double total = 0;
  for (auto _ : state) {
    double ms = 0;
    if (!LibRawUnpack(&raw, &ms)) state.SkipWithError("libraw");
    total += ms;
    state.SetIterationTime(ms / 1e3);
  }
  state.counters["unpack_ms"] = total / static_cast<double>(state.iterations());
}

// Ours and LibRaw's alternately, in wall time (LibRaw may use threads); "ratio" is ours
// over LibRaw's.
void BM_DngDecodeOverLibRaw(benchmark::State& state) {
  LibRaw raw;
  if (!SameSamples(&raw)) {
    state.SkipWithError("LibRaw's samples differ from ours, or it cannot read the file");
    return;
  }
  CDngImageReader reader;
  if (reader.OpenMemory(TheFile().bytes.data(), TheFile().bytes.size()) != S_OK) {
    state.SkipWithError("open");
    return;
  }
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    double ms = 0;
    if (!LibRawUnpack(&raw, &ms)) state.SkipWithError("libraw");
    theirs += ms;
    const double t0 = WallMs();
    {
      CTypedImg<unsigned short> samples;
      if (!DecodeOurs(reader, &samples)) state.SkipWithError("decode");
      benchmark::DoNotOptimize(samples.pixels);
    }
    ours += WallMs() - t0;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours / n;
  state.counters["libraw_ms"] = theirs / n;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}
#else
void BM_LibRawUnpack(benchmark::State& state) { state.SkipWithError("built without LibRaw (libraw-dev)"); }
void BM_DngDecodeOverLibRaw(benchmark::State& state) { state.SkipWithError("built without LibRaw (libraw-dev)"); }
#endif

}  // namespace

BENCHMARK(BM_DngDecodeOverLibRaw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DngDecodeRawSamples)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibRawUnpack)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DngLoadImageFileRgba)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
