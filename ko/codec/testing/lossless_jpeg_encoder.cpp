#include "ko/codec/testing/lossless_jpeg_encoder.h"

#include <algorithm>

namespace ko::test {
namespace {

int Category(int32_t d) {
  if (d == -32768) return 16;
  uint32_t a = static_cast<uint32_t>(d < 0 ? -d : d);
  int s = 0;
  for (; a; a >>= 1) ++s;
  return s;
}

// The differences in coding order, each in [-32768, 32767], with the predictions of the
// decoder: the middle value, then the left sample, on a scan's or restart interval's first
// line; the sample above at the start of the other lines.
std::vector<int32_t> Differences(const uint16_t* samples, const LosslessJpegOptions& o) {
  const int nc = o.components, pt = o.pointTransform;
  const size_t line = static_cast<size_t>(o.width) * nc;
  const int restartLines = o.restartInterval ? o.restartInterval / o.width : 0;
  std::vector<int32_t> out;
  out.reserve(line * o.height);
  auto at = [&](size_t i) { return static_cast<int32_t>(samples[i] >> pt); };
  for (int y = 0; y < o.height; ++y) {
    const bool first = y == 0 || (restartLines && y % restartLines == 0);
    const size_t row = static_cast<size_t>(y) * line;
    for (size_t i = 0; i < line; ++i) {
      int32_t p;
      if (i < static_cast<size_t>(nc)) {
        p = first ? 1 << (o.precision - pt - 1) : at(row - line + i);
      } else if (first) {
        p = at(row + i - nc);
      } else {
        const int32_t a = at(row + i - nc), b = at(row - line + i), c = at(row - line + i - nc);
        switch (o.predictor) {
          case 1: p = a; break;
          case 2: p = b; break;
          case 3: p = c; break;
          case 4: p = a + b - c; break;
          case 5: p = a + ((b - c) >> 1); break;
          case 6: p = b + ((a - c) >> 1); break;
          default: p = (a + b) >> 1; break;
        }
      }
      int32_t d = (at(row + i) - p) & 0xFFFF;
      if (d >= 32768) d -= 65536;
      out.push_back(d);
    }
  }
  return out;
}

// A Huffman table for the category frequencies, made as T.81 Annex K.2 makes it: one code
// point is reserved so that no code is all ones, and lengths beyond 16 are folded back.
struct Table {
  uint8_t counts[17] = {};
  std::vector<uint8_t> values;
  uint16_t code[17] = {};
  uint8_t length[17] = {};
};

Table MakeTable(const long frequencies[17]) {
  long freq[18];
  std::copy(frequencies, frequencies + 17, freq);
  freq[17] = 1;
  int size[18] = {}, others[18];
  std::fill(others, others + 18, -1);
  for (;;) {
    int v1 = -1, v2 = -1;
    for (int v = 0; v < 18; ++v)
      if (freq[v] > 0 && (v1 < 0 || freq[v] <= freq[v1])) v1 = v;
    for (int v = 0; v < 18; ++v)
      if (freq[v] > 0 && v != v1 && (v2 < 0 || freq[v] <= freq[v2])) v2 = v;
    if (v2 < 0) break;
    freq[v1] += freq[v2];
    freq[v2] = 0;
    for (++size[v1]; others[v1] >= 0; ++size[v1]) v1 = others[v1];
    others[v1] = v2;
    for (++size[v2]; others[v2] >= 0; ++size[v2]) v2 = others[v2];
  }
  int bits[40] = {};
  for (int v = 0; v < 18; ++v)
    if (size[v]) ++bits[size[v]];
  for (int i = 39; i > 16; --i)
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      ++bits[i - 1];
      bits[j + 1] += 2;
      --bits[j];
    }
  int last = 16;
  while (bits[last] == 0) --last;
  --bits[last];  // the reserved code point
  Table t;
  for (int i = 1; i <= 16; ++i) t.counts[i] = static_cast<uint8_t>(bits[i]);
  for (int s = 1; s < 40; ++s)
    for (int v = 0; v < 17; ++v)
      if (size[v] == s) t.values.push_back(static_cast<uint8_t>(v));
  uint16_t code = 0;
  size_t k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < t.counts[len]; ++i, ++k) {
      t.code[t.values[k]] = code++;
      t.length[t.values[k]] = static_cast<uint8_t>(len);
    }
    code = static_cast<uint16_t>(code << 1);
  }
  return t;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = (acc_ << 1) | ((value >> i) & 1);
      if (++n_ == 8) Emit();
    }
  }
  // Pads the last byte with 1 bits.
  void Flush() {
    while (n_) Put(1, 1);
  }

 private:
  void Emit() {
    out_->push_back(static_cast<uint8_t>(acc_));
    if (acc_ == 0xFF) out_->push_back(0);
    acc_ = 0;
    n_ = 0;
  }
  std::vector<uint8_t>* out_;
  uint32_t acc_ = 0;
  int n_ = 0;
};

