#include "ko/codec/testing/dng_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "ko/codec/testing/lossless_jpeg_encoder.h"

namespace ko::test {

namespace {

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}

// Numbers in the file's byte order.
class FileBytes {
 public:
  FileBytes(std::vector<uint8_t>* out, bool bigEndian) : out_(out), be_(bigEndian) {}
  void Put16(uint16_t v) { Put(v, 2); }
  void Put32(uint32_t v) { Put(v, 4); }
  std::vector<uint8_t> Word(uint32_t v) const {
    std::vector<uint8_t> w(4);
    for (int i = 0; i < 4; ++i) w[i] = static_cast<uint8_t>(v >> (8 * (be_ ? 3 - i : i)));
    return w;
  }
  void Set32(size_t at, uint32_t v) {
    const std::vector<uint8_t> w = Word(v);
    std::copy(w.begin(), w.end(), out_->begin() + static_cast<ptrdiff_t>(at));
  }
  // A tag's little-endian elements in the file's order.
  std::vector<uint8_t> Value(const TiffTagSpec& t) const {
    size_t unit = 1;
    switch (t.type) {
      case 3: case 8: unit = 2; break;
      case 4: case 5: case 9: case 10: case 11: case 13: unit = 4; break;  // rationals: each half
      case 12: unit = 8; break;
      default: break;
    }
    std::vector<uint8_t> v = t.bytes;
    if (be_)
      for (size_t i = 0; i + unit <= v.size(); i += unit) std::reverse(v.begin() + i, v.begin() + i + unit);
    return v;
  }
  std::vector<uint8_t>& out() { return *out_; }

 private:
  void Put(uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out_->push_back(static_cast<uint8_t>(v >> (8 * (be_ ? n - 1 - i : i))));
  }
  std::vector<uint8_t>* out_;
  bool be_;
};

// Writes the directory's pieces, its SubIFDs, its out-of-line values and then its table;
// returns the table's offset.
uint32_t WriteIfd(const TiffIfdSpec& ifd, FileBytes& file) {
  std::vector<uint8_t>* out = &file.out();
  std::vector<TiffTagSpec> tags = ifd.tags;
  const uint16_t offsetsTag = ifd.tiled ? 324 : 273, countsTag = ifd.tiled ? 325 : 279;
  if (!ifd.pieces.empty() && !ifd.Has(offsetsTag)) {
    TiffTagSpec offsets{offsetsTag, 4, static_cast<uint32_t>(ifd.pieces.size()), {}};
    for (const auto& piece : ifd.pieces) {
      Put32(&offsets.bytes, static_cast<uint32_t>(out->size()));
      out->insert(out->end(), piece.begin(), piece.end());
      if (out->size() & 1) out->push_back(0);
    }
    tags.push_back(offsets);
  }
  if (!ifd.pieces.empty() && !ifd.Has(countsTag)) {
    TiffTagSpec counts{countsTag, 4, static_cast<uint32_t>(ifd.pieces.size()), {}};
    for (const auto& piece : ifd.pieces) Put32(&counts.bytes, static_cast<uint32_t>(piece.size()));
    tags.push_back(counts);
  }
  if (!ifd.subIfds.empty() && !ifd.Has(330)) {
    TiffTagSpec subs{330, 4, static_cast<uint32_t>(ifd.subIfds.size()), {}};
    for (const TiffIfdSpec& sub : ifd.subIfds) Put32(&subs.bytes, WriteIfd(sub, file));
    tags.push_back(subs);
  }
  for (uint16_t tag : ifd.omitted)
    tags.erase(std::remove_if(tags.begin(), tags.end(), [&](const TiffTagSpec& t) { return t.tag == tag; }), tags.end());
  std::stable_sort(tags.begin(), tags.end(), [](const TiffTagSpec& a, const TiffTagSpec& b) { return a.tag < b.tag; });
  std::vector<std::vector<uint8_t>> fields;  // the 4-byte value fields, as stored
  for (const TiffTagSpec& t : tags) {
    std::vector<uint8_t> value = file.Value(t);
    if (value.size() <= 4) {
      value.resize(4, 0);
      fields.push_back(value);
    } else {
      const size_t at = out->size();
      out->insert(out->end(), value.begin(), value.end());
      if (out->size() & 1) out->push_back(0);
      fields.push_back(file.Word(static_cast<uint32_t>(at)));
    }
  }
  const uint32_t at = static_cast<uint32_t>(out->size());
  file.Put16(static_cast<uint16_t>(tags.size()));
  for (size_t i = 0; i < tags.size(); ++i) {
    file.Put16(tags[i].tag);
    file.Put16(tags[i].type);
    file.Put32(tags[i].count);
    out->insert(out->end(), fields[i].begin(), fields[i].end());
  }
  file.Put32(0);
  return at;
}

// The samples of one strip or tile (width x rows, `at` giving each), stored as `s` says.
std::vector<uint8_t> StorePiece(const std::vector<uint16_t>& v, int width, int rows, const DngStorage& s) {
  if (s.losslessJpeg) {
    LosslessJpegOptions o;
    o.width = width;
    o.height = rows;
    if (s.shape == DngStorage::kHalfWidthTwoComponents) {
      o.width = width / 2;
      o.components = 2;
    } else if (s.shape == DngStorage::kDoubleWidthHalfHeight) {
      o.width = width * 2;
      o.height = rows / 2;
    }
    o.precision = s.bits;
    o.predictor = s.predictor;
    o.restartInterval = s.restartLines * o.width;
    o.tablesAfterFrame = s.tablesAfterFrame;
    return EncodeLosslessJpeg(v.data(), o);
  }
  std::vector<uint8_t> out;
  for (int y = 0; y < rows; ++y) {
    uint32_t acc = 0;
    int have = 0;
    for (int x = 0; x < width; ++x) {
      const uint16_t value = v[static_cast<size_t>(y) * width + x];
      if (s.bits == 16) {
        out.push_back(static_cast<uint8_t>(s.bigEndian ? value >> 8 : value));
        out.push_back(static_cast<uint8_t>(s.bigEndian ? value : value >> 8));
        continue;
      }
      acc = (acc << s.bits) | value;
      for (have += s.bits; have >= 8; have -= 8) out.push_back(static_cast<uint8_t>(acc >> (have - 8)));
    }
    if (have) out.push_back(static_cast<uint8_t>(acc << (8 - have)));
  }
  return out;
}

}  // namespace

