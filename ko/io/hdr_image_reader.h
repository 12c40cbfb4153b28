// Reader of Radiance RGBE files (.hdr): a text header, a resolution line, then scanlines
// of 4-byte R, G, B, E pixels, flat or run-length encoded in either of the format's two
// encodings. The image always comes back as a 4-band float colour image (type 0x10002).
//
// The decoding pieces below work on a CHdrInput, which reads a file or a memory buffer,
// so that tests and fuzzers need no files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ko/core/img.h"
#include "ko/core/params.h"
#include "ko/io/image_file_sub_reader.h"
#include "ko/io/image_limits.h"

namespace ko {

// The largest image the reader creates: 2^27 pixels, the shared 2 GiB of 16-byte float
// pixels. A declared size beyond it is refused with E_OUTOFMEMORY before anything is
// allocated.
constexpr int64_t kHdrMaxPixels = static_cast<int64_t>(kMaxImageBytes / 16);
// Longest header line; the rest of a longer line is read as the next line.
constexpr size_t kHdrMaxLineLength = 65535;

// Buffered byte input over an open FILE (not owned) or over memory (not copied).
class CHdrInput {
 public:
  explicit CHdrInput(FILE* file) : file_(file) {}
  CHdrInput(const uint8_t* data, size_t size) : next_(data), end_(data + size) {}
  CHdrInput(const CHdrInput&) = delete;
  CHdrInput& operator=(const CHdrInput&) = delete;

  // The next byte, or -1 at the end of the data (a read error counts as the end).
  int Get() { return next_ < end_ ? *next_++ : Refill(); }
  // Puts back the byte that the last Get returned; only valid right after a Get >= 0.
  void Unget() { --next_; }

 private:
  int Refill();

  FILE* file_ = nullptr;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint8_t buffer_[16384];
};

// Where the file's pixels go: scanlines run along the slow axis, pixels within a scanline
// along the fast one.
struct SHdrLayout {
  int32_t width = 0;    // the number after the X token
  int32_t height = 0;   // the number after the Y token
  bool xFirst = false;  // the X token comes first: each scanline is a column
  bool topDown = true;  // "-Y": rows from top to bottom; "+Y": bottom to top
  bool leftToRight = true;  // "+X": columns from left to right; "-X": right to left
};

// One header line into `line` (kHdrMaxLineLength + 1 bytes, NUL-terminated; embedded NULs
// are kept and counted in *length). Leading blanks other than CR and LF are dropped; the
// line ends before the next CR or LF, which is consumed. False at end of data before the
// line's first character.
bool ReadHeaderLine(CHdrInput& input, char* line, size_t* length);

// Finds the "#?RADIANCE" line, reads the header and the resolution line. With
// `properties`, each KEY=value line before the FORMAT line is stored there as an ANSI
// string under its key. Sizes are not checked. E_KO_BADFORMAT for a malformed header,
// E_OUTOFMEMORY, or the code of a failed conversion or property store.
HRESULT ParseHdrHeader(CHdrInput& input, CParams* properties, SHdrLayout* layout);

// Decodes one scanline of `count` RGBE pixels into `scanline` (count x 4 bytes), from
// either encoding. `firstOfImage` says there is no earlier pixel; otherwise the buffer
// must still hold the previous scanline, whose last pixel a leading repeat marker copies.
// E_KO_BADFORMAT when the data ends early or is inconsistent.
HRESULT ReadRgbeScanline(CHdrInput& input, uint8_t* scanline, int32_t count, bool firstOfImage);

// The float value of one RGBE mantissa: (mantissa + 0.5) x 2^(exponent - 136), 0 when the
// exponent is 0.
float RgbeComponentToFloat(uint8_t mantissa, uint8_t exponent);

// Reads a whole Radiance file held in memory into `image`, as ReadInto does for a file.
HRESULT ReadHdrImageFromMemory(const uint8_t* data, size_t size, CImg* image, int32_t flags);

class CHdrImageReader : public CImageFileSubReader {
 public:
  // Reads the header for the image size. E_KO_NOTFOUND when the file cannot be opened,
  // E_KO_BADFORMAT for a header that is not Radiance's.
  HRESULT Open(const char16_t* name) override;
  // Re-creates `image` as 4-band float and fills it. With a non-zero low byte of `flags`
  // the header's variables become properties. A scanline that cannot be decoded ends
  // reading with E_KO_BADFORMAT; earlier scanlines keep their pixels and the rest of the
  // image is zero.
  HRESULT ReadInto(CImg* image, int32_t flags) override;
};

}  // namespace ko
