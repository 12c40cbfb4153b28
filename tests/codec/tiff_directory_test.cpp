#include "ko/codec/tiff_directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace ko {
namespace {

// A TIFF byte block written by hand in either byte order, piece by piece at fixed offsets.
class Block {
 public:
  Block(bool le, size_t size) : le_(le), bytes_(size, 0) {
    bytes_[0] = bytes_[1] = le ? 'I' : 'M';
    Put16(2, 42);
  }
  void Put16(size_t at, uint16_t v) {
    Grow(at + 2);
    bytes_[at + (le_ ? 0 : 1)] = static_cast<uint8_t>(v);
    bytes_[at + (le_ ? 1 : 0)] = static_cast<uint8_t>(v >> 8);
  }
  void Put32(size_t at, uint32_t v) {
    Grow(at + 4);
    for (int i = 0; i < 4; ++i) bytes_[at + (le_ ? i : 3 - i)] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put64(size_t at, uint64_t v) {
    Grow(at + 8);
    for (int i = 0; i < 8; ++i) bytes_[at + (le_ ? i : 7 - i)] = static_cast<uint8_t>(v >> (8 * i));
  }
  void First(uint32_t ifd0) { Put32(4, ifd0); }
  // Directory header at `at` with n entries; entries follow at at + 2 + 12 i.
  void Dir(size_t at, uint16_t n, uint32_t next) {
    Put16(at, n);
    Put32(at + 2 + 12 * n, next);
  }
  // An entry whose 4-byte field holds an offset or a LONG.
  void Entry32(size_t dir, int i, uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
    const size_t at = dir + 2 + 12 * i;
    Put16(at, tag);
    Put16(at + 2, type);
    Put32(at + 4, count);
    Put32(at + 8, field);
  }
  // An entry with up to two SHORTs inline (left-justified in the field).
  void EntryShorts(size_t dir, int i, uint16_t tag, std::vector<uint16_t> values) {
    const size_t at = dir + 2 + 12 * i;
    Put16(at, tag);
    Put16(at + 2, kTiffShort);
    Put32(at + 4, static_cast<uint32_t>(values.size()));
    for (size_t k = 0; k < values.size(); ++k) Put16(at + 8 + 2 * k, values[k]);
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  void Grow(size_t n) {
    if (bytes_.size() < n) bytes_.resize(n, 0);
  }
  bool le_;
  std::vector<uint8_t> bytes_;
};

HRESULT Parse(const Block& b, TiffFile* f, const TiffLimits& limits = TiffLimits()) {
  return ParseTiff(b.Bytes().data(), b.Bytes().size(), f, limits);
}

uint32_t LE32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}
uint16_t LE16(const std::vector<uint8_t>& v, size_t at) { return static_cast<uint16_t>(v[at] | (v[at + 1] << 8)); }

// Two chained directories with inline and out-of-line values of several types.
Block TwoDirectories(bool le) {
  Block b(le, 256);
  b.First(8);
  b.Dir(8, 5, 100);
  b.EntryShorts(8, 0, 256, {640});
  b.EntryShorts(8, 1, 33421, {2, 3});
  b.Entry32(8, 2, 273, kTiffLong, 3, 200);  // three LONGs out of line
  b.Put32(200, 11);
  b.Put32(204, 0x01020304);
  b.Put32(208, 33);
  b.Entry32(8, 3, 50721, kTiffSRational, 1, 220);
  b.Put32(220, static_cast<uint32_t>(-7));
  b.Put32(224, 3);
  b.Entry32(8, 4, 305, kTiffAscii, 4, 0);
  std::memcpy(&b.Bytes()[8 + 2 + 12 * 4 + 8], "abc", 4);  // bytes are order-free
  b.Dir(100, 1, 0);
  b.Entry32(100, 0, 254, kTiffLong, 1, 1);
  b.Put64(240, 0x0102030405060708ull);  // a DOUBLE's bit pattern
  return b;
}

TEST(TiffDirectory, BothByteOrdersGiveTheSameLittleEndianValues) {
  for (bool le : {true, false}) {
    SCOPED_TRACE(le ? "II" : "MM");
    TiffFile f;
    ASSERT_EQ(Parse(TwoDirectories(le), &f), S_OK);
    EXPECT_EQ(f.littleEndian, le);
    ASSERT_EQ(f.chain.size(), 2u);
    const TiffDirectory& d = f.chain[0];
    EXPECT_EQ(d.offset, 8u);
    ASSERT_EQ(d.entries.size(), 5u);
    const TiffEntry* w = d.Find(256);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->value.size(), 2u);
    EXPECT_EQ(LE16(w->value, 0), 640);
    const TiffEntry* dims = d.Find(33421);
    ASSERT_EQ(dims->value.size(), 4u);
    EXPECT_EQ(LE16(dims->value, 0), 2);
    EXPECT_EQ(LE16(dims->value, 2), 3);
    const TiffEntry* strips = d.Find(273);
    ASSERT_EQ(strips->value.size(), 12u);
    EXPECT_EQ(LE32(strips->value, 4), 0x01020304u);
    EXPECT_EQ(LE32(strips->value, 8), 33u);
    const TiffEntry* m = d.Find(50721);
    ASSERT_EQ(m->value.size(), 8u);
    EXPECT_EQ(static_cast<int32_t>(LE32(m->value, 0)), -7);  // numerator first
    EXPECT_EQ(LE32(m->value, 4), 3u);
    EXPECT_EQ(std::memcmp(d.Find(305)->value.data(), "abc", 4), 0);
    EXPECT_EQ(d.Find(999), nullptr);
    EXPECT_EQ(f.chain[1].offset, 100u);
    EXPECT_EQ(LE32(f.chain[1].Find(254)->value, 0), 1u);
  }
}

TEST(TiffDirectory, DoublesAreSwappedAsOneEightByteElement) {
  for (bool le : {true, false}) {
    Block b(le, 64);
    b.First(8);
    b.Dir(8, 1, 0);
    b.Entry32(8, 0, 1000, kTiffDouble, 1, 40);
    b.Put64(40, 0x0102030405060708ull);
    TiffFile f;
    ASSERT_EQ(Parse(b, &f), S_OK);
    const auto& v = f.chain[0].entries[0].value;
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(LE32(v, 0), 0x05060708u);
    EXPECT_EQ(LE32(v, 4), 0x01020304u);
  }
}

TEST(TiffDirectory, FollowsSubExifGpsAndInteropPointers) {
  for (bool le : {true, false}) {
    Block b(le, 400);
    b.First(8);
    b.Dir(8, 3, 0);
    b.Entry32(8, 0, 330, kTiffLong, 2, 60);  // two SubIFDs, offsets out of line
    b.Put32(60, 100);
    b.Put32(64, 150);
    b.Entry32(8, 1, 34665, kTiffLong, 1, 200);
    b.Entry32(8, 2, 34853, kTiffIfd, 1, 300);
    b.Dir(100, 1, 0);
    b.Entry32(100, 0, 254, kTiffLong, 1, 0);
    b.Dir(150, 1, 0);
    b.Entry32(150, 0, 254, kTiffLong, 1, 1);
    b.Dir(200, 1, 0);
    b.Entry32(200, 0, 40965, kTiffLong, 1, 250);
    b.Dir(250, 1, 0);
    b.Entry32(250, 0, 1, kTiffAscii, 4, 0x00383952);
    b.Dir(300, 1, 0);
    b.EntryShorts(300, 0, 5, {1});
    TiffFile f;
    ASSERT_EQ(Parse(b, &f), S_OK);
    ASSERT_EQ(f.chain.size(), 1u);
    const TiffDirectory& d = f.chain[0];
    ASSERT_EQ(d.subIfds.size(), 2u);
    EXPECT_EQ(d.subIfds[0].offset, 100u);
    EXPECT_EQ(d.subIfds[1].offset, 150u);
    EXPECT_EQ(LE32(d.subIfds[1].Find(254)->value, 0), 1u);
    ASSERT_EQ(d.exifIfd.size(), 1u);
    ASSERT_EQ(d.exifIfd[0].interopIfd.size(), 1u);
    EXPECT_EQ(d.exifIfd[0].interopIfd[0].offset, 250u);
    ASSERT_EQ(d.gpsIfd.size(), 1u);
    EXPECT_EQ(d.gpsIfd[0].offset, 300u);
  }
}

TEST(TiffDirectory, UnknownTypesAndNonPointerTypesAreKeptAsEntries) {
  Block b(true, 64);
  b.First(8);
  b.Dir(8, 2, 0);
  b.Entry32(8, 0, 700, 99, 0x7FFFFFFF, 0xFFFFFFFF);  // unknown type: no value read
  b.EntryShorts(8, 1, 330, {5});                    // a SHORT is no directory pointer
  TiffFile f;
  ASSERT_EQ(Parse(b, &f), S_OK);
  ASSERT_EQ(f.chain[0].entries.size(), 2u);
  EXPECT_EQ(f.chain[0].entries[0].count, 0x7FFFFFFFu);
  EXPECT_TRUE(f.chain[0].entries[0].value.empty());
  EXPECT_TRUE(f.chain[0].subIfds.empty());
}

TEST(TiffDirectory, RefusesBadHeaders) {
  TiffFile f;
  const uint8_t shortBlock[] = {'I', 'I', 42, 0, 8, 0, 0};
  EXPECT_EQ(ParseTiff(shortBlock, sizeof shortBlock, &f), E_KO_BADFORMAT);
  Block mixed(true, 32);
  mixed.Bytes()[1] = 'M';
  EXPECT_EQ(Parse(mixed, &f), E_KO_BADFORMAT);
  Block big(true, 32);  // BigTIFF and other magic numbers
  big.Put16(2, 43);
  EXPECT_EQ(Parse(big, &f), E_KO_BADFORMAT);
  Block none(true, 32);
  none.First(0);
  EXPECT_EQ(Parse(none, &f), E_KO_BADFORMAT);
  Block intoHeader(true, 32);
  intoHeader.First(2);
  EXPECT_EQ(Parse(intoHeader, &f), E_KO_BADFORMAT);
  EXPECT_EQ(ParseTiff(nullptr, 0, &f), E_KO_BADFORMAT);
  EXPECT_EQ(ParseTiff(shortBlock, sizeof shortBlock, nullptr), E_POINTER);
}

TEST(TiffDirectory, RefusesLoops) {
  TiffFile f;
  Block self(true, 64);  // IFD0 -> IFD0
  self.First(8);
  self.Dir(8, 0, 8);
  EXPECT_EQ(Parse(self, &f), E_KO_BADFORMAT);
  EXPECT_TRUE(f.chain.empty());

  Block back(false, 64);  // IFD0 -> IFD1 -> IFD0
  back.First(8);
  back.Dir(8, 0, 20);
  back.Dir(20, 0, 8);
  EXPECT_EQ(Parse(back, &f), E_KO_BADFORMAT);

  Block sub(true, 64);  // a SubIFD pointing back at its parent
  sub.First(8);
  sub.Dir(8, 1, 0);
  sub.Entry32(8, 0, 330, kTiffLong, 1, 8);
  EXPECT_EQ(Parse(sub, &f), E_KO_BADFORMAT);
}

TEST(TiffDirectory, RefusesOffsetsAndCountsOutsideTheBuffer) {
  TiffFile f;
  {
    Block b(true, 16);  // IFD0 beyond the end
    b.First(4000);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
  {
    Block b(true, 16);  // the entry table runs past the end
    b.First(8);
    b.Put16(8, 3);
    b.Bytes().resize(20);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
  {
    Block b(true, 64);  // next-directory offset missing at the very end
    b.First(8);
    b.Dir(8, 1, 0);
    b.EntryShorts(8, 0, 256, {1});
    b.Bytes().resize(8 + 2 + 12 + 2);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
  {
    Block b(true, 64);  // a value beyond the end
    b.First(8);
    b.Dir(8, 1, 0);
    b.Entry32(8, 0, 273, kTiffLong, 2, 60);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
  {
    Block b(false, 64);  // offset + length wraps 32 bits
    b.First(8);
    b.Dir(8, 1, 0);
    b.Entry32(8, 0, 273, kTiffLong, 8, 0xFFFFFFF8u);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
  for (uint16_t type : {kTiffDouble, kTiffRational, kTiffByte}) {
    Block b(true, 64);  // counts whose byte length exceeds 32 bits or the buffer
    b.First(8);
    b.Dir(8, 1, 0);
    b.Entry32(8, 0, 273, type, 0xFFFFFFFFu, 30);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT) << type;
  }
  {
    Block b(true, 64);  // a SubIFD pointer outside
    b.First(8);
    b.Dir(8, 1, 0);
    b.Entry32(8, 0, 330, kTiffLong, 1, 1u << 30);
    EXPECT_EQ(Parse(b, &f), E_KO_BADFORMAT);
  }
}

TEST(TiffDirectory, EnforcesItsLimits) {
  TiffFile f;
  {
    Block b(true, 8 + 2 + 12 * 3 + 4);
    b.First(8);
    b.Dir(8, 3, 0);
    for (int i = 0; i < 3; ++i) b.EntryShorts(8, i, static_cast<uint16_t>(256 + i), {1});
    TiffLimits limits;
    limits.maxEntriesPerDirectory = 2;
    EXPECT_EQ(Parse(b, &f, limits), E_KO_BADFORMAT);
    limits.maxEntriesPerDirectory = 3;
    EXPECT_EQ(Parse(b, &f, limits), S_OK);
  }
  {
    // A chain of 5 directories against a limit of 4.
    Block b(true, 200);
    b.First(8);
    for (int i = 0; i < 5; ++i) b.Dir(8 + 10 * i, 0, i < 4 ? 8 + 10 * (i + 1) : 0);
    TiffLimits limits;
    limits.maxDirectories = 4;
    EXPECT_EQ(Parse(b, &f, limits), E_KO_BADFORMAT);
    limits.maxDirectories = 5;
    ASSERT_EQ(Parse(b, &f, limits), S_OK);
    EXPECT_EQ(f.chain.size(), 5u);
  }
  {
    // SubIFDs nested three deep against a nesting limit of 2.
    Block b(true, 200);
    b.First(8);
    for (int i = 0; i < 4; ++i) {
      const size_t at = 8 + 20 * i;
      b.Dir(at, i < 3 ? 1 : 0, 0);
      if (i < 3) b.Entry32(at, 0, 330, kTiffLong, 1, static_cast<uint32_t>(at + 20));
    }
    TiffLimits limits;
    limits.maxNesting = 2;
    EXPECT_EQ(Parse(b, &f, limits), E_KO_BADFORMAT);
    limits.maxNesting = 3;
    EXPECT_EQ(Parse(b, &f, limits), S_OK);
  }
  {
    // Value bytes summed over entries.
    Block b(true, 200);
    b.First(8);
    b.Dir(8, 2, 0);
    b.Entry32(8, 0, 273, kTiffLong, 10, 100);
    b.Entry32(8, 1, 279, kTiffLong, 10, 140);
    TiffLimits limits;
    limits.maxValueBytes = 79;
    EXPECT_EQ(Parse(b, &f, limits), E_KO_BADFORMAT);
    limits.maxValueBytes = 80;
    EXPECT_EQ(Parse(b, &f, limits), S_OK);
  }
}

TEST(TiffDirectory, ParsesOneDirectoryAtAnOffset) {
  const Block b = TwoDirectories(false);
  TiffDirectory d;
  ASSERT_EQ(ParseTiffDirectory(b.Bytes().data(), b.Bytes().size(), 100, false, &d), S_OK);
  EXPECT_EQ(d.offset, 100u);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(LE32(d.entries[0].value, 0), 1u);
  EXPECT_EQ(ParseTiffDirectory(b.Bytes().data(), b.Bytes().size(), 255, false, &d), E_KO_BADFORMAT);
  EXPECT_TRUE(d.entries.empty());
}

}  // namespace
}  // namespace ko
