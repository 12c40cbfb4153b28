#include "ko/io/dng_strips.h"

#include <algorithm>

#include "ko/io/dng_tags.h"
#include "ko/platform/byte_order.h"

namespace ko::dng {

HRESULT CheckStrips(const CParams& set, int32_t width, int32_t height, uint64_t fileBytes) {
  HRESULT hr;
  int64_t rowsPerStrip = 0;
  if ((hr = ReadInts(set, tiff_tag::kRowsPerStrip, kAsInteger, 0, 1, &rowsPerStrip)) != S_OK)
    return hr < 0 ? hr : E_KO_BADFORMAT;
  if (rowsPerStrip <= 0) return E_KO_BADFORMAT;
  const int64_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
  if (TagCount(set, tiff_tag::kStripOffsets, kAsInteger) < strips ||
      TagCount(set, tiff_tag::kStripByteCounts, kAsInteger) < strips)
    return E_KO_BADFORMAT;
  const int64_t rowBytes = static_cast<int64_t>(width) * 2;
  for (int64_t s = 0; s < strips; ++s) {
    int64_t offset = 0, count = 0;
    if ((hr = ReadInts(set, tiff_tag::kStripOffsets, kAsInteger, static_cast<uint32_t>(s), 1, &offset)) < 0) return hr;
    if ((hr = ReadInts(set, tiff_tag::kStripByteCounts, kAsInteger, static_cast<uint32_t>(s), 1, &count)) < 0) return hr;
    const int64_t rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
    const int64_t need = rows * rowBytes;
    // A strip too short for its rows, or rows beyond the end of the file.
    if (count < need) return E_UNEXPECTED;
    if (static_cast<uint64_t>(offset) > fileBytes || static_cast<uint64_t>(need) > fileBytes - offset)
      return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT ReadStrips(const CParams& set, int32_t width, int32_t height, CWicStream* stream,
                   CTypedImg<unsigned short>* raw) {
  HRESULT hr = raw->Create(width, height, 1, 0);
  if (hr < 0) return hr;
  int64_t rowsPerStrip = 0;
  if ((hr = ReadInts(set, tiff_tag::kRowsPerStrip, kAsInteger, 0, 1, &rowsPerStrip)) != S_OK || rowsPerStrip <= 0)
    return E_KO_BADFORMAT;
  const uint32_t rowBytes = static_cast<uint32_t>(width) * 2;
  const bool contiguous = raw->stride == static_cast<int32_t>(rowBytes);
  uint32_t strip = 0;
  for (int64_t row = 0; row < height; row += rowsPerStrip, ++strip) {
    int64_t offset = 0, count = 0;
    if (ReadInts(set, tiff_tag::kStripOffsets, kAsInteger, strip, 1, &offset) != S_OK) return E_KO_BADFORMAT;
    if (ReadInts(set, tiff_tag::kStripByteCounts, kAsInteger, strip, 1, &count) != S_OK) return E_KO_BADFORMAT;
    const int32_t rows = static_cast<int32_t>(std::min<int64_t>(rowsPerStrip, height - row));
    if (count < static_cast<int64_t>(rows) * rowBytes) return E_UNEXPECTED;
    if ((hr = stream->Seek(offset, 0, nullptr)) < 0) return hr;
    uint32_t got = 0;
    if (contiguous) {
      const uint32_t n = static_cast<uint32_t>(rows) * rowBytes;
      hr = stream->Read(raw->Row(static_cast<int32_t>(row)), n, &got);
      if (hr < 0) return hr;
      if (got != n) return E_UNEXPECTED;
    } else {
      for (int32_t r = 0; r < rows; ++r) {
        hr = stream->Read(raw->Row(static_cast<int32_t>(row) + r), rowBytes, &got);
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

}  // namespace ko::dng
