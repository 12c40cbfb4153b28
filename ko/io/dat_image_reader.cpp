#include "ko/io/dat_image_reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ko/io/image_limits.h"
#include "ko/platform/memory.h"

namespace ko {

// ---------------------------------------------------------------------------------------
// "%f"

namespace {

// Significant digits kept of a long mantissa. Any decimal that rounds differently to float
// from its first 200 digits followed by one non-zero digit would need more than 112
// significant digits to express a float rounding boundary, which none does.
constexpr int kMaxDecimalDigits = 200;
// 32 hexadecimal digits are 128 bits, far more than float's 24 plus guard and sticky bits.
constexpr int kMaxHexDigits = 32;
// Beyond this a decimal (or binary) exponent only says zero or infinity.
constexpr int64_t kExponentLimit = 100000;

int Lower(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }
int HexValue(int c) {
  if (IsDigit(c)) return c - '0';
  c = Lower(c);
  return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// Consumes the characters of `word` (lower case) as long as they match, ignoring case;
// returns how many matched.
int MatchWordIgnoreCase(CByteSource& s, const char* word) {
  int n = 0;
  for (; word[n] && Lower(s.Peek()) == word[n]; ++n) s.Get();
  return n;
}

// The exponent digits after 'e' or 'p': an optional sign and at least one digit.
bool ScanExponent(CByteSource& s, int64_t* exponent) {
  bool negative = false;
  int c = s.Peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    s.Get();
    c = s.Peek();
  }
  if (!IsDigit(c)) return false;
  int64_t v = 0;
  for (; IsDigit(c); c = s.Peek()) {
    s.Get();
    if (v < kExponentLimit * 10) v = v * 10 + (c - '0');
  }
  *exponent = negative ? -v : v;
  return true;
}

int64_t ClampExponent(int64_t e) {
  return e > kExponentLimit ? kExponentLimit : e < -kExponentLimit ? -kExponentLimit : e;
}

// Mantissa digits in a bounded buffer: leading zeros dropped, digits beyond `limit` only
// remembered as "something non-zero followed" (sticky), with the exponent adjusted so that
// value = digits x base^scale.
struct Mantissa {
  char digits[kMaxDecimalDigits + 2];
  int count = 0;
  int limit = 0;
  bool sticky = false;
  int64_t scale = 0;  // in units of one digit position
  bool sawDigit = false;

