// Feeds arbitrary bytes to the lossless JPEG decoder on its own: the frame is read, then
// decoded into rows of another shape than the frame's when its height allows (as DNG tiles
// coded twice as wide and half as tall are), so that the copy into the caller's rows is
// exercised too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ko/codec/lossless_jpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::LosslessJpegFrame frame;
  const char* problem = nullptr;
  if (ko::ReadLosslessJpegFrame(data, size, &frame, &problem) < 0) return 0;
  // Every sample takes at least one bit of the data: a larger frame cannot decode.
  const uint64_t samples = frame.SampleCount();
  if (samples > 8 * static_cast<uint64_t>(size) || samples > (uint64_t{1} << 24)) return 0;
  const size_t line = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.components);
  const bool pairs = frame.height % 2 == 0;
  std::vector<uint16_t> out(samples + 5);
  ko::LosslessJpegOutput o;
  o.samples = out.data();
  o.width = pairs ? 2 * line : line;
  o.rows = static_cast<size_t>(pairs ? frame.height / 2 : frame.height);
  o.stride = static_cast<ptrdiff_t>(o.width);
  ko::DecodeLosslessJpeg(data, size, o, &frame, &problem);
  return 0;
}
