#include "ko/codec/lossless_jpeg_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ko/codec/testing/lossless_jpeg_encoder.h"

namespace ko {
namespace {

using test::EncodeLosslessJpeg;
using test::LosslessJpegOptions;

// Smooth ramps with noise and, at full precision, jumps of half the range (category 16).
std::vector<uint16_t> Samples(const LosslessJpegOptions& o, uint32_t seed) {
  std::vector<uint16_t> s(static_cast<size_t>(o.width) * o.height * o.components);
  const uint32_t mask = (1u << o.precision) - 1;
  for (size_t i = 0; i < s.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    uint32_t v = static_cast<uint32_t>(i * 37 % 4096) * (mask / 4096 + 1) + (seed >> 24);
    if (o.precision == 16 && (seed >> 8) % 13 == 0) v += 32768;
    s[i] = static_cast<uint16_t>(v & mask & ~((1u << o.pointTransform) - 1));
  }
  return s;
}

HRESULT Decode(const std::vector<uint8_t>& bytes, std::vector<uint16_t>* out, size_t width, size_t rows,
               const char** problem = nullptr, size_t pad = 0) {
  out->assign((width + pad) * rows, 0xBEEF);
  LosslessJpegOutput o;
  o.samples = out->data();
  o.width = width;
  o.rows = rows;
  o.stride = static_cast<ptrdiff_t>(width + pad);
  LosslessJpegFrame frame;
  return DecodeLosslessJpeg(bytes.data(), bytes.size(), o, &frame, problem);
}

TEST(LosslessJpegDecoder, DecodesWhatTheEncoderWrote) {
  struct Case {
    int components, precision, predictor, pointTransform, restartLines;
    bool tablesAfterFrame;
  };
  std::vector<Case> cases;
  for (int p = 1; p <= 7; ++p) cases.push_back({2, 16, p, 0, 0, false});
  cases.insert(cases.end(), {{1, 12, 4, 0, 1, true}, {3, 8, 7, 0, 3, false}, {4, 14, 6, 0, 0, true},
                             {1, 10, 5, 2, 2, false}, {1, 2, 1, 0, 0, false}});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.components << " components, " << c.precision << " bits, predictor "
                                    << c.predictor << ", restart " << c.restartLines);
    LosslessJpegOptions o;
    o.width = 13;
    o.height = 10;
    o.components = c.components;
    o.precision = c.precision;
    o.predictor = c.predictor;
    o.pointTransform = c.pointTransform;
    o.restartInterval = c.restartLines * o.width;
    o.tablesAfterFrame = c.tablesAfterFrame;
    const std::vector<uint16_t> samples = Samples(o, static_cast<uint32_t>(c.predictor * 7 + c.precision));
    const std::vector<uint8_t> bytes = EncodeLosslessJpeg(samples.data(), o);
    LosslessJpegFrame frame;
    ASSERT_EQ(ReadLosslessJpegFrame(bytes.data(), bytes.size(), &frame, nullptr), S_OK);
    EXPECT_EQ(frame.SampleCount(), samples.size());
    EXPECT_EQ(frame.predictor, c.predictor);
    // Rows of the frame's own shape, with a stride beyond them ...
    const size_t line = static_cast<size_t>(o.width) * o.components;
    std::vector<uint16_t> out;
    ASSERT_EQ(Decode(bytes, &out, line, o.height, nullptr, 3), S_OK);
    for (int y = 0; y < o.height; ++y)
      ASSERT_TRUE(std::equal(samples.begin() + y * line, samples.begin() + (y + 1) * line, out.begin() + y * (line + 3)))
          << "line " << y;
    // ... and rows twice as long: the same samples in the same order.
    ASSERT_EQ(Decode(bytes, &out, 2 * line, o.height / 2), S_OK);
    EXPECT_EQ(out, samples);
  }
}

// Finds the first occurrence of `marker` (two bytes) in the stream.
size_t At(const std::vector<uint8_t>& b, uint8_t second) {
  for (size_t i = 0; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == second) return i;
  return b.size();
}

