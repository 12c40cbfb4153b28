#include "ko/io/dng_image_reader.h"

#include <cmath>
#include <cstring>

#include "ko/convert/srgb_table.h"
#include "ko/io/dng_color_matrix.h"
#include "ko/io/dng_demosaic.h"
#include "ko/io/dng_metadata.h"
#include "ko/io/dng_raw_source.h"
#include "ko/io/dng_tags.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/image_read_reason.h"
#include "ko/platform/byte_order.h"
#include "ko/platform/ko_buffer.h"
#include "ko/platform/platform_services.h"

namespace ko {

using namespace dng;

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
  layout_ = SRawLayout();
  bigEndian_ = false;
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
  // A new file: nothing of the previous one survives, its demosaiced image included, nor
  // the words of an earlier failure.
  Clear();
  ClearImageReadReason();
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

  // The header: classic TIFF in either byte order.
  uint8_t header[8];
  uint32_t got = 0;
  if ((hr = stream_->Seek(0, 0, nullptr)) < 0) return fail(hr);
  if ((hr = stream_->Read(header, 8, &got)) < 0) return fail(hr);
  if (got != 8 || header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) return fail(E_KO_BADFORMAT);
  bigEndian_ = header[0] == 'M';
  const uint16_t magic = bigEndian_ ? static_cast<uint16_t>((header[2] << 8) | header[3]) : GetLE16(header + 2);
  const uint32_t first = bigEndian_ ? (static_cast<uint32_t>(header[4]) << 24) | (static_cast<uint32_t>(header[5]) << 16) |
                                          (static_cast<uint32_t>(header[6]) << 8) | header[7]
                                    : GetLE32(header + 4);
  if (magic != 42) return fail(E_KO_BADFORMAT);
  if ((hr = stream_->Seek(first, 0, nullptr)) < 0) return fail(hr);
  {
    CWicRef<CWicMetadataReader> reader;
    hr = factory_->CreateMetadataReader(kWicMetadataFormatIfd, nullptr, bigEndian_ ? kWicPersistBigEndian : 0,
                                        stream_, reader.Out());
    if (hr < 0) return fail(hr);
    if ((hr = ConvertMetadataToParams(reader.Get(), &directory0_)) < 0) return fail(hr);
  }

