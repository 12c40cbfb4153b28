// Reader of DNG raw camera files: develops the mosaic into an sRGB colour image.
//
// Open reads the TIFF directories (through the imaging-component metadata layer, in the
// file's byte order) into property sets, finds the main raw image and checks everything
// about it that can be checked without its pixels; ReadInto decodes the CFA samples (see
// dng_raw_source.h for the storages read: strips or tiles, uncompressed 8 to 16 bits or
// lossless JPEG), maps them through the LinearizationTable, subtracts black levels,
// demosaics the Bayer mosaic, maps camera colour to sRGB with a Bradford white balance and
// encodes it with the sRGB curve.
//
// Refused, with words for the caller (ko/io/image_read_reason.h) where the code alone would
// not say what was met: the variants dng_raw_source.h lists and a colour filter array other
// than 2 x 2 (E_NOTIMPL); a LinearizationTable shorter than the stored values reach, missing
// RowsPerStrip, StripOffsets, StripByteCounts, TileWidth, TileLength, TileOffsets,
// TileByteCounts, ColorMatrix1 or AsShotNeutral, malformed geometry (active area or crop
// window outside the raw image), raw images of more than kDngMaxPixels pixels or larger than
// the file can hold, zero denominators (E_KO_BADFORMAT); strips or tiles beyond the file
// (E_UNEXPECTED) and corrupt lossless JPEG (E_FAIL). A file is developed completely or not
// at all.
//
// Its parts: dng_tags.h (tag numbers, reading tag values), dng_raw_source.h (the raw
// samples), dng_demosaic.h, dng_color_matrix.h and dng_metadata.h (TIFF directories
// into property sets).
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"
#include "ko/io/dng_raw_source.h"
#include "ko/io/image_limits.h"
#include "ko/platform/rect.h"
#include "ko/codec/wic_metadata.h"

namespace ko {

// The largest raw image (width x height) that is developed.
constexpr int64_t kDngMaxPixels = kMaxImagePixels;

// One TIFF directory that carries a NewSubFileType.
struct SDngDirectory {
  int32_t subfileType = 0;  // 0: the main image
  int32_t width = 0;
  int32_t height = 0;
  RECT activeArea = {0, 0, 0, 0};  // left, top, right, bottom
  RECT crop = {0, 0, 0, 0};        // x0, y0, x1, y1 (exclusive ends)
  const CParams* params = nullptr;  // owned by the reader's directory-0 set
};

class CDngImageReader {
 public:
  CDngImageReader() = default;
  ~CDngImageReader();
  CDngImageReader(const CDngImageReader&) = delete;
  CDngImageReader& operator=(const CDngImageReader&) = delete;

  HRESULT Open(const char16_t* name);
  // The same as Open, over a copy of bytes held in memory.
  HRESULT OpenMemory(const uint8_t* data, size_t size);
  // Develops (once; later calls reuse the demosaiced image) and converts into `image`,
  // which must have the crop size and one of the type words 0x10001, 0x10004, 0x60001,
  // 0x60004 with their band counts and element sizes.
  HRESULT ReadInto(CImg* image);
  // The main image's samples as the file stores them, decoded from its strips or tiles
  // (before linearization and black levels), into a new one-band image.
  HRESULT DecodeRawSamples(CTypedImg<unsigned short>* raw) const;

  int32_t DirectoryCount() const { return directoryCount_; }
  const SDngDirectory& Directory(int32_t i) const { return directories_[i]; }
  bool IsDeveloped() const { return developed_; }

  int32_t outputWidth = 0;
  int32_t outputHeight = 0;
  float exposure = 1.0f;

 private:
  HRESULT OpenStream(HRESULT (*init)(CWicStream*, const void*), const void* context);
  HRESULT AddDirectory(const CParams* params);
  const SDngDirectory* MainDirectory() const;
  HRESULT CheckMainDirectory(const SDngDirectory& main);
  HRESULT Develop();
  HRESULT ConvertInto(CImg* image) const;
  void Clear();

  SDngDirectory* directories_ = nullptr;  // KoNewArray
  int32_t directoryCount_ = 0;
  int32_t directoryCapacity_ = 0;
  dng::SRawLayout layout_;  // of the main image, read by Open
  bool bigEndian_ = false;
  CCompositeImg<RGBType<unsigned short>> demosaiced_;
  bool developed_ = false;
  // Metadata source.
  CWicComponentFactory* factory_ = nullptr;
  CWicStream* stream_ = nullptr;
  CParams directory0_;
};

}  // namespace ko
