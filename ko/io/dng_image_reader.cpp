#include "ko/io/dng_image_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ko/convert/srgb_table.h"
#include "ko/platform/byte_order.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/ko_buffer.h"

namespace ko {

namespace {

// TIFF, TIFF/EP and DNG tag numbers.
constexpr int32_t kTagNewSubFileType = 254;
constexpr int32_t kTagImageWidth = 256;
constexpr int32_t kTagImageLength = 257;
constexpr int32_t kTagBitsPerSample = 258;
constexpr int32_t kTagCompression = 259;
constexpr int32_t kTagStripOffsets = 273;
constexpr int32_t kTagSamplesPerPixel = 277;
constexpr int32_t kTagRowsPerStrip = 278;
constexpr int32_t kTagStripByteCounts = 279;
constexpr int32_t kTagSubIfds = 330;
constexpr int32_t kTagCfaRepeatPatternDim = 33421;
constexpr int32_t kTagCfaPattern = 33422;
constexpr int32_t kTagLinearizationTable = 50712;
constexpr int32_t kTagBlackLevelRepeatDim = 50713;
constexpr int32_t kTagBlackLevel = 50714;
constexpr int32_t kTagBlackLevelDeltaH = 50715;
constexpr int32_t kTagBlackLevelDeltaV = 50716;
constexpr int32_t kTagWhiteLevel = 50717;
constexpr int32_t kTagDefaultCropOrigin = 50719;
constexpr int32_t kTagDefaultCropSize = 50720;
constexpr int32_t kTagColorMatrix1 = 50721;
constexpr int32_t kTagCameraCalibration1 = 50723;
constexpr int32_t kTagAsShotNeutral = 50728;
constexpr int32_t kTagActiveArea = 50829;

// ---------------------------------------------------------------------------------------
// Reading tag values by the kinds the DNG standard allows for each tag

enum : uint32_t { kAsInteger = 1, kAsRational = 2, kAsSRational = 4 };
constexpr uint32_t kAsAnyRational = kAsRational | kAsSRational;

uint32_t ClassOf(int32_t kind) {
  switch (kind) {
    case kParamUInt8: case kParamUInt16: case kParamUInt32: return kAsInteger;
    case kParamRational: case kParamUInt64: return kAsRational;     // UInt64: packed pair
    case kParamSRational: case kParamInt64: return kAsSRational;    // Int64: packed pair
    default: return 0;
  }
}

// The value of `tag` when it is stored in one of the `kinds`; null when it is absent or
// stored otherwise (such a tag counts as absent).
const CParamValue* FindTag(const CParams& set, int32_t tag, uint32_t kinds) {
  const CParamValue* v = nullptr;
  if (set.GetById(&v, tag, 0) != S_OK || !v) return nullptr;
  return (ClassOf(v->kind) & kinds) ? v : nullptr;
}

uint32_t TagCount(const CParams& set, int32_t tag, uint32_t kinds) {
  const CParamValue* v = FindTag(set, tag, kinds);
  return v ? v->ElementCount() : 0;
}

// Element i as a double; rationals are numerator / denominator. A zero denominator is
// malformed. `rational` tells whether the element was a fraction.
HRESULT NumberAt(const CParamValue& v, uint32_t i, double* out, bool* rational) {
  *rational = false;
  switch (ClassOf(v.kind)) {
    case kAsInteger: {
      uint32_t x = 0;
      if (v.GetAs(kParamUInt32, &x, i, 1) != S_OK) return E_KO_BADFORMAT;
      *out = x;
      return S_OK;
    }
    case kAsRational: {
      uint32_t pair[2] = {0, 0};
      if (v.GetAs(kParamRational, pair, i, 1) != S_OK || pair[1] == 0) return E_KO_BADFORMAT;
      *out = static_cast<double>(pair[0]) / pair[1];
      *rational = true;
      return S_OK;
    }
    case kAsSRational: {
      int32_t pair[2] = {0, 0};
      if (v.GetAs(kParamSRational, pair, i, 1) != S_OK || pair[1] == 0) return E_KO_BADFORMAT;
      *out = static_cast<double>(pair[0]) / pair[1];
      *rational = true;
      return S_OK;
    }
    default: return E_KO_BADFORMAT;
  }
}

// n values of `tag` from `first`: S_FALSE when the tag is absent (or of another kind),
// E_KO_BADFORMAT when it holds too few values or a zero denominator.
HRESULT ReadReals(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, double* out) {
  const CParamValue* v = FindTag(set, tag, kinds);
  if (!v) return S_FALSE;
  if (static_cast<uint64_t>(first) + n > v->ElementCount()) return E_KO_BADFORMAT;
  for (uint32_t i = 0; i < n; ++i) {
    bool rational = false;
    const HRESULT hr = NumberAt(*v, first + i, &out[i], &rational);
    if (hr < 0) return hr;
  }
  return S_OK;
}

// The same for integers: fractions are rounded by adding 0.5 and truncating.
HRESULT ReadInts(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, int64_t* out) {
  const CParamValue* v = FindTag(set, tag, kinds);
  if (!v) return S_FALSE;
  if (static_cast<uint64_t>(first) + n > v->ElementCount()) return E_KO_BADFORMAT;
  for (uint32_t i = 0; i < n; ++i) {
    double x = 0;
    bool rational = false;
    const HRESULT hr = NumberAt(*v, first + i, &x, &rational);
    if (hr < 0) return hr;
    if (rational) x = std::trunc(x + 0.5);
    if (!(std::fabs(x) < 9007199254740992.0)) return E_KO_BADFORMAT;  // 2^53
    out[i] = static_cast<int64_t>(x);
  }
  return S_OK;
}

// One integer with a default for an absent tag.
HRESULT ReadIntOr(const CParams& set, int32_t tag, uint32_t kinds, int64_t fallback, int64_t* out) {
  const HRESULT hr = ReadInts(set, tag, kinds, 0, 1, out);
  if (hr == S_FALSE) *out = fallback;
  return hr < 0 ? hr : S_OK;
}

// ---------------------------------------------------------------------------------------
// 3 x 3 colour matrices, single precision; products and inverses are computed in double
// and rounded to float once per stored element.

struct Mat3 {
  float m[3][3];
};
struct Vec3 {
  float v[3];
};

Mat3 Identity() { return Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Mat3 Mul(const Mat3& a, const Mat3& b) {
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += static_cast<double>(a.m[i][k]) * b.m[k][j];
      r.m[i][j] = static_cast<float>(s);
    }
  return r;
}

Vec3 Mul(const Mat3& a, const Vec3& x) {
  Vec3 r;
  for (int i = 0; i < 3; ++i) {
    double s = 0;
    for (int k = 0; k < 3; ++k) s += static_cast<double>(a.m[i][k]) * x.v[k];
    r.v[i] = static_cast<float>(s);
  }
  return r;
}

// Gauss-Jordan elimination with partial pivoting on the largest absolute value of the
// column; a zero pivot gives the zero matrix.
Mat3 Inverse(const Mat3& a) {
  double w[3][6];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      w[i][j] = a.m[i][j];
      w[i][j + 3] = i == j ? 1.0 : 0.0;
    }
  for (int col = 0; col < 3; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 3; ++r)
      if (std::fabs(w[r][col]) > std::fabs(w[pivot][col])) pivot = r;
    if (w[pivot][col] == 0.0) return Mat3{};
    if (pivot != col)
      for (int j = 0; j < 6; ++j) std::swap(w[pivot][j], w[col][j]);
    const double p = w[col][col];
    for (int j = 0; j < 6; ++j) w[col][j] /= p;
    for (int r = 0; r < 3; ++r) {
      if (r == col) continue;
      const double f = w[r][col];
      for (int j = 0; j < 6; ++j) w[r][j] -= f * w[col][j];
    }
  }
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = static_cast<float>(w[i][j + 3]);
  return r;
}

