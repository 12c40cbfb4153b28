#include "io/golden_malformed_util.h"

#include <cstring>

#include "ko/codec/testing/dng_writer.h"
#include "io/obj_file_util.h"
#include "ko/codec/testing/codec_writers.h"
#include "ko/core/img.h"
#include "ko/platform/byte_order.h"

namespace golden {
namespace {

using ko::HRESULT;
using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Add(std::vector<SMalformedCase>& rows, std::string name, Bytes bytes, HRESULT load, HRESULT read = 0) {
  rows.push_back({std::move(name), std::move(bytes), load, read});
}

// Offsets to cut a file of `size` bytes at: every one of the first 64, then a spread.
std::vector<size_t> CutPoints(size_t size) {
  std::vector<size_t> cuts;
  for (size_t i = 0; i < size && i < 64; ++i) cuts.push_back(i);
  for (size_t i = 64; i < size; i += 1 + size / 48) cuts.push_back(i);
  if (size > 0 && cuts.back() != size - 1) cuts.push_back(size - 1);
  return cuts;
}

// ---------------------------------------------------------------------------------------
// Radiance

Bytes HdrHeader(const std::string& resolution, const std::string& format = "32-bit_rle_rgbe") {
  return Text("#?RADIANCE\nEXPOSURE=1\nFORMAT=" + format + "\n\n" + resolution + "\n");
}

// 8 x 4 pixels, every scanline in the per-component encoding.
Bytes HdrBase() {
  Bytes out = HdrHeader("-Y 4 +X 8");
  for (int y = 0; y < 4; ++y) {
    out.insert(out.end(), {2, 2, 0, 8});
    for (int c = 0; c < 4; ++c) {
      out.push_back(8);  // a dump of 8 values
      for (int x = 0; x < 8; ++x) out.push_back(static_cast<uint8_t>(c == 3 ? 128 : 16 * x + y));
    }
  }
  return out;
}

void HdrRows(std::vector<SMalformedCase>& rows) {
  const Bytes base = HdrBase();
  for (size_t cut : CutPoints(base.size()))
    Add(rows, "hdr-cut-" + std::to_string(cut) + ".hdr", Bytes(base.begin(), base.begin() + cut), ko::E_KO_BADFORMAT);
  const HRESULT bad = ko::E_KO_BADFORMAT, big = ko::E_OUTOFMEMORY;
  const struct {
    const char* name;
    const char* resolution;
    HRESULT load;
  } sizes[] = {
      {"zero-height", "-Y 0 +X 8", bad},
      {"zero-width", "-Y 4 +X 0", bad},
      {"negative-width", "-Y 4 +X -8", bad},
      {"negative-height", "-Y -4 +X 8", bad},
      {"height-2e31", "-Y 2147483648 +X 1", big},
      {"width-huge-digits", "-Y 1 +X 99999999999999999999", big},
      // 65536 x 65536 pixels of 16 bytes: a byte count of 2^36 that wraps to 0 in 32 bits.
      {"bytes-wrap-32-bits", "-Y 65536 +X 65536", big},
      {"bytes-wrap-32-bits-plus-one", "-Y 65536 +X 65537", big},
      {"one-past-the-cap", "-Y 16384 +X 8193", big},
      {"no-size-tokens", "4 8", bad},
  };
  for (const auto& s : sizes) {
    Bytes file = HdrHeader(s.resolution);
    file.resize(file.size() + 64, 0);
    Add(rows, std::string("hdr-") + s.name + ".hdr", file, s.load);
  }
  Add(rows, "hdr-no-magic.hdr", Text("#?RADIANC\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\1\1\1\1"), bad);
  Add(rows, "hdr-other-format.hdr", HdrHeader("-Y 1 +X 1", "32-bit_rle_xyze"), bad);
  Add(rows, "hdr-no-format.hdr", Text("#?RADIANCE\n\n-Y 1 +X 1\n\1\1\1\1"), bad);
  Add(rows, "hdr-header-never-ends.hdr", Text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nA=1\nB=2"), bad);
  {
    // A scanline marker declaring another length than the image's width.
    Bytes file = base;
    const size_t first = HdrHeader("-Y 4 +X 8").size();
    file[first + 3] = 9;
    Add(rows, "hdr-scanline-length-mismatch.hdr", file, bad);
  }
  {
    // A run whose length passes the end of the row is cut there, and the values after it
    // continue the next component: here the stream then ends early.
    Bytes file = HdrHeader("-Y 1 +X 8");
    file.insert(file.end(), {2, 2, 0, 8, 128 + 127, 7});
    Add(rows, "hdr-run-past-the-row.hdr", file, bad);
  }
  {
    // The older encoding's repeat marker before any pixel.
    Bytes file = HdrHeader("-Y 2 +X 2");
    file.insert(file.end(), {1, 1, 1, 200, 9, 9, 9, 130});
    Add(rows, "hdr-repeat-before-any-pixel.hdr", file, bad);
  }
}

// ---------------------------------------------------------------------------------------
// DNG

Bytes DngBase() {
  std::vector<uint16_t> samples(8 * 6);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(1000 + 37 * i);
  return ko::test::DngBuilder(8, 6, samples).Bytes();
}

uint32_t Le32(const Bytes& b, size_t at) { return ko::GetLE32(b.data() + at); }
void SetLe32(Bytes& b, size_t at, uint32_t v) { ko::PutLE32(b.data() + at, v); }

// Offset of the 12-byte entry of `tag` in the directory at `ifd`; 0 when absent.
size_t EntryOf(const Bytes& b, size_t ifd, uint16_t tag) {
  const uint16_t n = ko::GetLE16(b.data() + ifd);
  for (size_t i = 0; i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    if (ko::GetLE16(b.data() + e) == tag) return e;
  }
  return 0;
}

template <class Change>
Bytes DngWith(Change change) {
  std::vector<uint16_t> samples(8 * 6, 1000);
  ko::test::DngBuilder dng(8, 6, samples);
  change(dng);
  return dng.Bytes();
}

void DngRows(std::vector<SMalformedCase>& rows) {
  const HRESULT bad = ko::E_KO_BADFORMAT, unexpected = ko::E_UNEXPECTED;
  const Bytes base = DngBase();
  // The file ends with IFD 0's pointer to a next directory, which the reader never follows.
  for (size_t cut : CutPoints(base.size() - 4))
    Add(rows, "dng-cut-" + std::to_string(cut) + ".dng", Bytes(base.begin(), base.begin() + cut), bad);

  using ko::test::DngBuilder;
  Add(rows, "dng-width-zero.dng", DngWith([](DngBuilder& d) { d.RawIfd().Long(256, {0}); }), bad);
  Add(rows, "dng-width-2e31.dng", DngWith([](DngBuilder& d) { d.RawIfd().Long(256, {0x80000000u}); }), bad);
  Add(rows, "dng-width-negative.dng", DngWith([](DngBuilder& d) { d.RawIfd().Long(256, {0xFFFFFFF8u}); }), bad);
  Add(rows, "dng-bytes-wrap-32-bits.dng",
      DngWith([](DngBuilder& d) { d.RawIfd().Long(256, {65536}).Long(257, {32768}); }), bad);
  Add(rows, "dng-larger-than-the-file.dng",
      DngWith([](DngBuilder& d) { d.RawIfd().Long(256, {1000}).Long(257, {1000}); }), bad);
  Add(rows, "dng-strip-outside-the-file.dng", DngWith([](DngBuilder& d) { d.RawIfd().Long(273, {0x7FFFFFF0u}); }),
      unexpected);
  Add(rows, "dng-strip-count-zero.dng", DngWith([](DngBuilder& d) { d.RawIfd().Long(279, {0}); }), unexpected);

  const size_t ifd0 = Le32(base, 4);
  {
    Bytes b = base;
    SetLe32(b, 4, static_cast<uint32_t>(b.size() + 100));
    Add(rows, "dng-ifd0-outside-the-file.dng", b, bad);
    SetLe32(b, 4, 0xFFFFFFF0u);
    Add(rows, "dng-ifd0-at-4-gigabytes.dng", b, bad);
  }
  if (const size_t sub = EntryOf(base, ifd0, 330)) {
    Bytes b = base;
    SetLe32(b, sub + 8, static_cast<uint32_t>(ifd0));
    Add(rows, "dng-subifd-loops-to-ifd0.dng", b, bad);
    SetLe32(b, sub + 8, 0xFFFFFF00u);
    Add(rows, "dng-subifd-outside-the-file.dng", b, bad);
    SetLe32(b, sub + 4, 0x40000000u);
    Add(rows, "dng-subifd-count-in-the-billions.dng", b, bad);
  }
  if (const size_t entry = EntryOf(base, ifd0, 50721)) {  // ColorMatrix1, values out of line
    Bytes b = base;
    SetLe32(b, entry + 4, 3000000000u);
    Add(rows, "dng-tag-count-in-the-billions.dng", b, bad);
    b = base;
    SetLe32(b, entry + 8, 0xFFFFFFF0u);
    Add(rows, "dng-tag-values-outside-the-file.dng", b, bad);
  }
  {
    // A directory declaring 65535 entries.
    Bytes b = base;
    ko::PutLE16(b.data() + ifd0, 0xFFFF);
    Add(rows, "dng-entry-count-65535.dng", b, bad);
  }
  Add(rows, "dng-exif-outside-the-file.dng", DngWith([](DngBuilder& d) { d.Ifd0().Long(34665, {0xFFFFFF00u}); }), bad);
  Add(rows, "dng-exif-loops-to-ifd0.dng", DngWith([](DngBuilder& d) { d.Ifd0().Long(34665, {8}); }), bad);
  {
    // Lossless JPEG tiles: one cut short by its byte count; offsets beyond the file; a file
    // declaring a million tiles.
    ko::test::DngStorage tiles;
    tiles.losslessJpeg = true;
    tiles.tileWidth = tiles.tileLength = 16;
    std::vector<uint16_t> samples(24 * 20);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 611);
    DngBuilder dng(24, 20, samples, tiles);
    std::vector<uint32_t> counts;
    for (const auto& tile : dng.RawIfd().pieces) counts.push_back(static_cast<uint32_t>(tile.size()));
    counts[3] -= 40;
    dng.RawIfd().Long(325, counts);
    Add(rows, "dng-ljpeg-tile-cut-short.dng", dng.Bytes(), ko::E_FAIL);
    dng.RawIfd().Long(324, {8, 8, 8, 0x7FFFFFF0u});
    Add(rows, "dng-tile-outside-the-file.dng", dng.Bytes(), unexpected);
    dng.RawIfd().Long(256, {1024}).Long(257, {1024}).Long(322, {1}).Long(323, {1});
    Add(rows, "dng-a-million-tiles.dng", dng.Bytes(), bad);
  }
  Add(rows, "dng-big-endian.dng", Text("MM\0\x2a\0\0\0\x08"), bad);
  Add(rows, "dng-not-tiff.dng", Text("this is no TIFF file"), bad);
}

// ---------------------------------------------------------------------------------------
// Object files (any other extension). LoadImageFile stops after opening them, so the
// refusals show when the first object is read.

Bytes ObjBase(ko_test::ObjFileWriter* writer, int objects = 1) {
  static const uint32_t kDescriptor[6] = {};
  ko::CCompositeImg<ko::RGBAType<unsigned char>> image;
  (void)image.Create(4, 3, 4, 1, ko::kTypeRGBAByte, 0);
  for (int y = 0; y < 3; ++y) std::memset(image.RowPtr(y), 40 * y + 1, 16);
  for (int i = 0; i < objects; ++i) writer->AddObject(image, kDescriptor);
  return writer->Build();
}

void ObjRows(std::vector<SMalformedCase>& rows) {
  const HRESULT bad = ko::E_KO_BADFORMAT, read = ko::E_KO_READ;
  ko_test::ObjFileWriter writer;
  const Bytes base = ObjBase(&writer);
  const uint64_t block = writer.blockOffsets[0];
  const uint64_t image = writer.objectOffsets[0];
  for (size_t cut : CutPoints(base.size()))
    Add(rows, "obj-cut-" + std::to_string(cut) + ".kob", Bytes(base.begin(), base.begin() + cut), ko::S_FALSE, read);
  {
    Bytes b = base;
    ko_test::PutLE64At(b, block, block);
    Add(rows, "obj-index-block-names-itself.kob", b, ko::S_FALSE, bad);
  }
  {
    ko_test::ObjFileWriter two;
    Bytes b = ObjBase(&two, 300);
    ko_test::PutLE64At(b, two.blockOffsets[1], two.blockOffsets[0]);
    Add(rows, "obj-index-chain-loops.kob", b, ko::S_FALSE, bad);
  }
  {
    Bytes b = base;
    ko_test::PutLE64At(b, 40, ~0ull);
    Add(rows, "obj-index-outside-the-file.kob", b, ko::S_FALSE, read);
    b = base;
    ko_test::PutLE64At(b, 32, b.size() + 1000);
    Add(rows, "obj-record-tree-outside-the-file.kob", b, ko::S_FALSE, read);
  }
  {
    Bytes b = base;
    ko_test::PutLE64At(b, block + 8, b.size() - 8);
    Add(rows, "obj-object-outside-the-file.kob", b, ko::S_FALSE, read);
  }
  const size_t w = image + 40 + 52, h = w + 4;
  const struct {
    const char* name;
    uint32_t width, height;
  } sizes[] = {{"2e31", 0x80000000u, 1}, {"65536-squared", 65536, 65536}, {"30000-squared", 30000, 30000},
               {"zero", 0, 3}, {"negative", 4, 0xFFFFFFFDu}};
  // Sizes that are no sizes at all are refused by the image itself.
  for (const auto& s : sizes) {
    Bytes b = base;
    ko_test::PutLE32At(b, w, s.width);
    ko_test::PutLE32At(b, h, s.height);
    const bool invalid = static_cast<int32_t>(s.width) <= 0 || static_cast<int32_t>(s.height) <= 0;
    Add(rows, std::string("obj-image-size-") + s.name + ".kob", b, ko::S_FALSE, invalid ? ko::E_INVALIDARG : read);
  }
}

// ---------------------------------------------------------------------------------------
// .dat: values a file lacks are zero, so a short file is no error; what is refused is a
// header the reader does not understand and a size it must not allocate.

void DatRows(std::vector<SMalformedCase>& rows) {
  const HRESULT fail = ko::E_FAIL, invalid = ko::E_INVALIDARG, big = ko::E_OUTOFMEMORY;
  const struct {
    const char* name;
    const char* text;
    HRESULT load;
  } cases[] = {
      {"version-2-no-values", "% KOv2: 3 x 2 x 1\n", fail},
      {"version-2-with-values", "% KOv2: 3 x 2 x 1\n1 2 3\n4 5 6\n", fail},
      // A size past int32 is no header: the line is a comment, and no values follow.
      {"version-2-billions", "% KOv2: 3000000000 x 2 x 1\n", invalid},
      {"width-zero", "% KOv1: 0 x 2 x 1\n", invalid},
      {"height-negative", "% KOv1: 2 x -2 x 1\n", invalid},
      {"height-2e31-wraps-negative", "% KOv1: 2 x 2147483648 x 1\n", invalid},
      {"one-past-the-pixel-cap", "% KOv1: 16385 x 16384 x 1\n", big},
      {"400-megapixels-no-values", "% KOv1: 20000 x 20000 x 1\n", big},
      {"bytes-wrap-32-bits", "% KOv1: 65536 x 65536 x 1\n7\n", big},
      {"int32-max-squared", "% KOv1: 2147483647 x 2147483647 x 1\n", big},
      {"empty", "", invalid},
  };
  for (const auto& c : cases) Add(rows, std::string("dat-") + c.name + ".dat", Text(c.text), c.load);
}

// ---------------------------------------------------------------------------------------
// .qxi: the header says how many body bytes follow; a shorter body is refused before the
// image is allocated.

Bytes QxiBase() {
  Bytes out = Text("1 4 0 0 3 2 1 0 185\n");
  for (int i = 0; i < 6; ++i) {
    const float v = 0.25f * static_cast<float>(i);
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

void QxiRows(std::vector<SMalformedCase>& rows) {
  const HRESULT fail = ko::E_FAIL;
  const Bytes base = QxiBase();
  for (size_t cut : CutPoints(base.size()))
    Add(rows, "qxi-cut-" + std::to_string(cut) + ".qxi", Bytes(base.begin(), base.begin() + cut), fail);
  const struct {
    const char* name;
    const char* header;
    size_t bodyBytes;
    HRESULT load;
  } cases[] = {
      {"hex-short-body", "0 4 0 0 3 2 1 0 185\n", 47, fail},
      {"width-2e31-short-body", "1 4 0 0 2147483647 1 1 0 185\n", 64, fail},
      {"width-beyond-int32", "1 4 -2147483648 0 2147483647 1 1 0 185\n", 64, fail},
      {"bytes-wrap-32-bits", "1 4 0 0 65536 65536 1 0 185\n", 64, fail},
      {"rgba-bytes-wrap-64-bits", "1 4 0 0 2147483647 2147483647 1 0 285\n", 64, fail},
      {"bands-in-the-billions", "1 4 0 0 2 2 2000000000 0 185\n", 64, fail},
      {"rgba-with-two-elements", "1 4 0 0 1 1 2 0 285\n", 64, ko::E_INVALIDARG},
      {"version-2", "2 4 0 0 1 1 1 0 185\n", 64, fail},
      {"element-bytes-8", "1 8 0 0 1 1 1 0 185\n", 64, fail},
      {"other-kind", "1 4 0 0 1 1 1 0 186\n", 64, fail},
      {"header-only", "1 4 0 0 1 1", 0, fail},
  };
  for (const auto& c : cases) {
    Bytes file = Text(c.header);
    file.resize(file.size() + c.bodyBytes, '0');
    Add(rows, std::string("qxi-") + c.name + ".qxi", file, c.load);
  }
}


Bytes FromBuffer(const ko::CodecBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

std::vector<uint8_t> Pixels(uint32_t w, uint32_t h, int channels) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * channels);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 37 + 11);
  return p;
}

Bytes PngBase() {
  const std::vector<uint8_t> rgb = Pixels(8, 6, 3);
  ko::PngWriteOptions o;
  ko::CodecBuffer out;
  ko::WritePng(rgb.data(), 8, 6, 24, o, &out);
  return FromBuffer(out);
}

Bytes PngPaletteBase() {
  std::vector<uint8_t> idx(8 * 6);
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint8_t>(i % 4);
  const uint8_t palette[12] = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
  ko::PngWriteOptions o;
  o.colorType = 3;
  o.palette = palette;
  o.paletteCount = 4;
  ko::CodecBuffer out;
  ko::WritePng(idx.data(), 8, 6, 8, o, &out);
  return FromBuffer(out);
}

Bytes JpegBase() {
  const std::vector<uint8_t> rgb = Pixels(16, 16, 3);
  ko::JpegWriteOptions o;
  ko::CodecBuffer out;
  ko::WriteJpeg(rgb.data(), 16, 16, 48, o, &out);
  return FromBuffer(out);
}

Bytes GifBase() {
  std::vector<uint8_t> idx(8 * 6);
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint8_t>(i % 4);
  const uint8_t palette[12] = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
  ko::GifFrame f;
  f.indices = idx.data();
  f.width = 8;
  f.height = 6;
  ko::GifWriteOptions o;
  o.screenWidth = 8;
  o.screenHeight = 6;
  o.palette = palette;
  o.paletteCount = 4;
  ko::CodecBuffer out;
  ko::WriteGif(&f, 1, o, &out);
  return FromBuffer(out);
}

Bytes TiffBase() {
  const std::vector<uint8_t> rgb = Pixels(8, 6, 3);
  ko::TiffPage page;
  page.samples = rgb.data();
  page.stride = 24;
  page.width = 8;
  page.height = 6;
  page.samplesPerPixel = 3;
  page.photometric = 2;
  ko::CodecBuffer out;
  ko::WriteTiff(&page, 1, false, &out);
  return FromBuffer(out);
}

// An uncompressed 24-bit or 8-bit palette BMP, written here byte by byte.
Bytes Bmp(int32_t w, int32_t h, uint16_t bits, uint32_t paletteCount, uint32_t compression = 0) {
  const uint32_t rowBytes = ((static_cast<uint32_t>(w > 0 ? w : 1) * bits + 31) / 32) * 4;
  const uint32_t rows = h < 0 ? 0u - static_cast<uint32_t>(h) : static_cast<uint32_t>(h);
  const uint32_t paletteBytes = paletteCount * 4;
  const uint32_t dataOffset = 14 + 40 + paletteBytes;
  const uint64_t body = (w > 0 && w <= 64 && rows <= 64) ? uint64_t{rowBytes} * rows : 16;
  Bytes b(dataOffset + body, 0);
  b[0] = 'B';
  b[1] = 'M';
  ko::PutLE32(b.data() + 2, static_cast<uint32_t>(b.size()));
  ko::PutLE32(b.data() + 10, dataOffset);
  ko::PutLE32(b.data() + 14, 40);
  ko::PutLE32(b.data() + 18, static_cast<uint32_t>(w));
  ko::PutLE32(b.data() + 22, static_cast<uint32_t>(h));
  ko::PutLE16(b.data() + 26, 1);
  ko::PutLE16(b.data() + 28, bits);
  ko::PutLE32(b.data() + 30, compression);
  ko::PutLE32(b.data() + 46, paletteCount);
  for (uint32_t i = 0; i < paletteCount; ++i) b[54 + 4 * i] = static_cast<uint8_t>(i);
  for (size_t i = dataOffset; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i % (paletteCount ? paletteCount : 256));
  return b;
}


void CodecRows(std::vector<SMalformedCase>& rows) {
  const HRESULT fail = ko::E_FAIL, bad = ko::E_KO_BADFORMAT;
  // A file cut inside its closing chunk (PNG's 12-byte IEND, GIF's trailer byte) still
  // holds the whole image, and is read: those cuts are no rows.
  const struct {
    const char* name;
    Bytes bytes;
    size_t closing;
  } bases[] = {{"png", PngBase(), 12}, {"palette.png", PngPaletteBase(), 12}, {"jpg", JpegBase(), 0},
               {"gif", GifBase(), 1}, {"tif", TiffBase(), 0}, {"bmp", Bmp(8, 6, 24, 0), 0},
               {"palette.bmp", Bmp(8, 6, 8, 4), 0}};
  for (const auto& base : bases) {
    const std::string name = base.name;
    const size_t dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? name : name.substr(dot + 1);
    const std::string stem = dot == std::string::npos ? "" : name.substr(0, dot) + "-";
    for (size_t cut : CutPoints(base.bytes.size() - base.closing))
      rows.push_back({ext + "-" + stem + "cut-" + std::to_string(cut) + "." + ext,
                      Bytes(base.bytes.begin(), base.bytes.begin() + static_cast<long>(cut)), bad, 0, fail});
  }
  const struct {
    const char* name;
    Bytes bytes;
  } hostile[] = {
      {"bmp-width-zero.bmp", Bmp(0, 6, 24, 0)},
      {"bmp-width-negative.bmp", Bmp(-8, 6, 24, 0)},
      {"bmp-width-2e31.bmp", Bmp(INT32_MIN, 1, 24, 0)},
      {"bmp-bytes-wrap-32-bits.bmp", Bmp(65536, 65536, 32, 0)},
      {"bmp-height-int32-min.bmp", Bmp(8, INT32_MIN, 24, 0)},
      {"bmp-larger-than-the-file.bmp", Bmp(4000, 4000, 24, 0)},
      {"bmp-palette-missing.bmp", Bmp(8, 6, 8, 0)},  // 0 means all 256 entries
      {"bmp-bits-7.bmp", Bmp(8, 6, 7, 0)},
  };
  // Sizes the header cannot mean are malformed; sizes the file cannot hold fail the decode.
  for (const auto& h : hostile) {
    const std::string name = h.name;
    const bool malformed = name.find("width") != std::string::npos || name.find("palette") != std::string::npos ||
                           name.find("bits-7") != std::string::npos;
    Add(rows, name, h.bytes, malformed ? bad : fail);
  }
}
}  // namespace

std::vector<SMalformedCase> MalformedCases() {
  std::vector<SMalformedCase> rows;
  HdrRows(rows);
  DngRows(rows);
  ObjRows(rows);
  DatRows(rows);
  QxiRows(rows);
  CodecRows(rows);
  return rows;
}

std::vector<SMalformedCase> WellFormedBases() {
  ko_test::ObjFileWriter writer;
  return {{"base.hdr", HdrBase(), ko::S_OK}, {"base.dng", DngBase(), ko::S_OK}, {"base.kob", ObjBase(&writer), ko::S_FALSE, ko::S_OK},
          {"base.qxi", QxiBase(), ko::S_OK},
          {"base.dat", Text("% KOv1: 3 x 2 x 1\n1 2 3\n4 5 6\n"), ko::S_OK},
          {"base.png", PngBase(), ko::S_OK}, {"base.jpg", JpegBase(), ko::S_OK}, {"base.gif", GifBase(), ko::S_OK},
          {"base.tif", TiffBase(), ko::S_OK}, {"base.bmp", Bmp(8, 6, 24, 0), ko::S_OK}};
}

}  // namespace golden