TEST(LosslessJpegDecoder, RefusesMalformedStreamsWithTheirReason) {
  LosslessJpegOptions o;
  o.width = 16;
  o.height = 8;
  o.components = 2;
  o.restartInterval = 2 * o.width;
  const std::vector<uint16_t> samples = Samples(o, 5);
  const std::vector<uint8_t> good = EncodeLosslessJpeg(samples.data(), o);
  using Bytes = std::vector<uint8_t>;
  struct Row {
    const char* what;
    std::function<void(Bytes&)> change;
    HRESULT hr;
    const char* words;
  };
  const std::vector<Row> rows = {
      {"no start marker", [](Bytes& b) { b[1] = 0xD9; }, E_FAIL, "a JPEG stream without its start marker"},
      {"a baseline frame", [](Bytes& b) { b[At(b, 0xC3) + 1] = 0xC0; }, E_NOTIMPL,
       "a JPEG frame other than lossless Huffman coding"},
      {"arithmetic coding", [](Bytes& b) { b[At(b, 0xC3) + 1] = 0xCB; }, E_NOTIMPL,
       "a JPEG frame other than lossless Huffman coding"},
      {"cut in the headers", [](Bytes& b) { b.resize(At(b, 0xC3) + 6); }, E_FAIL, "data that ends early"},
      {"cut in the data", [](Bytes& b) { b.resize(b.size() - 40); }, E_FAIL, "data that ends early"},
      {"a code of no table",  // stuffed 0xFF bytes: all ones, the code point the tables leave free
       [](Bytes& b) {
         for (size_t i = At(b, 0xDA) + 12; i + 1 < b.size(); i += 2) b[i] = 0xFF, b[i + 1] = 0;
       },
       E_FAIL, "a Huffman code that does not exist"},
      {"codes that overflow",  // the first table's codes as two of length 1 and the rest of length 2
       [](Bytes& b) {
         uint8_t* counts = &b[At(b, 0xC4) + 5];
         int total = 0;
         for (int i = 0; i < 16; ++i) total += counts[i], counts[i] = 0;
         counts[0] = 2;
         counts[1] = static_cast<uint8_t>(total - 2);
       },
       E_FAIL, "a Huffman table whose codes overflow"},
      {"category 17", [](Bytes& b) { b[At(b, 0xC4) + 21] = 17; }, E_FAIL,
       "a Huffman table with a difference category beyond 16"},
      {"a table never defined", [](Bytes& b) { b[At(b, 0xDA) + 6] = 0x30; }, E_FAIL,
       "a Huffman table that is not defined"},
      {"predictor 0", [](Bytes& b) { b[At(b, 0xDA) + 9] = 0; }, E_FAIL, "a predictor outside 1 to 7"},
      {"precision 1", [](Bytes& b) { b[At(b, 0xC3) + 4] = 1; }, E_FAIL, "a sample precision outside 2 to 16 bits"},
      {"samples beyond 8 bits", [](Bytes& b) { b[At(b, 0xC3) + 4] = 8; }, E_FAIL,
       "a sample beyond the frame's precision"},
      {"subsampling", [](Bytes& b) { b[At(b, 0xC3) + 11] = 0x21; }, E_NOTIMPL,
       "a lossless JPEG with subsampled components"},
      {"two scans", [](Bytes& b) { b[At(b, 0xDA) + 3] = 8, b[At(b, 0xDA) + 4] = 1; }, E_NOTIMPL,
       "a lossless JPEG in several scans"},
      {"restart inside a line", [](Bytes& b) { b[At(b, 0xDD) + 5] = 17; }, E_NOTIMPL,
       "restart intervals that end inside a line"},
      {"restart marker missing", [](Bytes& b) { b[At(b, 0xD0) + 1] = 0xD3; }, E_FAIL,
       "a restart marker that is missing or out of order"},
      {"height after the scan", [](Bytes& b) { b[At(b, 0xC3) + 5] = b[At(b, 0xC3) + 6] = 0; }, E_NOTIMPL,
       "a lossless JPEG whose height follows its scan"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes bytes = good;
    row.change(bytes);
    std::vector<uint16_t> out;
    const char* problem = nullptr;
    EXPECT_EQ(Decode(bytes, &out, 32, 8, &problem), row.hr);
    EXPECT_STREQ(problem, row.words);
  }
  std::vector<uint16_t> out;
  const char* problem = nullptr;
  EXPECT_EQ(Decode(good, &out, 32, 8, &problem), S_OK);
  EXPECT_EQ(Decode(good, &out, 32, 7, &problem), E_FAIL);
  EXPECT_STREQ(problem, "a frame whose size disagrees with its strip or tile");
}

}  // namespace
}  // namespace ko