const Mat3 kSrgbToXyz = {{{0.4124f, 0.3576f, 0.1805f}, {0.2126f, 0.7152f, 0.0722f}, {0.0193f, 0.1192f, 0.9505f}}};
const Mat3 kBradford = {{{0.8951f, 0.2664f, -0.1614f}, {-0.7502f, 1.7135f, 0.0367f}, {0.0389f, -0.0685f, 1.0296f}}};

// ---------------------------------------------------------------------------------------
// Demosaic

// The 6 x 6 raw samples around one 2 x 2 quad: rows and columns -2 .. 3 from the quad's
// top-left pixel.
struct Hood {
  int32_t s[6][6];
  // Sample a rows below and b columns right of quad pixel (r, c).
  int32_t operator()(int r, int c, int a, int b) const { return s[r + 2 + a][c + 2 + b]; }
};

int32_t Clamp16(int32_t v) { return v < 0 ? 0 : (v > 65535 ? 65535 : v); }

// Direction class: 0 interpolate along the row, 1 along the column, 2 no preference,
// 3 strong gradients both ways.
int DirectionClass(const Hood& h, int r, int c, int32_t t) {
  const int32_t p = h(r, c, 0, 0);
  const int32_t v = std::abs(2 * p - h(r, c, -2, 0) - h(r, c, 2, 0));
  const int32_t hz = std::abs(2 * p - h(r, c, 0, -2) - h(r, c, 0, 2));
  if (v >= 2 * t && hz >= 2 * t) return 3;
  if (v - hz >= t) return 0;
  if (hz - v >= t) return 1;
  return 2;
}

int32_t Diagonals(const Hood& h, int r, int c) {
  return h(r, c, -1, -1) + h(r, c, -1, 1) + h(r, c, 1, -1) + h(r, c, 1, 1);
}

// Green at a red or blue pixel.
int32_t GreenAtColour(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  if (k == 0) return (2 * (P(0, -1) + P(0, 0) + P(0, 1)) - P(0, -2) - P(0, 2) + 2) >> 2;
  if (k == 1) return (2 * (P(-1, 0) + P(0, 0) + P(1, 0)) - P(-2, 0) - P(2, 0) + 2) >> 2;
  int32_t l = 4 * P(0, 0) - P(-2, 0) - P(2, 0) - P(0, -2) - P(0, 2);
  if (k == 3) l = (l + 2) >> 2;
  return (l + 2 * (P(-1, 0) + P(1, 0) + P(0, -1) + P(0, 1)) + 4) >> 3;
}

// At a green pixel, the colour of its neighbours along the row.
int32_t RowColourAtGreen(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0) return (2 * (P(0, -1) + P(0, 0) + P(0, 1)) - P(0, -2) - P(0, 2) + 2) >> 2;
  if (k == 1)
    return (P(-2, -1) + P(-2, 1) + P(2, -1) + P(2, 1) + 2 * (4 * P(0, 0) + P(0, -1) + P(0, 1) - sd) + 4) >> 3;
  int32_t n = ((P(-2, 0) + P(2, 0)) >> 1) + 5 * P(0, 0) - sd - P(0, -2) - P(0, 2);
  if (k == 3) n = (n + 1) >> 1;
  return (n + 4 * (P(0, -1) + P(0, 1)) + 4) >> 3;
}

