#include "bench/bench_images.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "ko/codec/testing/codec_writers.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/path_codec.h"

namespace brevant::bench {
namespace {

// A hash of the pixel position: the noise does not depend on the visiting order.
uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = seed * 0x9E3779B9u ^ x * 0x85EBCA6Bu ^ y * 0xC2B2AE35u;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

double Uniform(uint32_t x, uint32_t y, uint32_t seed, uint32_t k) { return Hash(x, y, seed + k * 7919u) / 4294967296.0; }

struct SScene {
  struct SLine { double nx, ny, d, step; };
  struct SDisc { double x, y, r, step; };
  std::vector<SLine> lines;
  std::vector<SDisc> discs;
  double w, h;

  SScene(int32_t width, int32_t height, uint32_t seed) : w(width), h(height) {
    for (uint32_t i = 0; i < 9; ++i) {
      const double a = Uniform(i, 1, seed, 1) * 3.14159265358979;
      lines.push_back({std::cos(a), std::sin(a), (Uniform(i, 2, seed, 1) - 0.5) * 0.8 * (w + h) / 2,
                       (Uniform(i, 3, seed, 1) - 0.5) * 70.0});
    }
    for (uint32_t i = 0; i < 14; ++i)
      discs.push_back({Uniform(i, 4, seed, 2) * w, Uniform(i, 5, seed, 2) * h, (0.02 + 0.12 * Uniform(i, 6, seed, 2)) * w,
                       (Uniform(i, 7, seed, 2) - 0.5) * 90.0});
  }

  double At(int32_t xi, int32_t yi, uint32_t seed) const {
    const double x = xi, y = yi;
    const double u = x / w, v = y / h;
    double value = 70.0 + 60.0 * u + 25.0 * std::sin(6.0 * v + 2.0 * u) * std::cos(4.0 * u - v);
    for (const SLine& l : lines) {
      const double s = l.nx * (x - w / 2) + l.ny * (y - h / 2) - l.d;
      value += l.step / (1.0 + std::exp(-s * 1.5));  // a slightly blurred step, like a lens gives
    }
    for (const SDisc& d : discs) {
      const double r = std::hypot(x - d.x, y - d.y);
      value += d.step / (1.0 + std::exp((r - d.r) * 1.2));
    }
    value += 6.0 * std::sin(x * 0.31 + std::sin(y * 0.05) * 3.0) * std::sin(y * 0.27);  // texture
    // Roughly Gaussian noise: the sum of four uniforms.
    const double n = Uniform(xi, yi, seed, 10) + Uniform(xi, yi, seed, 11) + Uniform(xi, yi, seed, 12) +
                     Uniform(xi, yi, seed, 13) - 2.0;
    value += n * 6.0;
    return value < 0.0 ? 0.0 : value > 255.0 ? 255.0 : value;
  }
};

void ToRgbe(double r, double g, double b, uint8_t* out) {
  const double m = std::fmax(r, std::fmax(g, b));
  if (m < 1e-32) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  int e = 0;
  const double scale = std::frexp(m, &e) * 256.0 / m;
  out[0] = static_cast<uint8_t>(r * scale);
  out[1] = static_cast<uint8_t>(g * scale);
  out[2] = static_cast<uint8_t>(b * scale);
  out[3] = static_cast<uint8_t>(e + 128);
}

}  // namespace

ko::CTypedImg<float> PhotoLikeImage(int32_t w, int32_t h, uint32_t seed) {
  const SScene scene(w, h, seed);
  ko::CTypedImg<float> img;
  img.Create(w, h, 1, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) img.At(x, y) = static_cast<float>(scene.At(x, y, seed));
  return img;
}

bool WritePhotoLikeHdr(const std::string& path, int32_t w, int32_t h, uint32_t seed) {
  const SScene scene(w, h, seed);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", h, w);
  std::vector<uint8_t> row(static_cast<size_t>(w) * 4);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const double v = scene.At(x, y, seed);
      const double tint = 0.08 * std::sin(x * 0.002 + y * 0.003);
      ToRgbe(v * (1.0 + tint), v, v * (1.0 - tint), &row[static_cast<size_t>(x) * 4]);
    }
    // A flat scanline must not start like a run-length encoded one.
    if (row[0] == 2 && row[1] == 2) row[1] = 3;
    if (std::fwrite(row.data(), 1, row.size(), f) != row.size()) {
      std::fclose(f);
      return false;
    }
  }
  return std::fclose(f) == 0;
}

bool SamplePhotoRgb(int32_t w, int32_t h, std::vector<uint8_t>* rgb) {
  const std::u16string name = ko::DecodeNarrowPath(BREVANT_SOURCE_DIR "/data/sample.jpg");
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  if (ko::LoadImageFile(name.c_str(), &colour, 1, -1) < 0 || !colour.HasMemory()) return false;
  const int32_t sw = colour.width, sh = colour.height;
  rgb->assign(static_cast<size_t>(w) * h * 3, 0);
  for (int32_t y = 0; y < h; ++y) {
    const double sy = (y + 0.5) * sh / h - 0.5;
    const int32_t y0 = std::clamp(static_cast<int32_t>(std::floor(sy)), 0, sh - 1);
    const int32_t y1 = std::min(y0 + 1, sh - 1);
    const double fy = std::clamp(sy - y0, 0.0, 1.0);
    for (int32_t x = 0; x < w; ++x) {
      const double sx = (x + 0.5) * sw / w - 0.5;
      const int32_t x0 = std::clamp(static_cast<int32_t>(std::floor(sx)), 0, sw - 1);
      const int32_t x1 = std::min(x0 + 1, sw - 1);
      const double fx = std::clamp(sx - x0, 0.0, 1.0);
      const uint8_t* p00 = colour.BandPtr(x0, y0, 0);
      const uint8_t* p10 = colour.BandPtr(x1, y0, 0);
      const uint8_t* p01 = colour.BandPtr(x0, y1, 0);
      const uint8_t* p11 = colour.BandPtr(x1, y1, 0);
      // Bands are stored blue, green, red, alpha; the output is red, green, blue.
      for (int c = 0; c < 3; ++c) {
        const int band = 2 - c;
        const double v = (1 - fx) * (1 - fy) * p00[band] + fx * (1 - fy) * p10[band] + (1 - fx) * fy * p01[band] +
                         fx * fy * p11[band];
        (*rgb)[(static_cast<size_t>(y) * w + x) * 3 + c] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
      }
    }
  }
  return true;
}

ko::CTypedImg<float> SamplePhotoIntensity(int32_t w, int32_t h) {
  ko::CTypedImg<float> img;
  std::vector<uint8_t> rgb;
  if (!SamplePhotoRgb(w, h, &rgb)) return img;
  img.Create(w, h, 1, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      img.At(x, y) = static_cast<float>(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
    }
  return img;
}

bool WriteSamplePhotoPng(const std::string& path, int32_t w, int32_t h) {
  std::vector<uint8_t> rgb;
  if (!SamplePhotoRgb(w, h, &rgb)) return false;
  ko::CodecBuffer png;
  if (!ko::WritePng(rgb.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), static_cast<size_t>(w) * 3,
                    ko::PngWriteOptions(), &png))
    return false;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  return std::fclose(f) == 0 && written;
}

uint64_t PeakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace brevant::bench