TiffIfdSpec& TiffIfdSpec::Raw(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
  Remove(tag);
  tags.push_back({tag, type, count, std::move(bytes)});
  return *this;
}
TiffIfdSpec& TiffIfdSpec::Byte(uint16_t tag, std::vector<uint8_t> v) {
  const uint32_t n = static_cast<uint32_t>(v.size());
  return Raw(tag, 1, n, std::move(v));
}
TiffIfdSpec& TiffIfdSpec::Short(uint16_t tag, std::vector<uint16_t> v) {
  std::vector<uint8_t> b;
  for (uint16_t x : v) Put16(&b, x);
  return Raw(tag, 3, static_cast<uint32_t>(v.size()), b);
}
TiffIfdSpec& TiffIfdSpec::Long(uint16_t tag, std::vector<uint32_t> v) {
  std::vector<uint8_t> b;
  for (uint32_t x : v) Put32(&b, x);
  return Raw(tag, 4, static_cast<uint32_t>(v.size()), b);
}
TiffIfdSpec& TiffIfdSpec::Rational(uint16_t tag, std::vector<uint32_t> pairs) {
  std::vector<uint8_t> b;
  for (uint32_t x : pairs) Put32(&b, x);
  return Raw(tag, 5, static_cast<uint32_t>(pairs.size() / 2), b);
}
TiffIfdSpec& TiffIfdSpec::SRational(uint16_t tag, std::vector<int32_t> pairs) {
  std::vector<uint8_t> b;
  for (int32_t x : pairs) Put32(&b, static_cast<uint32_t>(x));
  return Raw(tag, 10, static_cast<uint32_t>(pairs.size() / 2), b);
}
TiffIfdSpec& TiffIfdSpec::Remove(uint16_t tag) {
  tags.erase(std::remove_if(tags.begin(), tags.end(), [&](const TiffTagSpec& t) { return t.tag == tag; }), tags.end());
  return *this;
}
bool TiffIfdSpec::Has(uint16_t tag) const {
  return std::any_of(tags.begin(), tags.end(), [&](const TiffTagSpec& t) { return t.tag == tag; });
}