// At a green pixel, the colour of its neighbours along the column.
int32_t ColumnColourAtGreen(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0)
    return (P(-1, -2) + P(-1, 2) + P(1, -2) + P(1, 2) + 2 * (4 * P(0, 0) + P(-1, 0) + P(1, 0) - sd) + 4) >> 3;
  if (k == 1) return (2 * (P(-1, 0) + P(0, 0) + P(1, 0)) - P(-2, 0) - P(2, 0) + 2) >> 2;
  int32_t n = ((P(0, -2) + P(0, 2)) >> 1) + 5 * P(0, 0) - sd - P(-2, 0) - P(2, 0);
  if (k == 3) n = (n + 1) >> 1;
  return (n + 4 * (P(-1, 0) + P(1, 0)) + 4) >> 3;
}

// At a red pixel blue, at a blue pixel red.
int32_t OppositeAtColour(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0)
    return (2 * (2 * P(0, -1) + 2 * P(0, 1) + sd - P(-1, 0) - P(1, 0) + 2) - P(-1, -2) - P(-1, 2) - P(1, -2) -
            P(1, 2)) >> 3;
  if (k == 1)
    return (2 * (2 * P(-1, 0) + 2 * P(1, 0) + sd - P(0, -1) - P(0, 1) + 2) - P(-2, -1) - P(-2, 1) - P(2, -1) -
            P(2, 1)) >> 3;
  int32_t u = 3 * (4 * P(0, 0) - P(-2, 0) - P(2, 0) - P(0, -2) - P(0, 2));
  if (k == 3) u = (u + 2) >> 2;
  return (u + 4 * sd + 8) >> 4;
}

// Thresholds of the direction test: the integer part of
// (2^16 - 1) x 0.01 x fraction + 0.5, with the fraction 0.0125 for both kinds of pixel.
constexpr double kThresholdFraction = 0.0125;
const int32_t kThresholdGreen = static_cast<int32_t>(65535.0 * 0.01 * kThresholdFraction + 0.5);
const int32_t kThresholdColour = static_cast<int32_t>(65535.0 * 0.01 * kThresholdFraction + 0.5);

constexpr int kBandBlue = 0, kBandGreen = 1, kBandRed = 2;

void Put(CImg* out, int32_t x, int32_t y, int band, int32_t value) {
  const uint16_t v = static_cast<uint16_t>(value);
  std::memcpy(out->BandPtr(x, y, band), &v, 2);
}

}  // namespace

int32_t DngBayerPhaseOf(const uint8_t pattern[4], int64_t dx, int64_t dy) {
  const int row = (dy & 1) ? 1 : 0;
  uint8_t first = pattern[2 * row], second = pattern[2 * row + 1];
  if (dx & 1) std::swap(first, second);
  if (first == 0) return kBayerRGGB;
  if (first == 2) return kBayerBGGR;
  if (first == 1 && second == 0) return kBayerGRBG;
  if (first == 1 && second == 2) return kBayerGBRG;
  return -1;
}

void DemosaicBayer(const CTypedImg<unsigned short>& raw, const RECT& window, int32_t phase, CImg* out) {
  const int32_t w = window.right - window.left, h = window.bottom - window.top;
  if (!out || !out->HasMemory() || !raw.HasMemory()) return;
  if (out->width != w || out->height != h || out->elementSize != 2) return;
  if (out->bands != 3 && out->bands != 4) return;
  if (h < 2 || w < 1) return;
  if (window.left < 0 || window.top < 0 || window.right > raw.width || window.bottom > raw.height) return;
  if (phase < 0 || phase > 3) phase = kBayerRGGB;

  // Where the quad's pixels are: X is the red or blue pixel of the upper row, Y that of
  // the lower row; the greens are Gu (upper) and Gl (lower).
  const int xc = (phase == kBayerRGGB || phase == kBayerBGGR) ? 0 : 1;
  const int xBand = (phase == kBayerRGGB || phase == kBayerGRBG) ? kBandRed : kBandBlue;
  const int yBand = kBandRed + kBandBlue - xBand;
  const int yc = 1 - xc;  // Y's column; Gu shares it, Gl shares X's

  const int32_t lastRow = raw.height - 1, lastCol = raw.width - 1;
  Hood hood;
  for (int32_t i = 0; i + 1 < h; i += 2) {
    const int32_t y = window.top + i;
    for (int32_t j = 0; j + 1 < w; j += 2) {
      const int32_t x = window.left + j;
      if (y >= 2 && y + 3 <= lastRow && x >= 2 && x + 3 <= lastCol) {
        for (int a = 0; a < 6; ++a) {
          const unsigned short* row = raw.Row(y - 2 + a) + (x - 2);
          for (int b = 0; b < 6; ++b) hood.s[a][b] = row[b];
        }
      } else {
        // Near the raw image's border: the nearest raw row and column stand in.
        for (int a = 0; a < 6; ++a) {
          const int32_t yy = std::clamp(y - 2 + a, 0, lastRow);
          const unsigned short* row = raw.Row(yy);
          for (int b = 0; b < 6; ++b) hood.s[a][b] = row[std::clamp(x - 2 + b, 0, lastCol)];
        }
      }
      const int kx = DirectionClass(hood, 0, xc, kThresholdColour);
      const int ky = DirectionClass(hood, 1, yc, kThresholdColour);
      const int ku = DirectionClass(hood, 0, yc, kThresholdGreen);
      const int kl = DirectionClass(hood, 1, xc, kThresholdGreen);

      // X: its own colour, green, and Y's colour.
      Put(out, j + xc, i, xBand, hood(0, xc, 0, 0));
      Put(out, j + xc, i, kBandGreen, Clamp16(GreenAtColour(hood, 0, xc, kx)));
      Put(out, j + xc, i, yBand, Clamp16(OppositeAtColour(hood, 0, xc, kx)));
      // Y.
      Put(out, j + yc, i + 1, yBand, hood(1, yc, 0, 0));
      Put(out, j + yc, i + 1, kBandGreen, Clamp16(GreenAtColour(hood, 1, yc, ky)));
      Put(out, j + yc, i + 1, xBand, Clamp16(OppositeAtColour(hood, 1, yc, ky)));
      // Gu: X beside it along the row, Y below it along the column.
      Put(out, j + yc, i, kBandGreen, hood(0, yc, 0, 0));
      Put(out, j + yc, i, xBand, Clamp16(RowColourAtGreen(hood, 0, yc, ku)));
      Put(out, j + yc, i, yBand, Clamp16(ColumnColourAtGreen(hood, 0, yc, ku)));
      // Gl: Y beside it along the row, X above it along the column.
      Put(out, j + xc, i + 1, kBandGreen, hood(1, xc, 0, 0));
      Put(out, j + xc, i + 1, yBand, Clamp16(RowColourAtGreen(hood, 1, xc, kl)));
      Put(out, j + xc, i + 1, xBand, Clamp16(ColumnColourAtGreen(hood, 1, xc, kl)));
    }
  }
}

