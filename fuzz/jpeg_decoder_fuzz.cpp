// JPEG files through libjpeg-turbo, as the codec stand-in reads them: header, palette,
// property items and pixels in every locked layout.
#include "codec_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return codec_fuzz::Run(data, size, ko::CodecKind::Jpeg);
}
