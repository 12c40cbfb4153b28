#include "ko/io/hdr_image_reader.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "ko/convert/ansi_to_wide.h"
#include "ko/io/image_limits.h"
#include "ko/platform/file_open.h"
#include "ko/platform/ko_buffer.h"

namespace ko {

namespace {

constexpr std::string_view kMagicLine = "#?RADIANCE";
constexpr std::string_view kFormatKey = "FORMAT";
constexpr std::string_view kRgbeEncoding = "32-bit_rle_rgbe";

struct FileCloser {
  explicit FileCloser(FILE* f) : file(f) {}
  ~FileCloser() {
    if (file) std::fclose(file);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  FILE* file;
};

bool IsLineBlank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// atoi of the text starting at `pos`, saturated to the int32 range instead of overflowing;
// text that does not start with a number gives 0.
int32_t SizeAt(const char* line, size_t length, size_t pos) {
  if (pos >= length) return 0;  // the token ends the line: nothing follows it
  const char* p = line + pos;
  const char* end = line + length;
  while (p < end && (IsLineBlank(*p) || *p == '\n' || *p == '\r')) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9' && value < kLimit; ++p) value = value * 10 + (*p - '0');
  if (negative) return value >= kLimit ? INT32_MIN : static_cast<int32_t>(-value);
  return value >= kLimit ? INT32_MAX : static_cast<int32_t>(value);
}

HRESULT StoreVariable(char* line, size_t length, CParams* properties) {
  const char* equals = static_cast<const char*>(std::memchr(line, '=', length));
  if (!equals || equals == line) return S_OK;
  const size_t n = static_cast<size_t>(equals - line);
  if (n >= length) return S_OK;
  line[n] = 0;  // the key ends at the '='; the value is the rest of the line
  char16_t* key = nullptr;
  HRESULT hr = AnsiToWide(line, &key);
  line[n] = '=';
  if (hr < 0) return hr;
  CParamValue value;
  hr = value.SetString(line + n + 1);
  if (hr >= 0) hr = properties->SetByName(key, 0, value);
  delete[] key;
  // A key that is no valid property name (a blank in it, say) is metadata we cannot keep;
  // it must not make the whole picture unreadable.
  if (hr == E_KO_BADFORMAT) return S_OK;
  return hr < 0 ? hr : S_OK;
}

HRESULT ParseResolution(const char* line, size_t length, SHdrLayout* layout) {
  const std::string_view text(line, length);
  size_t y = text.find("-Y");
  layout->topDown = true;
  if (y == std::string_view::npos) {
    y = text.find("+Y");
    layout->topDown = false;
  }
  size_t x = text.find("-X");
  layout->leftToRight = false;
  if (x == std::string_view::npos) {
    x = text.find("+X");
    layout->leftToRight = true;
  }
  if (x == std::string_view::npos || y == std::string_view::npos) return E_KO_BADFORMAT;
  layout->xFirst = x < y;
  // The number starts after the sign, the letter and one separator.
  layout->width = SizeAt(line, length, x + 3);
  layout->height = SizeAt(line, length, y + 3);
  return S_OK;
}

// Sizes below 1 are malformed; sizes beyond the cap are refused before any allocation.
HRESULT CheckHdrSize(int32_t width, int32_t height) {
  if (width < 1 || height < 1) return E_KO_BADFORMAT;
  if (static_cast<int64_t>(width) * height > kHdrMaxPixels) return E_OUTOFMEMORY;
  return CheckImageAllocation(width, height, 4, 4);
}

struct ScaleTable {
  double scale[256];
  ScaleTable() {
    scale[0] = 0.0;
    for (int e = 1; e < 256; ++e) scale[e] = std::ldexp(1.0, e - 136);
  }
};

// The format's older encoding: literal pixels, and (1, 1, 1, r) markers that repeat the
// previous pixel r << shift times, the shift growing by 8 with each consecutive marker.
HRESULT ReadOldStyle(CHdrInput& in, uint8_t* scanline, int32_t count, int32_t start, bool firstOfImage) {
  int shift = 0;
  int32_t i = start;
  while (i < count) {
    uint8_t pixel[4];
    for (uint8_t& byte : pixel) {
      const int c = in.Get();
      if (c < 0) return E_KO_BADFORMAT;
      byte = static_cast<uint8_t>(c);
    }
    if (pixel[0] == 1 && pixel[1] == 1 && pixel[2] == 1) {
      if (i == 0 && firstOfImage) return E_KO_BADFORMAT;  // nothing to repeat yet
      uint8_t previous[4];
      std::memcpy(previous, scanline + 4 * static_cast<size_t>(i > 0 ? i - 1 : count - 1), 4);
      // Past a shift of 32 any non-zero count covers every pixel that can remain.
      uint64_t n = static_cast<uint64_t>(pixel[3]) << shift;
      const auto left = static_cast<uint64_t>(count - i);
      if (n > left) n = left;
      for (uint64_t k = 0; k < n; ++k) std::memcpy(scanline + 4 * static_cast<size_t>(i + k), previous, 4);
      i += static_cast<int32_t>(n);
      if (shift < 32) shift += 8;
    } else {
      std::memcpy(scanline + 4 * static_cast<size_t>(i), pixel, 4);
      ++i;
      shift = 0;
    }
  }
  return S_OK;
}

// The newer encoding: each of R, G, B, E in turn as runs (code > 128) and literal dumps.
// A run or dump that overshoots the scanline is cut there, its extra values read and
// dropped.
HRESULT ReadPerComponent(CHdrInput& in, uint8_t* scanline, int32_t count) {
  for (int component = 0; component < 4; ++component) {
    uint8_t* out = scanline + component;
    int32_t pos = 0;
    while (pos < count) {
      const int code = in.Get();
      if (code < 0) return E_KO_BADFORMAT;
      if (code > 128) {
        const int value = in.Get();
        if (value < 0) return E_KO_BADFORMAT;
        int32_t n = code - 128;
        if (n > count - pos) n = count - pos;
        for (int32_t k = 0; k < n; ++k) out[4 * static_cast<size_t>(pos + k)] = static_cast<uint8_t>(value);
        pos += n;
      } else {
        for (int k = 0; k < code; ++k) {
          const int value = in.Get();
          if (value < 0) return E_KO_BADFORMAT;
          if (pos < count) out[4 * static_cast<size_t>(pos++)] = static_cast<uint8_t>(value);
        }
      }
    }
  }
  return S_OK;
}

// Pixel (slow, 0) of the image and the byte step to the next pixel of that scanline.
void ScanlineStart(const CImg& image, const SHdrLayout& layout, int32_t slow, uint8_t** first, intptr_t* step) {
  const int32_t w = image.width, h = image.height;
  if (!layout.xFirst) {
    const int32_t y = layout.topDown ? slow : h - 1 - slow;
    *first = image.BandPtr(layout.leftToRight ? 0 : w - 1, y, 0);
    *step = layout.leftToRight ? image.pixelSize : -static_cast<intptr_t>(image.pixelSize);
  } else {
    const int32_t x = layout.leftToRight ? slow : w - 1 - slow;
    *first = image.BandPtr(x, layout.topDown ? 0 : h - 1, 0);
    *step = layout.topDown ? image.stride : -static_cast<intptr_t>(image.stride);
  }
}

// Header, then every scanline into `image`, which already has the file's size as 4-band
// float.
HRESULT DecodeHdrImage(CHdrInput& in, CImg* image, int32_t flags) {
  SHdrLayout layout;
  HRESULT hr = ParseHdrHeader(in, (flags & 0xFF) ? &image->params : nullptr, &layout);
  if (hr < 0) return hr;
  hr = CheckHdrSize(layout.width, layout.height);
  if (hr < 0) return hr;
  // The image was sized from an earlier look at the header; a file that changed since
  // does not fit it.
  if (layout.width != image->width || layout.height != image->height) return E_KO_BADFORMAT;
  const int32_t fast = layout.xFirst ? layout.height : layout.width;
  const int32_t slow = layout.xFirst ? layout.width : layout.height;
  CKoBuffer<uint8_t> scanline(static_cast<size_t>(fast) * 4);
  if (!scanline.get()) return E_OUTOFMEMORY;
  for (int32_t s = 0; s < slow; ++s) {
    uint8_t* dst;
    intptr_t step;
    if (ReadRgbeScanline(in, scanline.get(), fast, s == 0) < 0) {
      // Scanlines already read keep their pixels; nothing undefined is left in the rest.
      for (int32_t r = s; r < slow; ++r) {
        ScanlineStart(*image, layout, r, &dst, &step);
        for (int32_t f = 0; f < fast; ++f, dst += step) std::memset(dst, 0, 16);
      }
      return E_KO_BADFORMAT;
    }
    ScanlineStart(*image, layout, s, &dst, &step);
    const uint8_t* src = scanline.get();
    for (int32_t f = 0; f < fast; ++f, src += 4, dst += step) {
      float pixel[4];
      pixel[0] = RgbeComponentToFloat(src[2], src[3]);  // blue
      pixel[1] = RgbeComponentToFloat(src[1], src[3]);  // green
      pixel[2] = RgbeComponentToFloat(src[0], src[3]);  // red
      pixel[3] = 255.0f;
      std::memcpy(dst, pixel, sizeof pixel);
    }
  }
  return S_OK;
}

}  // namespace

int CHdrInput::Refill() {
  if (!file_) return -1;
  const size_t n = std::fread(buffer_, 1, sizeof buffer_, file_);
  if (n == 0) return -1;
  next_ = buffer_;
  end_ = buffer_ + n;
  return *next_++;
}

bool ReadHeaderLine(CHdrInput& in, char* line, size_t* length) {
  int c;
  do {
    c = in.Get();
  } while (IsLineBlank(c));
  if (c < 0) return false;
  size_t n = 0;
  while (c >= 0 && c != '\n' && c != '\r') {
    if (n == kHdrMaxLineLength) break;  // this character is dropped; the rest is a new line
    line[n++] = static_cast<char>(c);
    c = in.Get();
  }
  line[n] = 0;
  *length = n;
  return true;
}

HRESULT ParseHdrHeader(CHdrInput& in, CParams* properties, SHdrLayout* layout) {
  CKoBuffer<char> line(kHdrMaxLineLength + 1);
  if (!line.get()) return E_OUTOFMEMORY;
  size_t n = 0;
  for (;;) {
    if (!ReadHeaderLine(in, line.get(), &n)) return E_KO_BADFORMAT;
    if (std::string_view(line.get(), n) == kMagicLine) break;
  }
  bool formatSeen = false;
  for (;;) {
    if (!ReadHeaderLine(in, line.get(), &n)) return E_KO_BADFORMAT;
    if (n == 0) {
      if (!formatSeen) return E_KO_BADFORMAT;
      break;
    }
    if (formatSeen) continue;
    const std::string_view text(line.get(), n);
    if (text.substr(0, kFormatKey.size()) == kFormatKey) {
      if (text.find(kRgbeEncoding) == std::string_view::npos) return E_KO_BADFORMAT;
      formatSeen = true;
    } else if (properties) {
      const HRESULT hr = StoreVariable(line.get(), n, properties);
      if (hr < 0) return hr;
    }
  }
  if (!ReadHeaderLine(in, line.get(), &n)) return E_KO_BADFORMAT;
  return ParseResolution(line.get(), n, layout);
}

HRESULT ReadRgbeScanline(CHdrInput& in, uint8_t* scanline, int32_t count, bool firstOfImage) {
  if (count < 1) return S_OK;
  if (count < 8 || count > 0x7FFF) return ReadOldStyle(in, scanline, count, 0, firstOfImage);
  const int c = in.Get();
  if (c < 0) return E_KO_BADFORMAT;
  if (c != 2) {
    in.Unget();
    return ReadOldStyle(in, scanline, count, 0, firstOfImage);
  }
  int b[3];
  for (int& byte : b) {
    byte = in.Get();
    if (byte < 0) return E_KO_BADFORMAT;
  }
  if (b[0] == 2 && b[1] < 128) {
    if (b[1] * 256 + b[2] != count) return E_KO_BADFORMAT;
    return ReadPerComponent(in, scanline, count);
  }
  // Not the newer encoding's marker: the four bytes are an ordinary first pixel.
  scanline[0] = 2;
  scanline[1] = static_cast<uint8_t>(b[0]);
  scanline[2] = static_cast<uint8_t>(b[1]);
  scanline[3] = static_cast<uint8_t>(b[2]);
  return ReadOldStyle(in, scanline, count, 1, firstOfImage);
}

float RgbeComponentToFloat(uint8_t mantissa, uint8_t exponent) {
  static const ScaleTable table;
  if (exponent == 0) return 0.0f;
  // Exact in double: 9 significant bits times a power of two within float's range.
  return static_cast<float>((mantissa + 0.5) * table.scale[exponent]);
}

HRESULT ReadHdrImageFromMemory(const uint8_t* data, size_t size, CImg* image, int32_t flags) {
  if (!data || !image) return E_POINTER;
  SHdrLayout layout;
  {
    CHdrInput look(data, size);
    const HRESULT hr = ParseHdrHeader(look, nullptr, &layout);
    if (hr < 0) return hr;
  }
  HRESULT hr = CheckHdrSize(layout.width, layout.height);
  if (hr < 0) return hr;
  hr = image->Create(layout.width, layout.height, 4, 4, kTypeRGBAFloat, 0);
  if (hr < 0) return hr;
  CHdrInput in(data, size);
  return DecodeHdrImage(in, image, flags);
}

HRESULT CHdrImageReader::Open(const char16_t* name) {
  const HRESULT hr = CImageFileSubReader::Open(name);
  if (hr < 0) return hr;
  if (!fileName) return E_POINTER;
  FileCloser file(KoWideFopen(fileName, "rb"));
  if (!file.file) return E_KO_NOTFOUND;
  CHdrInput in(file.file);
  SHdrLayout layout;
  const HRESULT parsed = ParseHdrHeader(in, nullptr, &layout);
  if (parsed < 0) return parsed;
  width = layout.width;
  height = layout.height;
  sourceElementType = kElemFloat;
  sourceBands = 4;
  sourceFormatFlags = 0x10000;
  return S_OK;
}

HRESULT CHdrImageReader::ReadInto(CImg* image, int32_t flags) {
  if (!fileName || !image) return E_POINTER;
  HRESULT hr = CheckHdrSize(width, height);
  if (hr < 0) return hr;
  hr = image->Create(width, height, 4, 4, kTypeRGBAFloat, 0);
  if (hr < 0) return hr;
  if (image->bands != 4 || ElementTypeOf(image->type) != kElemFloat) return E_NOTIMPL;
  FileCloser file(KoWideFopen(fileName, "rb"));
  if (!file.file) return E_KO_NOTFOUND;
  CHdrInput in(file.file);
  return DecodeHdrImage(in, image, flags);
}

}  // namespace ko
