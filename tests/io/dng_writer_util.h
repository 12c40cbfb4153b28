// A little-endian TIFF writer for building DNG files inside tests: directories of tags,
// SubIFDs and uncompressed strips, laid out the way real files are (data, then tables).
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
  std::vector<std::vector<uint8_t>> strips;  // written as tags 273 and 279 unless those are set
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

std::vector<uint8_t> WriteTiff(const TiffIfdSpec& ifd0);

// A DNG with a 16-bit CFA raw image of width x height samples (row-major), RGGB unless
// `cfa` says otherwise, split into strips of `rowsPerStrip` rows. With `inSubIfd` the raw
// image sits in a SubIFD behind a small RGB thumbnail in IFD 0, as cameras write it;
// otherwise it is IFD 0 itself. IFD 0 carries ColorMatrix1 (identity) and AsShotNeutral
// (1, 1, 1); change them through Ifd0().
class DngBuilder {
 public:
  DngBuilder(int width, int height, const std::vector<uint16_t>& samples, bool inSubIfd = true,
             int rowsPerStrip = 0);
  TiffIfdSpec& Ifd0() { return ifd0_; }
  TiffIfdSpec& RawIfd() { return inSubIfd_ ? ifd0_.subIfds[0] : ifd0_; }
  std::vector<uint8_t> Bytes() const { return WriteTiff(ifd0_); }

 private:
  TiffIfdSpec ifd0_;
  bool inSubIfd_;
};

// Rationals of the values with denominator `den`, rounded.
std::vector<int32_t> SRationals(const std::vector<double>& values, int32_t den = 1000000);

// Writes bytes to a new temporary file and returns its name.
std::string WriteTempFile(const std::vector<uint8_t>& bytes, const char* suffix);

}  // namespace ko::test
