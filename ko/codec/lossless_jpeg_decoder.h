// A decoder of lossless JPEG (ITU-T T.81 process 14: Huffman-coded differences of predicted
// samples, the SOF3 frame) from bytes in memory, as DNG files store their raw samples.
//
// Read: one frame in one interleaved scan; predictors 1 to 7; sample precision 2 to 16 bits;
// one to four components, each sampled 1 x 1; a point transform; restart intervals of whole
// lines with their RSTn markers; Huffman tables and the restart interval before or after the
// frame header; APPn, COM and other segments skipped.
//
// The input is untrusted: every byte is fetched through a bounded reader, Huffman tables are
// checked when they are read (class, destination, counts, values, no code that overflows its
// length), the frame's size is checked against the caller's buffer before anything is
// allocated, and the decoder writes only inside that buffer. Results:
//   S_OK          every sample decoded;
//   E_FAIL        a corrupt stream (a code no table defines, data that ends before the last
//                 sample, a missing restart marker, a frame whose size disagrees with the
//                 buffer, a malformed segment);
//   E_NOTIMPL     a JPEG the decoder does not take (a lossy or arithmetic-coded frame,
//                 several scans, subsampled components, restarts inside a line);
//   E_OUTOFMEMORY the line buffers could not be had.
// With a failure, `problem` receives words naming what was met (static text, never null),
// such as "a Huffman code that does not exist"; a caller adds its own context. The samples
// of a failed decode are not to be used.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/platform/hresult.h"

namespace ko {

struct LosslessJpegFrame {
  int32_t width = 0;       // samples per line of each component (X)
  int32_t height = 0;      // lines (Y)
  int32_t components = 0;  // 1 to 4, interleaved in each line
  int32_t precision = 0;   // P, bits per sample as coded
  int32_t predictor = 0;   // 1 to 7
  int32_t pointTransform = 0;
  int32_t restartInterval = 0;  // in samples of each component (MCUs); 0: none

  // width x height x components: what the frame decodes to.
  uint64_t SampleCount() const {
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * static_cast<uint64_t>(components);
  }
};

// Where the samples go: the frame's samples in raster order (each line's components
// interleaved, line after line) fill `rows` rows of `width` samples each, a row starting
// `stride` samples after the one before. The frame's shape need not match: a frame of half
// the width with two components, or twice as wide and half as tall, fills the same rows.
struct LosslessJpegOutput {
  uint16_t* samples = nullptr;
  size_t width = 0;
  size_t rows = 0;
  ptrdiff_t stride = 0;
};

// Reads the segments up to the scan header and describes the frame; nothing is decoded.
HRESULT ReadLosslessJpegFrame(const uint8_t* data, size_t size, LosslessJpegFrame* frame, const char** problem);

// Decodes the frame into `out`, whose width x rows must equal the frame's sample count.
// Samples are the decoded values shifted left by the point transform.
HRESULT DecodeLosslessJpeg(const uint8_t* data, size_t size, const LosslessJpegOutput& out, LosslessJpegFrame* frame,
                           const char** problem);

}  // namespace ko
