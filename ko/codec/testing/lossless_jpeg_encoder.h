// A small lossless JPEG encoder (T.81 process 14, SOF3) for tests, benchmarks and fuzz
// seeds: the DNG files they write store their raw samples with it. Huffman tables are made
// for the data (one per component) by the standard's code-length procedure (Annex K.2).
#pragma once
#include <cstdint>
#include <vector>

namespace ko::test {

struct LosslessJpegOptions {
  int width = 0;       // samples per line of each component
  int height = 0;
  int components = 1;  // 1 to 4, interleaved
  int precision = 16;  // 2 to 16 bits
  int predictor = 1;   // 1 to 7
  int pointTransform = 0;
  int restartInterval = 0;         // in samples of each component (a multiple of width); 0: none
  bool tablesAfterFrame = false;   // the DHT segment after the frame header instead of before
};

// `samples`: width x height x components values in raster order, each below 2^precision
// (the low pointTransform bits are dropped).
std::vector<uint8_t> EncodeLosslessJpeg(const uint16_t* samples, const LosslessJpegOptions& options);

}  // namespace ko::test