std::vector<uint8_t> WriteTiff(const TiffIfdSpec& ifd0, bool bigEndian) {
  std::vector<uint8_t> out;
  FileBytes file(&out, bigEndian);
  out.push_back(bigEndian ? 'M' : 'I');
  out.push_back(bigEndian ? 'M' : 'I');
  file.Put16(42);
  file.Put32(0);
  file.Set32(4, WriteIfd(ifd0, file));
  return out;
}

std::vector<int32_t> SRationals(const std::vector<double>& values, int32_t den) {
  std::vector<int32_t> pairs;
  for (double v : values) {
    pairs.push_back(static_cast<int32_t>(std::lround(v * den)));
    pairs.push_back(den);
  }
  return pairs;
}

DngBuilder::DngBuilder(int width, int height, const std::vector<uint16_t>& samples, bool inSubIfd, int rowsPerStrip)
    : DngBuilder(width, height, samples, [&] {
        DngStorage s;
        s.rowsPerStrip = rowsPerStrip;
        return s;
      }(), inSubIfd) {}

DngBuilder::DngBuilder(int width, int height, const std::vector<uint16_t>& samples, const DngStorage& storage,
                       bool inSubIfd)
    : inSubIfd_(inSubIfd), bigEndian_(storage.bigEndian) {
  TiffIfdSpec raw;
  raw.Long(254, {0})
      .Long(256, {static_cast<uint32_t>(width)})
      .Long(257, {static_cast<uint32_t>(height)})
      .Short(258, {static_cast<uint16_t>(storage.bits)})
      .Short(259, {static_cast<uint16_t>(storage.losslessJpeg ? 7 : 1)})
      .Short(262, {32803})
      .Short(277, {1})
      .Short(33421, {2, 2})
      .Byte(33422, {0, 1, 1, 2});
  if (!storage.linearization.empty()) raw.Short(50712, storage.linearization);
  const bool tiled = storage.tileWidth > 0 && storage.tileLength > 0;
  const int pieceWidth = tiled ? storage.tileWidth : width;
  const int pieceLength = tiled ? storage.tileLength : (storage.rowsPerStrip > 0 ? storage.rowsPerStrip : height);
  raw.tiled = tiled;
  if (tiled) raw.Long(322, {static_cast<uint32_t>(pieceWidth)}).Long(323, {static_cast<uint32_t>(pieceLength)});
  else raw.Long(278, {static_cast<uint32_t>(pieceLength)});
  // Tiles reach past the image: what they hold there is not the image's.
  const uint32_t mask = (1u << storage.bits) - 1;
  for (int y0 = 0; y0 < height; y0 += pieceLength)
    for (int x0 = 0; x0 < width; x0 += pieceWidth) {
      const int rows = tiled ? pieceLength : std::min(pieceLength, height - y0);
      std::vector<uint16_t> v;
      for (int y = y0; y < y0 + rows; ++y)
        for (int x = x0; x < x0 + pieceWidth; ++x)
          v.push_back(static_cast<uint16_t>(x < width && y < height ? samples[static_cast<size_t>(y) * width + x]
                                                                    : (x * 7 + y * 13) & mask));
      raw.pieces.push_back(StorePiece(v, pieceWidth, rows, storage));
    }
  if (inSubIfd) {
    ifd0_.Long(254, {1}).Long(256, {2}).Long(257, {2}).Short(258, {8, 8, 8}).Short(259, {1}).Short(262, {2});
    ifd0_.Short(277, {3}).Long(278, {2});
    ifd0_.pieces.push_back(std::vector<uint8_t>(12, 128));
    ifd0_.subIfds.push_back(raw);
  } else {
    ifd0_ = raw;
  }
  ifd0_.Byte(50706, {1, 4, 0, 0});
  ifd0_.SRational(50721, {1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1});
  ifd0_.Rational(50728, {1, 1, 1, 1, 1, 1});
}

std::string WriteTempFile(const std::vector<uint8_t>& bytes, const char* suffix) {
  std::string name = std::string("/tmp/brevant_dng_XXXXXX") + suffix;
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back(0);
  const int fd = mkstemps(buffer.data(), static_cast<int>(std::char_traits<char>::length(suffix)));
  if (fd < 0) return {};
  const ssize_t written = write(fd, bytes.data(), bytes.size());
  close(fd);
  if (written != static_cast<ssize_t>(bytes.size())) return {};
  return buffer.data();
}

}  // namespace ko::test
