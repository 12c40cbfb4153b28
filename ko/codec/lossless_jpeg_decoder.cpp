#include "ko/codec/lossless_jpeg_decoder.h"

#include <cstring>
#include <new>

#include "ko/platform/ko_buffer.h"

namespace ko {
namespace {

// Codes of up to this many bits, with their difference bits when those fit too, are
// decoded by one table lookup; longer ones walk the canonical code lengths.
constexpr int kLookupBits = 11;

constexpr uint8_t kSof3 = 0xC3, kDht = 0xC4, kJpg = 0xC8, kDac = 0xCC, kRst0 = 0xD0, kRst7 = 0xD7, kSoi = 0xD8,
                  kEoi = 0xD9, kSos = 0xDA, kDri = 0xDD, kTem = 0x01;

// What went wrong, as the result and the words for it.
struct Problem {
  HRESULT hr;
  const char* words;
};
constexpr Problem kOk = {S_OK, ""};
constexpr Problem Corrupt(const char* words) { return {E_FAIL, words}; }
constexpr Problem Unsupported(const char* words) { return {E_NOTIMPL, words}; }
constexpr const char* kEndsEarly = "data that ends early";

// One Huffman table of difference categories (0 to 16).
struct HuffmanTable {
  // A lookup by the next kLookupBits bits. `bits` 0: the code is longer (or does not
  // exist). `extra` 0: `bits` covers the code and its difference bits and `diff` is the
  // difference; otherwise `bits` is the code's length and `extra` its category.
  struct Entry {
    uint8_t bits;
    uint8_t extra;
    int16_t diff;
  };
  Entry lookup[1 << kLookupBits];
  int32_t maxCode[17];      // the largest code of each length; -1 for none
  int32_t valueOffset[17];  // index of a code's value = valueOffset[length] + code
  uint8_t values[256];
};

// The difference that `category` and its `category` bits `v` code (T.81 Table H.2).
inline int32_t Difference(uint32_t category, uint32_t v) {
  if (category == 0) return 0;
  if (category == 16) return 32768;
  return v < (1u << (category - 1)) ? static_cast<int32_t>(v) - static_cast<int32_t>((1u << category) - 1)
                                    : static_cast<int32_t>(v);
}

// Builds the table from the code length counts; false when the codes overflow their lengths.
bool BuildTable(const uint8_t counts[17], const uint8_t* values, uint32_t total, HuffmanTable* t) {
  uint16_t codes[256];
  uint8_t lengths[256];
  int32_t code = 0;
  uint32_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    t->valueOffset[length] = static_cast<int32_t>(k) - code;
    for (uint32_t i = 0; i < counts[length]; ++i) {
      codes[k] = static_cast<uint16_t>(code++);
      lengths[k++] = static_cast<uint8_t>(length);
    }
    t->maxCode[length] = counts[length] ? code - 1 : -1;
    if (code > (1 << length)) return false;
    code <<= 1;
  }
  std::memcpy(t->values, values, total);
  std::memset(t->lookup, 0, sizeof t->lookup);
  for (uint32_t s = 0; s < total; ++s) {
    const int length = lengths[s];
    if (length > kLookupBits) continue;
    const uint32_t category = values[s];
    const int free = kLookupBits - length;
    const uint32_t first = static_cast<uint32_t>(codes[s]) << free;
    for (uint32_t f = 0; f < (1u << free); ++f) {
      HuffmanTable::Entry& e = t->lookup[first | f];
      if (category == 0 || category == 16 || length + static_cast<int>(category) <= kLookupBits) {
        const uint32_t v = (category == 0 || category == 16) ? 0 : (f >> (free - category)) & ((1u << category) - 1);
        e.bits = static_cast<uint8_t>(length + ((category == 0 || category == 16) ? 0 : category));
        e.extra = 0;
        e.diff = static_cast<int16_t>(static_cast<uint16_t>(Difference(category, v)));
      } else {
        e.bits = static_cast<uint8_t>(length);
        e.extra = static_cast<uint8_t>(category);
        e.diff = 0;
      }
    }
  }
  return true;
}

// Everything up to the entropy-coded data.
struct Headers {
  LosslessJpegFrame frame;
  uint8_t componentIds[4] = {};
  bool defined[4] = {};
  HuffmanTable tables[4];
  uint8_t tableOf[4] = {};  // the table of each component in the scan
  const uint8_t* entropy = nullptr;
  const uint8_t* end = nullptr;
};

// A bounded reader: nothing is fetched without checking what remains.
class ByteReader {
 public:
  ByteReader(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* Position() const { return p_; }
  bool U8(uint8_t* v) {
    if (p_ == end_) return false;
    *v = *p_++;
    return true;
  }
  bool U16(uint16_t* v) {
    if (Left() < 2) return false;
    *v = static_cast<uint16_t>((p_[0] << 8) | p_[1]);
    p_ += 2;
    return true;
  }
  bool Skip(size_t n) {
    if (Left() < n) return false;
    p_ += n;
    return true;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

Problem ReadHuffmanTables(ByteReader seg, Headers* h) {
  while (seg.Left()) {
    uint8_t classAndId = 0;
    uint8_t counts[17] = {};
    seg.U8(&classAndId);
    uint32_t total = 0;
    for (int i = 1; i <= 16; ++i) {
      if (!seg.U8(&counts[i])) return Corrupt("a malformed Huffman table");
      total += counts[i];
    }
    const uint8_t* values = seg.Position();
    if (total > 256 || !seg.Skip(total)) return Corrupt("a malformed Huffman table");
    const uint32_t tableClass = classAndId >> 4, id = classAndId & 15;
    if (tableClass > 1 || id > 3) return Corrupt("a malformed Huffman table");
    if (tableClass == 1) continue;  // an AC table: lossless coding has no use for it
    for (uint32_t i = 0; i < total; ++i)
      if (values[i] > 16) return Corrupt("a Huffman table with a difference category beyond 16");
    if (!BuildTable(counts, values, total, &h->tables[id])) return Corrupt("a Huffman table whose codes overflow");
    h->defined[id] = true;
  }
  return kOk;
}

Problem ReadFrameHeader(ByteReader seg, Headers* h) {
  uint8_t precision = 0, count = 0;
  uint16_t height = 0, width = 0;
  if (!seg.U8(&precision) || !seg.U16(&height) || !seg.U16(&width) || !seg.U8(&count) ||
      seg.Left() != 3u * count)
    return Corrupt("a malformed frame header");
  if (precision < 2 || precision > 16) return Corrupt("a sample precision outside 2 to 16 bits");
  if (width == 0 || count == 0) return Corrupt("a frame without samples");
  if (height == 0) return Unsupported("a lossless JPEG whose height follows its scan");
  if (count > 4) return Unsupported("a lossless JPEG of more than four components");
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t id = 0, sampling = 0, quantization = 0;
    seg.U8(&id);
    seg.U8(&sampling);
    seg.U8(&quantization);
    for (uint32_t j = 0; j < i; ++j)
      if (h->componentIds[j] == id) return Corrupt("two components of one identifier");
    if (sampling != 0x11) return Unsupported("a lossless JPEG with subsampled components");
    h->componentIds[i] = id;
  }
  h->frame.precision = precision;
  h->frame.height = height;
  h->frame.width = width;
  h->frame.components = count;
  return kOk;
}

Problem ReadScanHeader(ByteReader seg, Headers* h) {
  uint8_t count = 0;
  if (!seg.U8(&count) || seg.Left() != 2u * count + 3) return Corrupt("a malformed scan header");
  if (count != h->frame.components) return Unsupported("a lossless JPEG in several scans");
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t id = 0, tables = 0;
    seg.U8(&id);
    seg.U8(&tables);
    // One scan of every component: they come in the frame's order.
    if (id != h->componentIds[i]) return Corrupt("a scan whose components are not the frame's");
    const uint8_t table = tables >> 4;
    if (table > 3 || !h->defined[table]) return Corrupt("a Huffman table that is not defined");
    h->tableOf[i] = table;
  }
  uint8_t predictor = 0, end = 0, approximation = 0;
  seg.U8(&predictor);
  seg.U8(&end);  // unused in lossless coding
  seg.U8(&approximation);
  if (predictor < 1 || predictor > 7) return Corrupt("a predictor outside 1 to 7");
  const int pointTransform = approximation & 15;
  if (pointTransform >= h->frame.precision) return Corrupt("a point transform beyond the sample precision");
  h->frame.predictor = predictor;
  h->frame.pointTransform = pointTransform;
  return kOk;
}

// Reads the segments from the start-of-image marker to the end of the scan header.
Problem ReadHeaders(const uint8_t* data, size_t size, Headers* h) {
  ByteReader r(data, size);
  uint8_t a = 0, b = 0;
  if (!r.U8(&a) || !r.U8(&b) || a != 0xFF || b != kSoi) return Corrupt("a JPEG stream without its start marker");
  bool haveFrame = false;
  for (;;) {
    uint8_t code = 0;
    if (!r.U8(&code)) return Corrupt(kEndsEarly);
    if (code != 0xFF) return Corrupt("bytes where a JPEG marker should be");
    do {  // any number of fill bytes may come before a marker
      if (!r.U8(&code)) return Corrupt(kEndsEarly);
    } while (code == 0xFF);
    if (code == kTem) continue;
    if (code == 0 || (code >= kRst0 && code <= kRst7) || code == kSoi) return Corrupt("a JPEG marker out of place");
    if (code == kEoi) return Corrupt("a JPEG stream without a scan");
    uint16_t length = 0;
    if (!r.U16(&length)) return Corrupt(kEndsEarly);
    if (length < 2) return Corrupt("a JPEG segment of impossible length");
    if (r.Left() < length - 2u) return Corrupt(kEndsEarly);
    const ByteReader segment(r.Position(), length - 2u);
    r.Skip(length - 2u);
    Problem p = kOk;
    if (code == kSof3) {
      if (haveFrame) return Corrupt("a second frame header");
      p = ReadFrameHeader(segment, h);
      haveFrame = true;
    } else if (code >= 0xC0 && code <= 0xCF && code != kDht && code != kJpg && code != kDac) {
      return Unsupported("a JPEG frame other than lossless Huffman coding");
    } else if (code == kDht) {
      p = ReadHuffmanTables(segment, h);
    } else if (code == kDri) {
      ByteReader s = segment;
      uint16_t interval = 0;
      if (s.Left() != 2 || !s.U16(&interval)) return Corrupt("a malformed restart interval");
      h->frame.restartInterval = interval;
    } else if (code == kSos) {
      if (!haveFrame) return Corrupt("a scan before the frame header");
      p = ReadScanHeader(segment, h);
      if (p.hr < 0) return p;
      h->entropy = r.Position();
      h->end = data + size;
      return kOk;
    }
    if (p.hr < 0) return p;
  }
}

// The entropy-coded bits, most significant first, with stuffed zero bytes removed. Past a
// marker or the end of the data the reader supplies zero bits and counts them, so that a
// decode that used any of them is known to have run out of data.
class BitReader {
 public:
  BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  // At least 32 bits in the accumulator.
  inline void Fill() {
    if (bits_ >= 32) return;
    if (end_ - p_ >= 8 && !atMarker_) {
      uint64_t w = 0;
      for (int i = 0; i < 8; ++i) w = (w << 8) | p_[i];
      // No 0xFF among the eight bytes: no stuffing and no marker, so whole bytes go in.
      const uint64_t inverted = ~w;
      if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
        const int n = (63 - bits_) >> 3;
        acc_ |= (w >> bits_) & (~0ull << (64 - bits_ - 8 * n));
        bits_ += 8 * n;
        p_ += n;
        return;
      }
    }
    FillSlowly();
  }

