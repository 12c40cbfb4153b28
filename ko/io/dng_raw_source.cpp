#include "ko/io/dng_raw_source.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "ko/codec/lossless_jpeg_decoder.h"
#include "ko/io/dng_tags.h"
#include "ko/io/image_limits.h"
#include "ko/io/image_read_reason.h"

namespace ko::dng {
namespace {

constexpr int64_t kUncompressed = 1, kLosslessJpeg = 7, kDeflate = 8, kAdobeDeflate = 32946, kLossyJpeg = 34892;
constexpr int64_t kLinearRaw = 34892;  // PhotometricInterpretation of demosaiced DNGs

HRESULT Unsupported(const std::string& what) {
  SetImageReadReason("a DNG variant the reader does not support: " + what);
  return E_NOTIMPL;
}

HRESULT Corrupt(HRESULT hr, const std::string& what) {
  SetImageReadReason("the file is truncated or corrupt: " + what);
  return hr;
}

// The bytes a piece of `samples` samples in `rows` rows needs at the least.
uint64_t LeastBytes(const SRawLayout& l, int64_t rows) {
  if (l.compression == kLosslessJpeg) return (static_cast<uint64_t>(l.pieceWidth * rows) + 7) / 8;  // a bit a sample
  return static_cast<uint64_t>((l.pieceWidth * l.bits + 7) / 8) * static_cast<uint64_t>(rows);
}

// `n` samples of `bits` bits, packed most significant bit first from `src`.
void Unpack(const uint8_t* src, uint16_t* dst, int64_t n, int bits, bool bigEndian) {
  if (bits == 8) {
    for (int64_t i = 0; i < n; ++i) dst[i] = src[i];
  } else if (bits == 16) {
    if (bigEndian)
      for (int64_t i = 0; i < n; ++i) dst[i] = static_cast<uint16_t>((src[2 * i] << 8) | src[2 * i + 1]);
    else
      for (int64_t i = 0; i < n; ++i) dst[i] = static_cast<uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
  } else {
    const uint32_t mask = (1u << bits) - 1;
    uint32_t acc = 0;
    int have = 0;
    for (int64_t i = 0; i < n; ++i) {
      while (have < bits) {
        acc = (acc << 8) | *src++;
        have += 8;
      }
      have -= bits;
      dst[i] = static_cast<uint16_t>((acc >> have) & mask);
    }
  }
}

}  // namespace

int64_t SRawLayout::StoredRows(int64_t r) const {
  return tiled ? pieceLength : std::min(pieceLength, static_cast<int64_t>(height) - r * pieceLength);
}

HRESULT ReadRawLayout(const CParams& set, int32_t width, int32_t height, bool bigEndian, uint64_t fileBytes,
                      SRawLayout* l) {
  *l = SRawLayout();
  l->width = width;
  l->height = height;
  l->bigEndian = bigEndian;
  int64_t compression = 0, bits = 0, samples = 0, photometric = 0, format = 0;
  HRESULT hr;
  if ((hr = ReadIntOr(set, tiff_tag::kCompression, kAsInteger, kUncompressed, &compression)) < 0) return hr;
  if ((hr = ReadIntOr(set, tiff_tag::kBitsPerSample, kAsInteger, 1, &bits)) < 0) return hr;
  if ((hr = ReadIntOr(set, tiff_tag::kSamplesPerPixel, kAsInteger, 1, &samples)) < 0) return hr;
  if ((hr = ReadIntOr(set, tiff_tag::kPhotometricInterpretation, kAsInteger, 0, &photometric)) < 0) return hr;
  if ((hr = ReadIntOr(set, tiff_tag::kSampleFormat, kAsInteger, 1, &format)) < 0) return hr;
  if (format == 3) return Unsupported("floating-point samples");
  if (photometric == kLinearRaw) return Unsupported("a linear (demosaiced) DNG");
  if (compression == kLossyJpeg) return Unsupported("lossy JPEG");
  if (compression == kDeflate || compression == kAdobeDeflate) return Unsupported("deflate");
  if (compression != kUncompressed && compression != kLosslessJpeg)
    return Unsupported("compression " + std::to_string(compression));
  if (format != 1) return Unsupported("signed samples");
  if (samples != 1) return Unsupported("more than one sample per pixel");
  if (bits < 8 || bits > 16) return Unsupported(std::to_string(bits) + "-bit samples");
  l->compression = static_cast<int32_t>(compression);
  l->bits = static_cast<int32_t>(bits);

  // The samples inside the image alone need this many bytes: a first check on the declared
  // size, before the offsets of a million pieces are looked at.
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const uint64_t least = compression == kLosslessJpeg ? pixels / 8 : pixels * static_cast<uint64_t>(bits) / 8;
  if (least > fileBytes) return E_KO_BADFORMAT;

  int32_t offsetsTag = tiff_tag::kStripOffsets, countsTag = tiff_tag::kStripByteCounts;
  l->tiled = FindTag(set, tiff_tag::kTileWidth, kAsInteger) || FindTag(set, tiff_tag::kTileOffsets, kAsInteger);
  if (l->tiled) {
    int64_t tileWidth = 0, tileLength = 0;
    if ((hr = ReadInts(set, tiff_tag::kTileWidth, kAsInteger, 0, 1, &tileWidth)) != S_OK ||
        (hr = ReadInts(set, tiff_tag::kTileLength, kAsInteger, 0, 1, &tileLength)) != S_OK)
      return hr < 0 ? hr : E_KO_BADFORMAT;
    l->pieceWidth = tileWidth;
    l->pieceLength = tileLength;
    offsetsTag = tiff_tag::kTileOffsets;
    countsTag = tiff_tag::kTileByteCounts;
  } else {
    int64_t rowsPerStrip = 0;
    if ((hr = ReadInts(set, tiff_tag::kRowsPerStrip, kAsInteger, 0, 1, &rowsPerStrip)) != S_OK)
      return hr < 0 ? hr : E_KO_BADFORMAT;
    l->pieceWidth = width;
    l->pieceLength = std::min<int64_t>(rowsPerStrip, height);
  }
  // Each side is bounded before the product; a piece may be no larger than an image.
  if (l->pieceWidth <= 0 || l->pieceLength <= 0 || l->pieceWidth > kMaxImagePixels ||
      l->pieceLength > kMaxImagePixels || l->pieceWidth * l->pieceLength > kMaxImagePixels)
    return E_KO_BADFORMAT;
  l->across = (width + l->pieceWidth - 1) / l->pieceWidth;
  l->down = (height + l->pieceLength - 1) / l->pieceLength;
  const int64_t pieces = l->Pieces();  // at most width x height
  const CParamValue* offsets = FindTag(set, offsetsTag, kAsInteger);
  const CParamValue* counts = FindTag(set, countsTag, kAsInteger);
  if (!offsets || !counts || offsets->ElementCount() < pieces || counts->ElementCount() < pieces)
    return E_KO_BADFORMAT;
  if (!l->offsets.Allocate(static_cast<size_t>(pieces)) || !l->byteCounts.Allocate(static_cast<size_t>(pieces)))
    return E_OUTOFMEMORY;
  if (offsets->GetAs(kParamUInt32, l->offsets.get(), 0, static_cast<uint32_t>(pieces)) != S_OK ||
      counts->GetAs(kParamUInt32, l->byteCounts.get(), 0, static_cast<uint32_t>(pieces)) != S_OK)
    return E_KO_BADFORMAT;
  for (int64_t r = 0; r < l->down; ++r) {
    const uint64_t need = LeastBytes(*l, l->StoredRows(r));
    for (int64_t c = 0; c < l->across; ++c) {
      const uint64_t offset = l->offsets[static_cast<size_t>(r * l->across + c)];
      if (l->byteCounts[static_cast<size_t>(r * l->across + c)] < need)
        return Corrupt(E_UNEXPECTED, "a strip or tile shorter than its samples");
      if (offset > fileBytes || need > fileBytes - offset)
        return Corrupt(E_UNEXPECTED, "a strip or tile beyond the end of the file");
    }
  }
  return S_OK;
}

HRESULT ReadRawSamples(const SRawLayout& l, const uint8_t* file, size_t fileBytes, CTypedImg<unsigned short>* raw,
                       uint32_t* valueLimit) {
  HRESULT hr = CheckImageAllocation(l.width, l.height, 1, 2);
  if (hr < 0) return hr;
  if ((hr = raw->Create(l.width, l.height, 1, 0)) < 0) return hr;
  *valueLimit = l.compression == kUncompressed ? 1u << l.bits : 0;
  const ptrdiff_t stride = raw->stride / static_cast<ptrdiff_t>(sizeof(unsigned short));
  const size_t rowBytes = static_cast<size_t>((l.pieceWidth * l.bits + 7) / 8);
  CKoBuffer<uint16_t> edge;  // a piece that reaches past the image, decoded whole
  for (int64_t r = 0; r < l.down; ++r) {
    const int64_t stored = l.StoredRows(r);
    const int32_t y0 = static_cast<int32_t>(r * l.pieceLength);
    const int32_t rows = static_cast<int32_t>(std::min<int64_t>(stored, l.height - y0));
    for (int64_t c = 0; c < l.across; ++c) {
      const size_t piece = static_cast<size_t>(r * l.across + c);
      const int32_t x0 = static_cast<int32_t>(c * l.pieceWidth);
      const int32_t columns = static_cast<int32_t>(std::min<int64_t>(l.pieceWidth, l.width - x0));
      // ReadRawLayout checked that the piece's least bytes lie inside the file.
      const uint8_t* bytes = file + l.offsets[piece];
      const size_t available = std::min<size_t>(l.byteCounts[piece], fileBytes - l.offsets[piece]);
      if (l.compression == kUncompressed) {
        for (int32_t y = 0; y < rows; ++y)
          Unpack(bytes + static_cast<size_t>(y) * rowBytes, raw->Row(y0 + y) + x0, columns, l.bits, l.bigEndian);
        continue;
      }
      const bool whole = columns == l.pieceWidth && rows == stored;
      if (!whole && !edge && !edge.Allocate(static_cast<size_t>(l.pieceWidth * stored))) return E_OUTOFMEMORY;
      LosslessJpegOutput out;
      out.samples = whole ? raw->Row(y0) + x0 : edge.get();
      out.width = static_cast<size_t>(l.pieceWidth);
      out.rows = static_cast<size_t>(stored);
      out.stride = whole ? stride : static_cast<ptrdiff_t>(l.pieceWidth);
      LosslessJpegFrame frame;
      const char* problem = "";
      hr = DecodeLosslessJpeg(bytes, available, out, &frame, &problem);
      if (hr == E_NOTIMPL) return Unsupported(problem);
      if (hr == E_FAIL) return Corrupt(E_FAIL, problem);
      if (hr < 0) return hr;
      *valueLimit = std::max(*valueLimit, 1u << frame.precision);
      if (!whole)
        for (int32_t y = 0; y < rows; ++y)
          std::memcpy(raw->Row(y0 + y) + x0, edge.get() + static_cast<size_t>(y) * static_cast<size_t>(l.pieceWidth),
                      static_cast<size_t>(columns) * sizeof(uint16_t));
    }
  }
  return S_OK;
}

}  // namespace ko::dng