// ---------------------------------------------------------------------------------------
// Metadata conversion

namespace {

// A variant that is cleared when it goes out of scope.
struct ScopedVariant {
  ScopedVariant() { std::memset(&v, 0, sizeof v); }
  ~ScopedVariant() { ClearWicVariant(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  PROPVARIANT v;
};

bool IsEmptySchema(const PROPVARIANT& schema) {
  if (schema.vt == VT_EMPTY) return true;
  return schema.vt == VT_LPWSTR && (!schema.pwszVal || !schema.pwszVal[0]);
}

}  // namespace

HRESULT ConvertMetadataToParams(CWicObject* source, CParams* out) {
  if (!source || !out) return E_POINTER;
  void* p = nullptr;
  HRESULT hr = source->QueryInterface(kIidWicMetadataReader, &p);
  if (hr < 0) return hr;
  CWicRef<CWicMetadataReader> reader(static_cast<CWicMetadataReader*>(p));
  uint32_t count = 0;
  if ((hr = reader->GetCount(&count)) < 0) return hr;
  for (uint32_t i = 0; i < count; ++i) {
    ScopedVariant schema, id, value;
    if ((hr = reader->GetValueByIndex(i, &schema.v, &id.v, &value.v)) < 0) return hr;
    if (!IsEmptySchema(schema.v)) continue;
    int32_t number = -1;
    const char16_t* name = nullptr;
    if (id.v.vt == VT_UI2) number = id.v.uiVal;
    else if (id.v.vt == VT_UI4) number = static_cast<int32_t>(id.v.ulVal);
    else if (id.v.vt == VT_LPWSTR && id.v.pwszVal) name = id.v.pwszVal;
    else continue;

    // Nested readers that cannot be converted are skipped, but a failed allocation is
    // reported as such rather than turning into a file with directories missing.
    CParamValue converted;
    if (value.v.vt == VT_UNKNOWN) {
      CParams nested;
      if (!value.v.punkVal) continue;
      hr = ConvertMetadataToParams(static_cast<CWicObject*>(value.v.punkVal), &nested);
      if (hr == E_OUTOFMEMORY) return hr;
      if (hr < 0) continue;
      if ((hr = converted.SetNested(&nested, 1)) < 0) return hr;
    } else if (value.v.vt == kVtVariantVector) {
      const uint32_t n = value.v.ca.cElems;
      const auto* items = static_cast<const PROPVARIANT*>(value.v.ca.pElems);
      if (n == 0 || !items) continue;
      CParams* sets = KoNewArray<CParams>(n);
      if (!sets) return E_OUTOFMEMORY;
      uint32_t kept = 0;
      for (uint32_t k = 0; k < n; ++k) {
        if (items[k].vt != VT_UNKNOWN || !items[k].punkVal) continue;
        hr = ConvertMetadataToParams(static_cast<CWicObject*>(items[k].punkVal), &sets[kept]);
        if (hr == E_OUTOFMEMORY) {
          delete[] sets;
          return hr;
        }
        if (hr < 0) {
          sets[kept].Clear();
          continue;
        }
        ++kept;
      }
      hr = kept ? converted.SetNested(sets, kept) : S_FALSE;
      delete[] sets;
      if (hr < 0) return hr;
      if (hr != S_OK) continue;  // no readers among the elements: nothing stored
    } else {
      hr = converted.SetFromVariant(value.v);
      if (hr < 0) return hr;
      if (hr != S_OK) continue;  // a variant type without a property kind
    }
    hr = name ? out->SetByName(name, 0, converted) : out->SetById(number, 0, converted);
    if (hr < 0) return hr;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// CDngImageReader

CDngImageReader::~CDngImageReader() {
  Clear();
  if (factory_) factory_->Release();
}

void CDngImageReader::Clear() {
  delete[] directories_;
  directories_ = nullptr;
  directoryCount_ = directoryCapacity_ = 0;
  if (stream_) stream_->Release();
  stream_ = nullptr;
  directory0_.Clear();
  developed_ = false;
  demosaiced_.Reset();
  outputWidth = outputHeight = 0;
}

HRESULT CDngImageReader::Open(const char16_t* name) {
  if (!name) return E_POINTER;
  return OpenStream(
      [](CWicStream* s, const void* context) {
        return s->InitializeFromFilename(static_cast<const char16_t*>(context), kWicGenericRead);
      },
      name);
}

HRESULT CDngImageReader::OpenMemory(const uint8_t* data, size_t size) {
  if (!data && size) return E_POINTER;
  struct Bytes {
    const uint8_t* data;
    size_t size;
  } bytes{data, size};
  return OpenStream(
      [](CWicStream* s, const void* context) {
        const Bytes* b = static_cast<const Bytes*>(context);
        return s->InitializeFromMemory(b->data, b->size);
      },
      &bytes);
}

HRESULT CDngImageReader::OpenStream(HRESULT (*init)(CWicStream*, const void*), const void* context) {
  // A new file: nothing of the previous one survives, its demosaiced image included.
  Clear();
  HRESULT hr = S_OK;
  auto fail = [this](HRESULT code) {
    Clear();
    return code;
  };
  EnsureComInitialized();
  if (!factory_) {
    void* p = nullptr;
    hr = CoCreateWicInstance(kClsidWicImagingFactory, nullptr, 1 /* in-process */, kIidWicComponentFactory, &p);
    if (hr < 0) return fail(hr);
    factory_ = static_cast<CWicComponentFactory*>(p);
  }
  if ((hr = factory_->CreateStream(&stream_)) < 0) return fail(hr);
  if ((hr = init(stream_, context)) < 0) return fail(hr);

  // The header: only little-endian classic TIFF is developed correctly.
  uint8_t header[8];
  uint32_t got = 0;
  if ((hr = stream_->Seek(0, 0, nullptr)) < 0) return fail(hr);
  if ((hr = stream_->Read(header, 8, &got)) < 0) return fail(hr);
  if (got != 8 || header[0] != 'I' || header[1] != 'I' || GetLE16(header + 2) != 42)
    return fail(E_KO_BADFORMAT);
  if ((hr = stream_->Seek(GetLE32(header + 4), 0, nullptr)) < 0) return fail(hr);
  {
    CWicRef<CWicMetadataReader> reader;
    hr = factory_->CreateMetadataReader(kWicMetadataFormatIfd, nullptr, 0, stream_, reader.Out());
    if (hr < 0) return fail(hr);
    if ((hr = ConvertMetadataToParams(reader.Get(), &directory0_)) < 0) return fail(hr);
  }

  if ((hr = AddDirectory(&directory0_)) < 0) return fail(hr);
  const CParamValue* subs = nullptr;
  if (directory0_.GetById(&subs, kTagSubIfds, 0) == S_OK && subs && subs->kind == kParamNested) {
    const CParams* sets = subs->NestedSets();
    for (uint32_t i = 0; i < subs->ElementCount(); ++i)
      if ((hr = AddDirectory(&sets[i])) < 0) return fail(hr);
  }

  const SDngDirectory* main = MainDirectory();
  if (!main) return fail(E_UNEXPECTED);
  if ((hr = CheckMainDirectory(*main)) < 0) return fail(hr);
  outputWidth = main->crop.right - main->crop.left;
  outputHeight = main->crop.bottom - main->crop.top;
  return S_OK;
}

// Adds the entry of one directory; directories without a readable NewSubFileType are
// skipped. Geometry is only worked out here; CheckMainDirectory validates it.
HRESULT CDngImageReader::AddDirectory(const CParams* params) {
  int64_t subfile = 0;
  if (ReadInts(*params, kTagNewSubFileType, kAsInteger, 0, 1, &subfile) != S_OK) return S_OK;
  SDngDirectory d;
  d.subfileType = static_cast<int32_t>(subfile);
  d.params = params;
  int64_t w = 0, h = 0;
  // Sizes beyond int32 are clipped to 0 here and refused for the main image.
  if (ReadInts(*params, kTagImageWidth, kAsInteger, 0, 1, &w) == S_OK && w <= INT32_MAX) d.width = static_cast<int32_t>(w);
  if (ReadInts(*params, kTagImageLength, kAsInteger, 0, 1, &h) == S_OK && h <= INT32_MAX) d.height = static_cast<int32_t>(h);
  d.activeArea = {0, 0, d.width, d.height};
  d.crop = d.activeArea;
  if (d.subfileType == 0) {
    int64_t area[4];  // top, left, bottom, right
    HRESULT hr = ReadInts(*params, kTagActiveArea, kAsInteger, 0, 4, area);
    if (hr < 0) return hr;
    int64_t left = 0, top = 0, right = d.width, bottom = d.height;
    if (hr == S_OK) {
      top = area[0];
      left = area[1];
      bottom = area[2];
      right = area[3];
    }
    int64_t origin[2], size[2];
    hr = ReadInts(*params, kTagDefaultCropOrigin, kAsInteger | kAsRational, 0, 2, origin);
    if (hr < 0) return hr;
    const int64_t x0 = left + (hr == S_OK ? origin[0] : 0);
    const int64_t y0 = top + (hr == S_OK ? origin[1] : 0);
    hr = ReadInts(*params, kTagDefaultCropSize, kAsInteger | kAsRational, 0, 2, size);
    if (hr < 0) return hr;
    const int64_t x1 = hr == S_OK ? x0 + size[0] : right;
    const int64_t y1 = hr == S_OK ? y0 + size[1] : bottom;
    // The geometry must lie inside the raw image (which also keeps it within int32).
    auto inside = [&](int64_t l, int64_t t, int64_t r, int64_t b) {
      return l >= 0 && t >= 0 && l < r && t < b && r <= d.width && b <= d.height;
    };
    if (!inside(left, top, right, bottom) || !inside(x0, y0, x1, y1)) return E_KO_BADFORMAT;
    d.activeArea = {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
                    static_cast<int32_t>(bottom)};
    d.crop = {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1), static_cast<int32_t>(y1)};
  }
  if (directoryCount_ == directoryCapacity_) {
    const int32_t grow = directoryCount_ == 0 ? 4 : (directoryCount_ + 7) / 8;
    SDngDirectory* bigger = KoNewArray<SDngDirectory>(static_cast<size_t>(directoryCapacity_) + grow);
    if (!bigger) return E_OUTOFMEMORY;
    for (int32_t i = 0; i < directoryCount_; ++i) bigger[i] = directories_[i];
    delete[] directories_;
    directories_ = bigger;
    directoryCapacity_ += grow;
  }
  directories_[directoryCount_++] = d;
  return S_OK;
}

const SDngDirectory* CDngImageReader::MainDirectory() const {
  for (int32_t i = 0; i < directoryCount_; ++i)
    if (directories_[i].subfileType == 0) return &directories_[i];
  return nullptr;
}

// Everything about the main image that can be checked before its pixels are read: the
// layout this reader develops, the size against the cap and the file, and the strips.
HRESULT CDngImageReader::CheckMainDirectory(const SDngDirectory& main) const {
  const CParams& set = *main.params;
  if (main.width <= 0 || main.height <= 0) return E_KO_BADFORMAT;
  const int64_t pixels = static_cast<int64_t>(main.width) * main.height;
  if (pixels > kDngMaxPixels) return E_KO_BADFORMAT;
  const uint64_t fileBytes = stream_->Size();
  if (static_cast<uint64_t>(pixels) * 2 > fileBytes) return E_KO_BADFORMAT;

  int64_t compression = 0, bits = 0, samples = 0;
  HRESULT hr;
  if ((hr = ReadIntOr(set, kTagCompression, kAsInteger, 1, &compression)) < 0) return hr;
  if ((hr = ReadIntOr(set, kTagBitsPerSample, kAsInteger, 1, &bits)) < 0) return hr;
  if ((hr = ReadIntOr(set, kTagSamplesPerPixel, kAsInteger, 1, &samples)) < 0) return hr;
  if (compression != 1 || bits != 16 || samples != 1) return E_KO_BADFORMAT;
  const CParamValue* linearization = nullptr;
  if (set.GetById(&linearization, kTagLinearizationTable, 0) == S_OK) return E_KO_BADFORMAT;

  int64_t rowsPerStrip = 0;
  if ((hr = ReadInts(set, kTagRowsPerStrip, kAsInteger, 0, 1, &rowsPerStrip)) != S_OK)
    return hr < 0 ? hr : E_KO_BADFORMAT;
  if (rowsPerStrip <= 0) return E_KO_BADFORMAT;
  const int64_t strips = (main.height + rowsPerStrip - 1) / rowsPerStrip;
  if (TagCount(set, kTagStripOffsets, kAsInteger) < strips || TagCount(set, kTagStripByteCounts, kAsInteger) < strips)
    return E_KO_BADFORMAT;
  const int64_t rowBytes = static_cast<int64_t>(main.width) * 2;
  for (int64_t s = 0; s < strips; ++s) {
    int64_t offset = 0, count = 0;
    if ((hr = ReadInts(set, kTagStripOffsets, kAsInteger, static_cast<uint32_t>(s), 1, &offset)) < 0) return hr;
    if ((hr = ReadInts(set, kTagStripByteCounts, kAsInteger, static_cast<uint32_t>(s), 1, &count)) < 0) return hr;
    const int64_t rows = std::min(rowsPerStrip, main.height - s * rowsPerStrip);
    const int64_t need = rows * rowBytes;
    // A strip too short for its rows, or rows beyond the end of the file.
    if (count < need) return E_UNEXPECTED;
    if (static_cast<uint64_t>(offset) > fileBytes || static_cast<uint64_t>(need) > fileBytes - offset)
      return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT CDngImageReader::ReadRawSamples(const SDngDirectory& main, CTypedImg<unsigned short>* raw) {
  const CParams& set = *main.params;
  HRESULT hr = raw->Create(main.width, main.height, 1, 0);
  if (hr < 0) return hr;
  int64_t rowsPerStrip = 0;
  if ((hr = ReadInts(set, kTagRowsPerStrip, kAsInteger, 0, 1, &rowsPerStrip)) != S_OK || rowsPerStrip <= 0)
    return E_KO_BADFORMAT;
  const uint32_t rowBytes = static_cast<uint32_t>(main.width) * 2;
  const bool contiguous = raw->stride == static_cast<int32_t>(rowBytes);
  uint32_t strip = 0;
  for (int64_t row = 0; row < main.height; row += rowsPerStrip, ++strip) {
    int64_t offset = 0, count = 0;
    if (ReadInts(set, kTagStripOffsets, kAsInteger, strip, 1, &offset) != S_OK) return E_KO_BADFORMAT;
    if (ReadInts(set, kTagStripByteCounts, kAsInteger, strip, 1, &count) != S_OK) return E_KO_BADFORMAT;
    const int32_t rows = static_cast<int32_t>(std::min<int64_t>(rowsPerStrip, main.height - row));
    if (count < static_cast<int64_t>(rows) * rowBytes) return E_UNEXPECTED;
    if ((hr = stream_->Seek(offset, 0, nullptr)) < 0) return hr;
    uint32_t got = 0;
    if (contiguous) {
      const uint32_t n = static_cast<uint32_t>(rows) * rowBytes;
      hr = stream_->Read(raw->Row(static_cast<int32_t>(row)), n, &got);
      if (hr < 0) return hr;
      if (got != n) return E_UNEXPECTED;
    } else {
      for (int32_t r = 0; r < rows; ++r) {
        hr = stream_->Read(raw->Row(static_cast<int32_t>(row) + r), rowBytes, &got);
        if (hr < 0) return hr;
        if (got != rowBytes) return E_UNEXPECTED;
      }
    }
  }
  // Samples are stored little-endian.
  for (int32_t y = 0; y < raw->height; ++y) {
    unsigned short* p = raw->Row(y);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(p);
    for (int32_t x = 0; x < raw->width; ++x) p[x] = GetLE16(bytes + 2 * x);
  }
  return S_OK;
}

namespace {

// Black levels inside the active area: the repeating pattern plus per-row and
// per-column deltas, each value held in single precision.
HRESULT SubtractBlack(const SDngDirectory& main, CTypedImg<unsigned short>* raw) {
  const CParams& set = *main.params;
  const int32_t aw = main.activeArea.right - main.activeArea.left;
  const int32_t ah = main.activeArea.bottom - main.activeArea.top;
  int64_t dim[2] = {1, 1};
  HRESULT hr = ReadInts(set, kTagBlackLevelRepeatDim, kAsInteger, 0, 2, dim);
  if (hr < 0) return hr;
  if (dim[0] < 1 || dim[1] < 1 || dim[0] * dim[1] > (1 << 20)) return E_KO_BADFORMAT;
  const uint32_t rr = static_cast<uint32_t>(dim[0]), cc = static_cast<uint32_t>(dim[1]);

  auto readTable = [&](int32_t tag, uint32_t kinds, uint32_t n, float** out) -> HRESULT {
    *out = KoNewArray<float>(n);  // zeros when the tag is absent
    if (!*out) return E_OUTOFMEMORY;
    if (!FindTag(set, tag, kinds)) return S_OK;
    for (uint32_t i = 0; i < n; ++i) {
      double v = 0;
      const HRESULT r = ReadReals(set, tag, kinds, i, 1, &v);
      if (r < 0) return r;
      (*out)[i] = static_cast<float>(v);
    }
    return S_OK;
  };
  float* pattern = nullptr;
  float* deltaH = nullptr;
  float* deltaV = nullptr;
  hr = readTable(kTagBlackLevel, kAsInteger | kAsRational, rr * cc, &pattern);
  if (hr >= 0) hr = readTable(kTagBlackLevelDeltaH, kAsAnyRational, static_cast<uint32_t>(aw), &deltaH);
  if (hr >= 0) hr = readTable(kTagBlackLevelDeltaV, kAsAnyRational, static_cast<uint32_t>(ah), &deltaV);
  if (hr >= 0) {
    for (int32_t y = 0; y < ah; ++y) {
      unsigned short* row = raw->Row(main.activeArea.top + y) + main.activeArea.left;
      const float* patternRow = pattern + (y % rr) * cc;
      for (int32_t x = 0; x < aw; ++x) {
        const float black = static_cast<float>(static_cast<double>(patternRow[x % cc]) + deltaV[y] + deltaH[x]);
        const double v = static_cast<double>(row[x]) - black;
        row[x] = static_cast<unsigned short>(v < 0 ? 0.0 : (v > 65535.0 ? 65535.0 : std::nearbyint(v)));
      }
    }
    hr = S_OK;
  }
  delete[] pattern;
  delete[] deltaH;
  delete[] deltaV;
  return hr;
}

int32_t BayerPhase(const SDngDirectory& main) {
  const CParams& set = *main.params;
  int64_t dims[2], codes[4];
  if (TagCount(set, kTagCfaRepeatPatternDim, kAsInteger) != 2 || TagCount(set, kTagCfaPattern, kAsInteger) != 4)
    return -1;
  if (ReadInts(set, kTagCfaRepeatPatternDim, kAsInteger, 0, 2, dims) != S_OK ||
      ReadInts(set, kTagCfaPattern, kAsInteger, 0, 4, codes) != S_OK)
    return -1;
  uint8_t pattern[4];
  for (int i = 0; i < 4; ++i) pattern[i] = codes[i] > 255 ? 255 : static_cast<uint8_t>(codes[i]);
  return DngBayerPhaseOf(pattern, main.crop.left - main.activeArea.left, main.crop.top - main.activeArea.top);
}

}  // namespace

HRESULT CDngImageReader::Develop() {
  const SDngDirectory* main = MainDirectory();
  if (!main || !stream_) return E_UNEXPECTED;
  CTypedImg<unsigned short> raw;
  HRESULT hr = ReadRawSamples(*main, &raw);
  if (hr < 0) return hr;
  if ((hr = SubtractBlack(*main, &raw)) < 0) return hr;
  int32_t phase = BayerPhase(*main);
  if (phase < 0) phase = kBayerRGGB;  // an unknown pattern is taken as RGGB
  const int32_t w = main->crop.right - main->crop.left, h = main->crop.bottom - main->crop.top;
  if ((hr = demosaiced_.Create(w, h, 3, 2, kTypeRGB16, 0)) < 0) return hr;
  // An odd last row or column is not demosaiced: it stays black rather than undefined.
  demosaiced_.Clear();
  DemosaicBayer(raw, main->crop, phase, &demosaiced_);
  developed_ = true;
  return S_OK;
}

HRESULT CDngImageReader::ReadInto(CImg* image) {
  if (!image) return E_POINTER;
  if (!developed_) {
    const HRESULT hr = Develop();
    if (hr < 0) return hr;
  }
  return ConvertInto(image);
}

HRESULT CDngImageReader::ConvertInto(CImg* image) const {
  const SDngDirectory* main = MainDirectory();
  if (!main) return E_UNEXPECTED;
  if (!image->HasMemory() || image->width != demosaiced_.width || image->height != demosaiced_.height)
    return E_INVALIDARG;
  const int32_t type = image->type;
  const bool sixteen = ElementTypeOf(type) == kElemShort;
  int32_t bands = 0;
  switch (type) {
    case kTypeRGBAByte: case kTypeRGBA16: bands = 4; break;
    case kTypeRGBByte: case kTypeRGB16: bands = 3; break;
    default: return E_INVALIDARG;
  }
  // The pixel must really be what the type word says, or the writes below overrun it.
  if (image->bands != bands || image->elementSize != (sixteen ? 2 : 1) || image->pixelSize != bands * image->elementSize)
    return E_INVALIDARG;

  // Camera to XYZ.
  HRESULT hr;
  double values[9];
  Mat3 colorMatrix, calibration = Identity();
  hr = ReadReals(directory0_, kTagColorMatrix1, kAsSRational, 0, 9, values);
  if (hr != S_OK) return hr < 0 ? hr : E_KO_BADFORMAT;
  for (int i = 0; i < 9; ++i) colorMatrix.m[i / 3][i % 3] = static_cast<float>(values[i]);
  hr = ReadReals(directory0_, kTagCameraCalibration1, kAsSRational, 0, 9, values);
  if (hr < 0) return hr;
  if (hr == S_OK)
    for (int i = 0; i < 9; ++i) calibration.m[i / 3][i % 3] = static_cast<float>(values[i]);
  const Mat3 cameraToXyz = Inverse(Mul(calibration, colorMatrix));

  double neutralValues[3];
  hr = ReadReals(directory0_, kTagAsShotNeutral, kAsInteger | kAsRational, 0, 3, neutralValues);
  if (hr != S_OK) return hr < 0 ? hr : E_KO_BADFORMAT;
  const Vec3 neutral = {{static_cast<float>(neutralValues[0]), static_cast<float>(neutralValues[1]),
                         static_cast<float>(neutralValues[2])}};

  // Bradford adaptation of the camera's white to the sRGB white.
  const Vec3 ones = {{1, 1, 1}};
  const Vec3 ws = Mul(kBradford, Mul(kSrgbToXyz, ones));
  const Vec3 wc = Mul(kBradford, Mul(cameraToXyz, neutral));
  Mat3 d = {};
  for (int i = 0; i < 3; ++i) d.m[i][i] = static_cast<float>(static_cast<double>(ws.v[i]) / wc.v[i]);
  Mat3 k = Mul(Mul(Mul(Mul(Inverse(kSrgbToXyz), Inverse(kBradford)), d), kBradford), cameraToXyz);

  int64_t whiteLevel = 65535;
  if ((hr = ReadIntOr(*main->params, kTagWhiteLevel, kAsInteger, 65535, &whiteLevel)) < 0) return hr;
  if (whiteLevel <= 0) return E_KO_BADFORMAT;
  const float s = static_cast<float>(static_cast<double>(exposure) * 65535.0 / static_cast<double>(whiteLevel));
  Mat3 scale = {};
  for (int i = 0; i < 3; ++i) scale.m[i][i] = s;
  k = Mul(k, scale);
  // A singular matrix or a zero neutral leaves no usable colour transform.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!std::isfinite(k.m[i][j])) return E_KO_BADFORMAT;

  CKoBuffer<uint8_t> buffer(65536 * (sixteen ? 2 : 1));
  void* table = buffer.get();
  if (!table) return E_OUTOFMEMORY;
  if (sixteen) BuildSrgbTable16(static_cast<uint16_t*>(table), kSrgbEncode);
  else BuildSrgbTable8(static_cast<uint8_t*>(table), kSrgbEncode);
  const auto* t16 = static_cast<const uint16_t*>(table);
  const auto* t8 = static_cast<const uint8_t*>(table);

  auto toCode = [](double x) -> uint32_t {
    if (!(x >= 0)) return 0;  // below 0 (and NaN)
    if (x > 65535.0) return 65535;
    return static_cast<uint32_t>(std::nearbyint(x));
  };
  for (int32_t y = 0; y < image->height; ++y) {
    const RGBType<unsigned short>* src = demosaiced_.PixelRow(y);
    uint8_t* dst = image->RowPtr(y);
    for (int32_t x = 0; x < image->width; ++x) {
      const double rgb[3] = {static_cast<double>(src[x].red), static_cast<double>(src[x].green),
                             static_cast<double>(src[x].blue)};
      uint32_t code[3];
      for (int i = 0; i < 3; ++i) {
        double sum = 0;
        for (int j = 0; j < 3; ++j) sum += static_cast<double>(k.m[i][j]) * rgb[j];
        code[i] = toCode(sum);
      }
      // Stored blue, green, red (, alpha).
      if (sixteen) {
        uint16_t px[4] = {t16[code[2]], t16[code[1]], t16[code[0]], 65535};
        std::memcpy(dst + static_cast<size_t>(x) * bands * 2, px, static_cast<size_t>(bands) * 2);
      } else {
        uint8_t px[4] = {t8[code[2]], t8[code[1]], t8[code[0]], 255};
        std::memcpy(dst + static_cast<size_t>(x) * bands, px, static_cast<size_t>(bands));
      }
    }
  }
  return S_OK;
}

}  // namespace ko
