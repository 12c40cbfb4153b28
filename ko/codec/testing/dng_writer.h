// A TIFF writer for building DNG files in tests, benchmarks and fuzz seeds: directories of
// tags, SubIFDs and the raw samples in strips or tiles, laid out the way real files are
// (data, then tables), in either byte order. The raw samples can be stored as the readers
// meet them: uncompressed at 8 to 16 bits, packed most significant bit first, or lossless
// JPEG (one frame per strip or tile, in the shapes DNG writers use), with or without a
// LinearizationTable.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ko::test {

struct TiffTagSpec {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::vector<uint8_t> bytes;  // little-endian values, count x size of type
};

struct TiffIfdSpec {
  std::vector<TiffTagSpec> tags;
  std::vector<TiffIfdSpec> subIfds;          // written as tag 330
  std::vector<std::vector<uint8_t>> pieces;  // strips (273, 279) or tiles (324, 325) unless those are set
  bool tiled = false;
  std::vector<uint16_t> omitted;             // tags left out of the file, generated ones included

  TiffIfdSpec& Byte(uint16_t tag, std::vector<uint8_t> v);
  TiffIfdSpec& Short(uint16_t tag, std::vector<uint16_t> v);
  TiffIfdSpec& Long(uint16_t tag, std::vector<uint32_t> v);
  // Pairs numerator, denominator.
  TiffIfdSpec& Rational(uint16_t tag, std::vector<uint32_t> pairs);
  TiffIfdSpec& SRational(uint16_t tag, std::vector<int32_t> pairs);
  TiffIfdSpec& Raw(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes);
  TiffIfdSpec& Remove(uint16_t tag);
  TiffIfdSpec& Omit(uint16_t tag) {
    omitted.push_back(tag);
    return *this;
  }
  bool Has(uint16_t tag) const;
};

// The file; with `bigEndian` an MM file, every value in that order (the pieces' bytes are
// written as given).
std::vector<uint8_t> WriteTiff(const TiffIfdSpec& ifd0, bool bigEndian = false);

// How a DngBuilder stores the raw samples.
struct DngStorage {
  int bits = 16;             // 8 to 16, packed most significant bit first; 16 in the file's order
  bool bigEndian = false;
  int rowsPerStrip = 0;      // 0: one strip
  int tileWidth = 0;         // tiles instead of strips when set; edge tiles are padded
  int tileLength = 0;
  bool losslessJpeg = false;  // Compression 7, one frame per strip or tile
  int predictor = 1;
  enum Shape { kSameShape, kHalfWidthTwoComponents, kDoubleWidthHalfHeight } shape = kSameShape;
  int restartLines = 0;      // a restart interval of this many frame lines; 0: none
  bool tablesAfterFrame = false;
  std::vector<uint16_t> linearization;  // LinearizationTable when not empty
};

// A DNG with a CFA raw image of width x height samples (row-major), RGGB unless changed. With
// `inSubIfd` the raw image sits in a SubIFD behind a small RGB thumbnail in IFD 0, as cameras
// write it; otherwise it is IFD 0 itself. IFD 0 carries ColorMatrix1 (identity) and
// AsShotNeutral (1, 1, 1); change them through Ifd0().
class DngBuilder {
 public:
  // Uncompressed 16-bit samples in strips of `rowsPerStrip` rows (0: one strip).
  DngBuilder(int width, int height, const std::vector<uint16_t>& samples, bool inSubIfd = true,
             int rowsPerStrip = 0);
  DngBuilder(int width, int height, const std::vector<uint16_t>& samples, const DngStorage& storage,
             bool inSubIfd = true);
  TiffIfdSpec& Ifd0() { return ifd0_; }
  TiffIfdSpec& RawIfd() { return inSubIfd_ ? ifd0_.subIfds[0] : ifd0_; }
  std::vector<uint8_t> Bytes() const { return WriteTiff(ifd0_, bigEndian_); }

 private:
  TiffIfdSpec ifd0_;
  bool inSubIfd_;
  bool bigEndian_ = false;
};

// Rationals of the values with denominator `den`, rounded.
std::vector<int32_t> SRationals(const std::vector<double>& values, int32_t den = 1000000);

// Writes bytes to a new temporary file and returns its name.
std::string WriteTempFile(const std::vector<uint8_t>& bytes, const char* suffix);

}  // namespace ko::test