  if ((hr = AddDirectory(&directory0_)) < 0) return fail(hr);
  const CParamValue* subs = nullptr;
  if (directory0_.GetById(&subs, tiff_tag::kSubIfds, 0) == S_OK && subs && subs->kind == kParamNested) {
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
  if (ReadInts(*params, tiff_tag::kNewSubFileType, kAsInteger, 0, 1, &subfile) != S_OK) return S_OK;
  SDngDirectory d;
  d.subfileType = static_cast<int32_t>(subfile);
  d.params = params;
  int64_t w = 0, h = 0;
  // Sizes beyond int32 are clipped to 0 here and refused for the main image.
  if (ReadInts(*params, tiff_tag::kImageWidth, kAsInteger, 0, 1, &w) == S_OK && w <= INT32_MAX) d.width = static_cast<int32_t>(w);
  if (ReadInts(*params, tiff_tag::kImageLength, kAsInteger, 0, 1, &h) == S_OK && h <= INT32_MAX) d.height = static_cast<int32_t>(h);
  d.activeArea = {0, 0, d.width, d.height};
  d.crop = d.activeArea;
  if (d.subfileType == 0) {
    int64_t area[4];  // top, left, bottom, right
    HRESULT hr = ReadInts(*params, tiff_tag::kActiveArea, kAsInteger, 0, 4, area);
    if (hr < 0) return hr;
    int64_t left = 0, top = 0, right = d.width, bottom = d.height;
    if (hr == S_OK) {
      top = area[0];
      left = area[1];
      bottom = area[2];
      right = area[3];
    }
    int64_t origin[2], size[2];
    hr = ReadInts(*params, tiff_tag::kDefaultCropOrigin, kAsInteger | kAsRational, 0, 2, origin);
    if (hr < 0) return hr;
    const int64_t x0 = left + (hr == S_OK ? origin[0] : 0);
    const int64_t y0 = top + (hr == S_OK ? origin[1] : 0);
    hr = ReadInts(*params, tiff_tag::kDefaultCropSize, kAsInteger | kAsRational, 0, 2, size);
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

namespace {

// The LinearizationTable must cover every value the stored samples can take; S_FALSE when
// there is none.
HRESULT CheckLinearization(const CParams& set, uint32_t valueLimit) {
  const CParamValue* table = FindTag(set, tiff_tag::kLinearizationTable, kAsInteger);
  if (!table) return S_FALSE;
  if (table->ElementCount() < valueLimit) {
    SetImageReadReason("the file is truncated or corrupt: a LinearizationTable shorter than the stored values reach");
    return E_KO_BADFORMAT;
  }
  return S_OK;
}

// Stored values become linear values through the table, before the black levels.
HRESULT Linearize(const CParams& set, uint32_t valueLimit, CTypedImg<unsigned short>* raw) {
  HRESULT hr = CheckLinearization(set, valueLimit);
  if (hr != S_OK) return hr;
  CKoBuffer<uint32_t> wide(valueLimit);
  CKoBuffer<uint16_t> table(valueLimit);
  if (!wide || !table) return E_OUTOFMEMORY;
  const CParamValue* values = FindTag(set, tiff_tag::kLinearizationTable, kAsInteger);
  if (values->GetAs(kParamUInt32, wide.get(), 0, valueLimit) != S_OK) return E_KO_BADFORMAT;
  for (uint32_t i = 0; i < valueLimit; ++i) {
    if (wide[i] > 65535) return E_KO_BADFORMAT;
    table[i] = static_cast<uint16_t>(wide[i]);
  }
  for (int32_t y = 0; y < raw->height; ++y) {
    unsigned short* row = raw->Row(y);
    for (int32_t x = 0; x < raw->width; ++x) row[x] = table[row[x]];
  }
  return S_OK;
}

}  // namespace

// Everything about the main image that can be checked before its pixels are read: the
// size against the cap, the variant and the layout of its strips or tiles against the file.
HRESULT CDngImageReader::CheckMainDirectory(const SDngDirectory& main) {
  const CParams& set = *main.params;
  if (main.width <= 0 || main.height <= 0) return E_KO_BADFORMAT;
  const int64_t pixels = static_cast<int64_t>(main.width) * main.height;
  if (pixels > kDngMaxPixels) return E_KO_BADFORMAT;
  HRESULT hr = ReadRawLayout(set, main.width, main.height, bigEndian_, stream_->Size(), &layout_);
  if (hr < 0) return hr;
  // The demosaic knows 2 x 2 patterns only; without the tag the pattern is taken as RGGB.
  const CParamValue* dims = FindTag(set, tiff_tag::kCfaRepeatPatternDim, kAsInteger);
  int64_t d[2] = {0, 0};
  if (dims && (dims->ElementCount() != 2 || ReadInts(set, tiff_tag::kCfaRepeatPatternDim, kAsInteger, 0, 2, d) != S_OK ||
               d[0] != 2 || d[1] != 2)) {
    SetImageReadReason("a DNG variant the reader does not support: a colour filter array other than 2 x 2");
    return E_NOTIMPL;
  }
  if (layout_.compression == 1 && (hr = CheckLinearization(set, 1u << layout_.bits)) < 0) return hr;
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
  HRESULT hr = ReadInts(set, tiff_tag::kBlackLevelRepeatDim, kAsInteger, 0, 2, dim);
  if (hr < 0) return hr;
  // Each side is bounded before the product: two LONG sides near 2^32 would overflow it.
  if (dim[0] < 1 || dim[1] < 1 || dim[0] > (1 << 20) || dim[1] > (1 << 20) || dim[0] * dim[1] > (1 << 20))
    return E_KO_BADFORMAT;
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
  hr = readTable(tiff_tag::kBlackLevel, kAsInteger | kAsRational, rr * cc, &pattern);
  if (hr >= 0) hr = readTable(tiff_tag::kBlackLevelDeltaH, kAsAnyRational, static_cast<uint32_t>(aw), &deltaH);
  if (hr >= 0) hr = readTable(tiff_tag::kBlackLevelDeltaV, kAsAnyRational, static_cast<uint32_t>(ah), &deltaV);
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
  if (TagCount(set, tiff_tag::kCfaRepeatPatternDim, kAsInteger) != 2 || TagCount(set, tiff_tag::kCfaPattern, kAsInteger) != 4)
    return -1;
  if (ReadInts(set, tiff_tag::kCfaRepeatPatternDim, kAsInteger, 0, 2, dims) != S_OK ||
      ReadInts(set, tiff_tag::kCfaPattern, kAsInteger, 0, 4, codes) != S_OK)
    return -1;
  uint8_t pattern[4];
  for (int i = 0; i < 4; ++i) pattern[i] = codes[i] > 255 ? 255 : static_cast<uint8_t>(codes[i]);
  return DngBayerPhaseOf(pattern, main.crop.left - main.activeArea.left, main.crop.top - main.activeArea.top);
}

}  // namespace

HRESULT CDngImageReader::DecodeRawSamples(CTypedImg<unsigned short>* raw) const {
  if (!raw) return E_POINTER;
  if (!MainDirectory() || !stream_) return E_UNEXPECTED;
  uint32_t valueLimit = 0;
  return ReadRawSamples(layout_, stream_->Data(), stream_->Size(), raw, &valueLimit);
}

HRESULT CDngImageReader::Develop() {
  const SDngDirectory* main = MainDirectory();
  if (!main || !stream_) return E_UNEXPECTED;
  CTypedImg<unsigned short> raw;
  uint32_t valueLimit = 0;
  HRESULT hr = ReadRawSamples(layout_, stream_->Data(), stream_->Size(), &raw, &valueLimit);
  if (hr < 0) return hr;
  if ((hr = Linearize(*main->params, valueLimit, &raw)) < 0) return hr;
  if ((hr = SubtractBlack(*main, &raw)) < 0) return hr;
  int32_t phase = BayerPhase(*main);
  if (phase < 0) phase = kBayerRGGB;  // an unknown pattern is taken as RGGB
  const int32_t w = main->crop.right - main->crop.left, h = main->crop.bottom - main->crop.top;
  if ((hr = CheckImageAllocation(w, h, 3, 2)) < 0) return hr;
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
  hr = ReadReals(directory0_, tiff_tag::kColorMatrix1, kAsSRational, 0, 9, values);
  if (hr != S_OK) return hr < 0 ? hr : E_KO_BADFORMAT;
  for (int i = 0; i < 9; ++i) colorMatrix.m[i / 3][i % 3] = static_cast<float>(values[i]);
  hr = ReadReals(directory0_, tiff_tag::kCameraCalibration1, kAsSRational, 0, 9, values);
  if (hr < 0) return hr;
  if (hr == S_OK)
    for (int i = 0; i < 9; ++i) calibration.m[i / 3][i % 3] = static_cast<float>(values[i]);
  const Mat3 cameraToXyz = Inverse(Mul(calibration, colorMatrix));

  double neutralValues[3];
  hr = ReadReals(directory0_, tiff_tag::kAsShotNeutral, kAsInteger | kAsRational, 0, 3, neutralValues);
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
  if ((hr = ReadIntOr(*main->params, tiff_tag::kWhiteLevel, kAsInteger, 65535, &whiteLevel)) < 0) return hr;
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