  void AddInteger(char d) {
    sawDigit = true;
    if (count == 0 && d == '0') return;
    if (count < limit) digits[count++] = d;
    else {
      if (d != '0') sticky = true;
      if (scale < kExponentLimit) ++scale;
    }
  }
  void AddFraction(char d) {
    sawDigit = true;
    if (count == 0 && d == '0') {
      if (scale > -kExponentLimit) --scale;
      return;
    }
    if (count < limit) {
      digits[count++] = d;
      if (scale > -kExponentLimit) --scale;
    } else if (d != '0') {
      sticky = true;
    }
  }
  // Closes the digit string; a dropped non-zero tail becomes one more non-zero digit.
  void Finish() {
    if (sticky) {
      digits[count++] = '1';
      --scale;
    }
    digits[count] = 0;
  }
};

bool ScanHexFloat(CByteSource& s, bool negative, float* value) {
  Mantissa m;
  m.limit = kMaxHexDigits;
  while (HexValue(s.Peek()) >= 0) m.AddInteger(static_cast<char>(s.Get()));
  if (s.Peek() == '.') {
    s.Get();
    while (HexValue(s.Peek()) >= 0) m.AddFraction(static_cast<char>(s.Get()));
  }
  if (!m.sawDigit) return false;
  int64_t exponent = 0;
  const int c = s.Peek();
  if (c == 'p' || c == 'P') {
    s.Get();
    if (!ScanExponent(s, &exponent)) return false;
  }
  m.Finish();
  if (m.count == 0) {
    *value = negative ? -0.0f : 0.0f;
    return true;
  }
  // Each hexadecimal digit position is 4 binary ones.
  const int64_t binary = ClampExponent(ClampExponent(exponent) + 4 * m.scale);
  char text[kMaxDecimalDigits + 40];
  std::snprintf(text, sizeof text, "%s0x%sp%lld", negative ? "-" : "", m.digits,
                static_cast<long long>(binary));
  *value = std::strtof(text, nullptr);
  return true;
}

}  // namespace

bool ScanFloatValue(CByteSource& s, float* value) {
  s.SkipSpace();
  bool negative = false;
  int c = s.Peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    s.Get();
    c = s.Peek();
  }
  if (Lower(c) == 'i') {
    if (MatchWordIgnoreCase(s, "inf") != 3) return false;
    const int more = MatchWordIgnoreCase(s, "inity");
    if (more != 0 && more != 5) return false;
    *value = negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return true;
  }
  if (Lower(c) == 'n') {
    if (MatchWordIgnoreCase(s, "nan") != 3) return false;
    if (s.Peek() == '(') {
      s.Get();
      for (c = s.Peek(); IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') || c == '_'; c = s.Peek()) s.Get();
      if (c != ')') return false;
      s.Get();
    }
    *value = negative ? -std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  Mantissa m;
  m.limit = kMaxDecimalDigits;
  if (c == '0') {
    s.Get();
    c = s.Peek();
    if (c == 'x' || c == 'X') {
      s.Get();
      return ScanHexFloat(s, negative, value);
    }
    m.AddInteger('0');
  }
  while (IsDigit(s.Peek())) m.AddInteger(static_cast<char>(s.Get()));
  if (s.Peek() == '.') {
    s.Get();
    while (IsDigit(s.Peek())) m.AddFraction(static_cast<char>(s.Get()));
  }
  if (!m.sawDigit) return false;
  int64_t exponent = 0;
  c = s.Peek();
  if (c == 'e' || c == 'E') {
    s.Get();
    if (!ScanExponent(s, &exponent)) return false;
  }
  m.Finish();
  if (m.count == 0) {
    *value = negative ? -0.0f : 0.0f;
    return true;
  }
  const int64_t decimal = ClampExponent(ClampExponent(exponent) + m.scale);
  // Short mantissas with small exponents, the common case: an integer below 2^24 and a
  // power of ten up to 10^10 are exact floats, so one float multiplication or division
  // rounds exactly as the conversion of the decimal would.
  if (m.count <= 7 && decimal >= -10 && decimal <= 10) {
    static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    int32_t integer = 0;
    for (int i = 0; i < m.count; ++i) integer = integer * 10 + (m.digits[i] - '0');
    float v = static_cast<float>(integer);
    v = decimal >= 0 ? v * kPowers[decimal] : v / kPowers[-decimal];
    *value = negative ? -v : v;
    return true;
  }
  char text[kMaxDecimalDigits + 40];
  std::snprintf(text, sizeof text, "%s%se%lld", negative ? "-" : "", m.digits, static_cast<long long>(decimal));
  *value = std::strtof(text, nullptr);
  return true;
}

// ---------------------------------------------------------------------------------------
// Values into elements

namespace {

// Each value is clamped (as a float) into the element's range and truncated toward zero.
// A NaN has no integer value: it is stored as 0.
uint8_t ToByte(float v) {
  if (std::isnan(v)) return 0;
  if (v < 0.0f) v = 0.0f;
  else if (v > 255.0f) v = 255.0f;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

int32_t ToInt(float v) {
  if (std::isnan(v)) return 0;
  // The upper bound 2147483647 is 2^31 as a float, one past the range: it saturates.
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v < -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// The 16-bit range is [-65536, 65535]: negative values keep their two's complement.
uint16_t ToUInt16(float v) {
  if (std::isnan(v)) return 0;
  if (v < -65536.0f) v = -65536.0f;
  else if (v > 65535.0f) v = 65535.0f;
  return static_cast<uint16_t>(static_cast<int32_t>(v));
}

// Where the values of one image row go.
struct RowTarget {
  uint8_t* row;
  int32_t elementType;
  void Store(int64_t i, float v) const {
    switch (elementType) {
      case kElemByte: row[i] = ToByte(v); break;
      case kElemFloat: std::memcpy(row + 4 * i, &v, 4); break;
      case kElemInt: {
        const int32_t x = ToInt(v);
        std::memcpy(row + 4 * i, &x, 4);
        break;
      }
      default: {
        const uint16_t x = ToUInt16(v);
        std::memcpy(row + 2 * i, &x, 2);
        break;
      }
    }
  }
};

// Reads one row of values: comment lines first, then up to maxCount values (no limit when
// negative). When counting the headerless layout a line break also ends the row. Returns
// how many values converted.
int64_t ReadRow(CByteSource& s, const RowTarget* target, int64_t maxCount, bool lineEndsRow) {
  while (s.Peek() == '%') s.SkipLine();
  int64_t n = 0;
  while (maxCount < 0 || n < maxCount) {
    float v;
    if (!ScanFloatValue(s, &v)) break;
    if (target) target->Store(n, v);
    ++n;
    if (!lineEndsRow) {
      s.SkipSpace();
      continue;
    }
    bool lineEnded = false;
    for (int c = s.Peek(); IsSpaceByte(c) && !lineEnded; c = s.Peek()) lineEnded = s.Get() == '\n';
    if (lineEnded) break;
  }
  return n;
}

struct DatLayout {
  int32_t version = CDatImageReader::kFormatVersion;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bands = 1;
  bool hasHeader = false;
};

// "%% KOv%d: %d x %d x %d" with scanf's rules: a blank matches any white space. Writers
// that spell the header out as "% KOv1: 3 (width) x 2 (height) x 1 (bands)" are read too.
// The label, when there is one, stands on the same line: line breaks are not skipped.
bool SkipLabel(CByteSource& s, const char* label) {
  while (s.Peek() == ' ' || s.Peek() == '\t') s.Get();
  return s.Peek() != '(' || s.Match(label);
}

bool ScanHeader(CByteSource& s, DatLayout* layout) {
  if (!s.Match("%")) return false;
  s.SkipSpace();
  if (!s.Match("KOv") || !s.ScanInt(&layout->version) || !s.Match(":")) return false;
  s.SkipSpace();
  if (!s.ScanInt(&layout->width) || !SkipLabel(s, "(width)")) return false;
  s.SkipSpace();
  if (!s.Match("x") || !s.ScanInt(&layout->height) || !SkipLabel(s, "(height)")) return false;
  s.SkipSpace();
  return s.Match("x") && s.ScanInt(&layout->bands) && SkipLabel(s, "(bands)");
}

// The header, or the counted layout of a headerless file. A first line that starts with
// '%' but is not a header counts as a comment, as it does when the values are read.
HRESULT ReadLayout(CByteSource& s, DatLayout* layout) {
  *layout = DatLayout();
  if (s.Peek() == '%') {
    DatLayout header;
    const bool ok = ScanHeader(s, &header);
    s.SkipLine();
    if (ok) {
      *layout = header;
      layout->hasHeader = true;
      return S_OK;
    }
  }
  const int64_t first = ReadRow(s, nullptr, -1, true);
  int64_t rows = 1;
  while (rows <= INT32_MAX && ReadRow(s, nullptr, first, true) > 0) ++rows;
  if (first > INT32_MAX || rows > INT32_MAX) return E_FAIL;  // no image is that large
  layout->width = static_cast<int32_t>(first);
  layout->height = static_cast<int32_t>(rows);
  return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------

CDatImageReader::~CDatImageReader() = default;

void CDatImageReader::UseMemory(const uint8_t* data, size_t size) {
  memoryData_ = data;
  memorySize_ = size;
  useMemory_ = true;
}

// Standard input cannot be read twice, and the headerless layout needs two passes: it is
// read to its end once and kept.
HRESULT CDatImageReader::BufferStandardInput() {
  if (stdinBuffered_) return S_OK;
  size_t size = 0;
  CKoBuffer<uint8_t> data;
  for (;;) {
    if (size == data.size()) {
      if (data.size() >= kMaxStdinBytes) return E_OUTOFMEMORY;
      CKoBuffer<uint8_t> bigger(data.size() ? data.size() * 2 : 64 * 1024);
      if (!bigger) return E_OUTOFMEMORY;
      if (size) std::memcpy(bigger.get(), data.get(), size);
      data = std::move(bigger);
    }
    const size_t got = std::fread(data.get() + size, 1, data.size() - size, stdin);
    size += got;
    if (got == 0) break;
  }
  if (std::ferror(stdin)) return E_FAIL;
  stdinData_ = std::move(data);
  stdinSize_ = size;
  stdinBuffered_ = true;
  return S_OK;
}

HRESULT CDatImageReader::OpenSource(CByteSource* source) {
  if (useMemory_) {
    source->OpenMemory(memoryData_, memorySize_);
    return S_OK;
  }
  if (!fileName) return E_FAIL;
  if (fileName[0] == u'-' && fileName[1] == 0) {
    const HRESULT hr = BufferStandardInput();
    if (hr < 0) return hr;
    source->OpenMemory(stdinData_.get(), stdinSize_);
    return S_OK;
  }
  return source->OpenFile(fileName, "r");
}

HRESULT CDatImageReader::Open(const char16_t* name) {
  const HRESULT base = CImageFileSubReader::Open(name);
  if (base < 0) return base;
  CByteSource source;
  HRESULT hr = OpenSource(&source);
  if (hr < 0) return hr;
  DatLayout layout;
  hr = ReadLayout(source, &layout);
  if (hr >= 0) {
    width = layout.width;
    height = layout.height;
    fileBands = layout.bands;
  }
  if (source.Close() < 0) return E_FAIL;
  return hr < 0 ? hr : base;
}

namespace {

HRESULT FillImage(CByteSource& source, const DatLayout& layout, CImg* image) {
  if (layout.version > CDatImageReader::kFormatVersion) return E_FAIL;
  int32_t bands = layout.bands;
  switch (image->type) {
    case kElemByte:
    case kElemFloat:
    case kElemInt:
    case kElemShort:
      break;
    case kTypeRGBAByte:
    case kTypeRGBAFloat:
      bands = 4;
      break;
    default:
      return E_FAIL;
  }
  const int32_t elementType = ElementTypeOf(image->type);
  // Values the file lacks are zero, so a one-line header can declare any size: the shared
  // limits refuse huge ones before the image is allocated.
  HRESULT hr = CheckImageAllocation(layout.width, layout.height, bands, ElementSizeOfType(image->type));
  if (hr < 0) return hr;
  hr = image->Create(layout.width, layout.height, bands, ElementSizeOfType(image->type), image->type, 0);
  if (hr < 0) return hr;
  const int64_t rowValues = static_cast<int64_t>(image->width) * image->bands;
  for (int32_t y = 0; y < image->height; ++y) {
    const RowTarget target{image->RowPtr(y), elementType};
    const int64_t n = ReadRow(source, &target, rowValues, false);
    // What the file does not supply is zero, never what the memory held before.
    std::memset(target.row + n * image->elementSize, 0, static_cast<size_t>((rowValues - n) * image->elementSize));
  }
  return S_OK;
}

}  // namespace

HRESULT CDatImageReader::ReadInto(CImg* image, int32_t) {
  if (!image) return E_POINTER;
  CByteSource source;
  HRESULT hr = OpenSource(&source);
  if (hr < 0) return hr;
  DatLayout layout;
  hr = ReadLayout(source, &layout);
  if (hr >= 0 && !layout.hasHeader) {
    // The layout has been counted: read the values from the beginning again.
    if (source.Close() < 0) return E_FAIL;
    hr = OpenSource(&source);
    if (hr < 0) return hr;
  }
  if (hr >= 0) {
    width = layout.width;
    height = layout.height;
    fileBands = layout.bands;
    hr = FillImage(source, layout, image);
  }
  if (source.Close() < 0) return E_FAIL;
  return hr;
}

}  // namespace ko