  // Fills byte by byte up to 57 bits or more, stopping at a marker.
  void FillSlowly() {
    while (bits_ <= 56) {
      uint64_t byte = 0;
      if (atMarker_ || p_ == end_) {
        padding_ += 8;
      } else if (*p_ != 0xFF) {
        byte = *p_++;
      } else if (end_ - p_ >= 2 && p_[1] == 0) {
        byte = 0xFF;
        p_ += 2;
      } else {
        atMarker_ = true;  // stays on the marker's first byte
        padding_ += 8;
      }
      acc_ |= byte << (56 - bits_);
      bits_ += 8;
    }
  }

  uint64_t Bits() const { return acc_; }
  inline void Consume(int n) {
    acc_ <<= n;
    bits_ -= n;
  }
  // True when a decode used bits the data did not have.
  bool Overrun() const { return bits_ < padding_; }

  // At the end of a restart interval: the rest of the byte is padding and marker RSTn
  // follows, n = `index` mod 8. False when it does not.
  bool Restart(uint32_t index) {
    FillSlowly();
    if (!atMarker_ || Overrun() || bits_ - padding_ >= 8) return false;
    const uint8_t* p = p_ + 1;  // p_ is on 0xFF, and a byte follows it (else no marker)
    while (p < end_ && *p == 0xFF) ++p;
    if (p == end_ || *p != kRst0 + (index & 7)) return false;
    p_ = p + 1;
    acc_ = 0;
    bits_ = padding_ = 0;
    atMarker_ = false;
    return true;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t acc_ = 0;  // the next bit is the most significant
  int bits_ = 0;
  int padding_ = 0;
  bool atMarker_ = false;
};

// Decodes one difference; false for a code the table does not define.
inline __attribute__((always_inline)) bool DecodeDifference(BitReader& in, const HuffmanTable& t, int32_t* diff) {
  in.Fill();
  const uint64_t bits = in.Bits();
  const HuffmanTable::Entry e = t.lookup[bits >> (64 - kLookupBits)];
  if (e.bits && !e.extra) {
    in.Consume(e.bits);
    *diff = e.diff;
    return true;
  }
  uint32_t category;
  int length;
  if (e.bits) {
    length = e.bits;
    category = e.extra;
  } else {
    const uint32_t top = static_cast<uint32_t>(bits >> 48);
    for (length = kLookupBits + 1; length <= 16; ++length) {
      const int32_t code = static_cast<int32_t>(top >> (16 - length));
      if (code <= t.maxCode[length]) break;
    }
    if (length > 16) return false;
    category = t.values[t.valueOffset[length] + static_cast<int32_t>(top >> (16 - length))];
  }
  in.Consume(length);
  // At most 16 code bits went from at least 32: the 15 difference bits are there.
  uint32_t v = 0;
  if (category != 0 && category != 16) {
    v = static_cast<uint32_t>(in.Bits() >> (64 - category));
    in.Consume(static_cast<int>(category));
  }
  *diff = Difference(category, v);
  return true;
}

// The prediction of T.81 Table H.1 from the sample to the left (a), above (b) and above
// left (c).
template <int kPredictor>
inline int32_t Predict(int32_t a, int32_t b, int32_t c) {
  switch (kPredictor) {
    case 1: return a;
    case 2: return b;
    case 3: return c;
    case 4: return a + b - c;
    case 5: return a + ((b - c) >> 1);
    case 6: return b + ((a - c) >> 1);
    default: return (a + b) >> 1;
  }
}

// Decodes one line of width x components samples into `line`; `above` is the line before,
// unless this is the first line of the scan or of a restart interval (`first`). False for a
// code that does not exist. The reader is worked on as a local copy, so that its state
// stays in registers.
template <int kPredictor>
bool DecodeLine(BitReader* reader, const Headers& h, bool first, const uint16_t* above, uint16_t* line,
                uint32_t* seen) {
  BitReader in = *reader;
  const int nc = h.frame.components;
  const size_t n = static_cast<size_t>(h.frame.width) * static_cast<size_t>(nc);
  const HuffmanTable* tables[4];
  for (int c = 0; c < nc; ++c) tables[c] = &h.tables[h.tableOf[c]];
  uint32_t all = 0;
  int32_t diff = 0;
  bool ok = true;
  // The first column: the line above, or the middle of the range on a first line.
  const int32_t middle = 1 << (h.frame.precision - h.frame.pointTransform - 1);
  for (int c = 0; c < nc && ok; ++c) {
    ok = DecodeDifference(in, *tables[c], &diff);
    const uint32_t v = static_cast<uint32_t>((first ? middle : above[c]) + diff) & 0xFFFF;
    line[c] = static_cast<uint16_t>(v);
    all |= v;
  }
  for (size_t i = static_cast<size_t>(nc); i < n && ok; i += static_cast<size_t>(nc)) {
    for (int c = 0; c < nc; ++c) {
      if (!DecodeDifference(in, *tables[c], &diff)) {
        ok = false;
        break;
      }
      const size_t k = i + static_cast<size_t>(c);
      const int32_t left = line[k - static_cast<size_t>(nc)];
      const int32_t p = first ? left : Predict<kPredictor>(left, above[k], above[k - static_cast<size_t>(nc)]);
      const uint32_t v = static_cast<uint32_t>(p + diff) & 0xFFFF;
      line[k] = static_cast<uint16_t>(v);
      all |= v;
    }
  }
  *seen |= all;
  *reader = in;
  return ok;
}

using LineDecoder = bool (*)(BitReader*, const Headers&, bool, const uint16_t*, uint16_t*, uint32_t*);

Problem DecodeScan(const Headers& h, const LosslessJpegOutput& out) {
  static constexpr LineDecoder kDecoders[7] = {DecodeLine<1>, DecodeLine<2>, DecodeLine<3>, DecodeLine<4>,
                                               DecodeLine<5>, DecodeLine<6>, DecodeLine<7>};
  const LineDecoder decode = kDecoders[h.frame.predictor - 1];
  const size_t width = static_cast<size_t>(h.frame.width);
  const size_t lineSamples = width * static_cast<size_t>(h.frame.components);
  // Restart intervals of whole lines keep each interval's first line a first line.
  uint32_t restartLines = 0;
  if (h.frame.restartInterval) {
    if (h.frame.restartInterval % h.frame.width) return Unsupported("restart intervals that end inside a line");
    restartLines = static_cast<uint32_t>(h.frame.restartInterval / h.frame.width);
  }
  CKoBuffer<uint16_t> lines(2 * lineSamples);
  if (!lines) return {E_OUTOFMEMORY, "not enough memory"};
  uint16_t* above = lines.get();
  uint16_t* line = above + lineSamples;
  BitReader in(h.entropy, h.end);
  uint32_t seen = 0;
  uint32_t restarts = 0;
  size_t row = 0, column = 0;
  const int shift = h.frame.pointTransform;
  for (int32_t y = 0; y < h.frame.height; ++y) {
    bool first = y == 0;
    if (restartLines && y > 0 && y % restartLines == 0) {
      if (!in.Restart(restarts++)) return Corrupt("a restart marker that is missing or out of order");
      first = true;
    }
    const bool ok = decode(&in, h, first, above, line, &seen);
    if (in.Overrun()) return Corrupt(kEndsEarly);
    if (!ok) return Corrupt("a Huffman code that does not exist");
    // Into the caller's rows, whatever their width.
    for (size_t i = 0; i < lineSamples;) {
      const size_t n = lineSamples - i < out.width - column ? lineSamples - i : out.width - column;
      uint16_t* dst = out.samples + static_cast<ptrdiff_t>(row) * out.stride + static_cast<ptrdiff_t>(column);
      if (shift == 0) {
        std::memcpy(dst, line + i, n * sizeof(uint16_t));
      } else {
        for (size_t k = 0; k < n; ++k) dst[k] = static_cast<uint16_t>(line[i + k] << shift);
      }
      i += n;
      column += n;
      if (column == out.width) {
        column = 0;
        ++row;
      }
    }
    uint16_t* t = above;
    above = line;
    line = t;
  }
  // Valid differences never leave the range the precision gives the samples.
  if (seen >> (h.frame.precision - shift)) return Corrupt("a sample beyond the frame's precision");
  return kOk;
}

HRESULT Report(const Problem& p, const char** problem) {
  if (problem) *problem = p.words;
  return p.hr;
}

}  // namespace

HRESULT ReadLosslessJpegFrame(const uint8_t* data, size_t size, LosslessJpegFrame* frame, const char** problem) {
  if (problem) *problem = "";
  if (!data && size) return E_POINTER;
  CKoBuffer<Headers> h(1);
  if (!h) return Report({E_OUTOFMEMORY, "not enough memory"}, problem);
  new (h.get()) Headers();
  const Problem p = ReadHeaders(data, size, h.get());
  if (frame) *frame = h.get()->frame;
  return Report(p, problem);
}

HRESULT DecodeLosslessJpeg(const uint8_t* data, size_t size, const LosslessJpegOutput& out, LosslessJpegFrame* frame,
                           const char** problem) {
  if (problem) *problem = "";
  if ((!data && size) || !out.samples) return E_POINTER;
  if (out.stride < 0 || static_cast<size_t>(out.stride) < out.width) return E_INVALIDARG;
  CKoBuffer<Headers> buffer(1);
  if (!buffer) return Report({E_OUTOFMEMORY, "not enough memory"}, problem);
  Headers* h = new (buffer.get()) Headers();
  Problem p = ReadHeaders(data, size, h);
  if (frame) *frame = h->frame;
  if (p.hr < 0) return Report(p, problem);
  const uint64_t wanted = static_cast<uint64_t>(out.width) * static_cast<uint64_t>(out.rows);
  if (out.width == 0 || wanted / out.width != out.rows || wanted != h->frame.SampleCount())
    return Report(Corrupt("a frame whose size disagrees with its strip or tile"), problem);
  return Report(DecodeScan(*h, out), problem);
}

}  // namespace ko
