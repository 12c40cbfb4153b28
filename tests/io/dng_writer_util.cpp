#include "io/dng_writer_util.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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
void Set32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes the directory's strips, its SubIFDs, its out-of-line values and then its table;
// returns the table's offset.
uint32_t WriteIfd(const TiffIfdSpec& ifd, std::vector<uint8_t>* out) {
  std::vector<TiffTagSpec> tags = ifd.tags;
  if (!ifd.strips.empty() && !ifd.Has(273)) {
    TiffTagSpec offsets{273, 4, static_cast<uint32_t>(ifd.strips.size()), {}};
    for (const auto& strip : ifd.strips) {
      Put32(&offsets.bytes, static_cast<uint32_t>(out->size()));
      out->insert(out->end(), strip.begin(), strip.end());
      if (out->size() & 1) out->push_back(0);
    }
    tags.push_back(offsets);
  }
  if (!ifd.strips.empty() && !ifd.Has(279)) {
    TiffTagSpec counts{279, 4, static_cast<uint32_t>(ifd.strips.size()), {}};
    for (const auto& strip : ifd.strips) Put32(&counts.bytes, static_cast<uint32_t>(strip.size()));
    tags.push_back(counts);
  }
  if (!ifd.subIfds.empty() && !ifd.Has(330)) {
    TiffTagSpec subs{330, 4, static_cast<uint32_t>(ifd.subIfds.size()), {}};
    for (const TiffIfdSpec& sub : ifd.subIfds) Put32(&subs.bytes, WriteIfd(sub, out));
    tags.push_back(subs);
  }
  for (uint16_t tag : ifd.omitted)
    tags.erase(std::remove_if(tags.begin(), tags.end(), [&](const TiffTagSpec& t) { return t.tag == tag; }), tags.end());
  std::stable_sort(tags.begin(), tags.end(), [](const TiffTagSpec& a, const TiffTagSpec& b) { return a.tag < b.tag; });
  std::vector<uint32_t> fields;
  for (const TiffTagSpec& t : tags) {
    if (t.bytes.size() <= 4) {
      uint32_t f = 0;
      for (size_t i = 0; i < t.bytes.size(); ++i) f |= static_cast<uint32_t>(t.bytes[i]) << (8 * i);
      fields.push_back(f);
    } else {
      fields.push_back(static_cast<uint32_t>(out->size()));
      out->insert(out->end(), t.bytes.begin(), t.bytes.end());
      if (out->size() & 1) out->push_back(0);
    }
  }
  const uint32_t at = static_cast<uint32_t>(out->size());
  Put16(out, static_cast<uint16_t>(tags.size()));
  for (size_t i = 0; i < tags.size(); ++i) {
    Put16(out, tags[i].tag);
    Put16(out, tags[i].type);
    Put32(out, tags[i].count);
    Put32(out, fields[i]);
  }
  Put32(out, 0);
  return at;
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

std::vector<uint8_t> WriteTiff(const TiffIfdSpec& ifd0) {
  std::vector<uint8_t> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  const uint32_t at = WriteIfd(ifd0, &out);
  Set32(&out, 4, at);
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
    : inSubIfd_(inSubIfd) {
  TiffIfdSpec raw;
  raw.Long(254, {0})
      .Long(256, {static_cast<uint32_t>(width)})
      .Long(257, {static_cast<uint32_t>(height)})
      .Short(258, {16})
      .Short(259, {1})
      .Short(262, {32803})
      .Short(277, {1})
      .Short(33421, {2, 2})
      .Byte(33422, {0, 1, 1, 2});
  const int rps = rowsPerStrip > 0 ? rowsPerStrip : height;
  raw.Long(278, {static_cast<uint32_t>(rps)});
  for (int y0 = 0; y0 < height; y0 += rps) {
    std::vector<uint8_t> strip;
    for (int y = y0; y < std::min(height, y0 + rps); ++y)
      for (int x = 0; x < width; ++x) Put16(&strip, samples[static_cast<size_t>(y) * width + x]);
    raw.strips.push_back(strip);
  }
  if (inSubIfd) {
    ifd0_.Long(254, {1}).Long(256, {2}).Long(257, {2}).Short(258, {8, 8, 8}).Short(259, {1}).Short(262, {2});
    ifd0_.Short(277, {3}).Long(278, {2});
    ifd0_.strips.push_back(std::vector<uint8_t>(12, 128));
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