void Put16(std::vector<uint8_t>* out, int v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

}  // namespace

std::vector<uint8_t> EncodeLosslessJpeg(const uint16_t* samples, const LosslessJpegOptions& o) {
  const int nc = o.components;
  const std::vector<int32_t> diffs = Differences(samples, o);
  long freq[4][17] = {};
  for (size_t i = 0; i < diffs.size(); ++i) ++freq[i % nc][Category(diffs[i])];
  std::vector<Table> tables;
  for (int c = 0; c < nc; ++c) tables.push_back(MakeTable(freq[c]));

  std::vector<uint8_t> out = {0xFF, 0xD8};
  auto writeTables = [&] {
    size_t bytes = 2;
    for (const Table& t : tables) bytes += 17 + t.values.size();
    out.insert(out.end(), {0xFF, 0xC4});
    Put16(&out, static_cast<int>(bytes));
    for (int c = 0; c < nc; ++c) {
      out.push_back(static_cast<uint8_t>(c));
      out.insert(out.end(), tables[c].counts + 1, tables[c].counts + 17);
      out.insert(out.end(), tables[c].values.begin(), tables[c].values.end());
    }
  };
  if (!o.tablesAfterFrame) writeTables();
  out.insert(out.end(), {0xFF, 0xC3});
  Put16(&out, 8 + 3 * nc);
  out.push_back(static_cast<uint8_t>(o.precision));
  Put16(&out, o.height);
  Put16(&out, o.width);
  out.push_back(static_cast<uint8_t>(nc));
  for (int c = 0; c < nc; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), 0x11, 0});
  if (o.tablesAfterFrame) writeTables();
  if (o.restartInterval) {
    out.insert(out.end(), {0xFF, 0xDD, 0, 4});
    Put16(&out, o.restartInterval);
  }
  out.insert(out.end(), {0xFF, 0xDA});
  Put16(&out, 6 + 2 * nc);
  out.push_back(static_cast<uint8_t>(nc));
  for (int c = 0; c < nc; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), static_cast<uint8_t>(c << 4)});
  out.insert(out.end(), {static_cast<uint8_t>(o.predictor), 0, static_cast<uint8_t>(o.pointTransform)});

  BitWriter bits(&out);
  const size_t perInterval = static_cast<size_t>(o.restartInterval) * nc;
  for (size_t i = 0; i < diffs.size(); ++i) {
    if (perInterval && i && i % perInterval == 0) {
      bits.Flush();
      out.insert(out.end(), {0xFF, static_cast<uint8_t>(0xD0 + ((i / perInterval - 1) & 7))});
    }
    const Table& t = tables[i % nc];
    const int32_t d = diffs[i];
    const int s = Category(d);
    bits.Put(t.code[s], t.length[s]);
    if (s > 0 && s < 16) bits.Put(static_cast<uint32_t>(d < 0 ? d + (1 << s) - 1 : d), s);
  }
  bits.Flush();
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace ko::test
