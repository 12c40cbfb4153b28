#include "ko/codec/tiff_directory.h"

#include <algorithm>
#include <new>

#include "ko/codec/tiff_tags.h"

namespace ko {

uint32_t TiffTypeSize(uint16_t type) {
  switch (type) {
    case kTiffByte: case kTiffAscii: case kTiffSByte: case kTiffUndefined: return 1;
    case kTiffShort: case kTiffSShort: return 2;
    case kTiffLong: case kTiffSLong: case kTiffFloat: case kTiffIfd: return 4;
    case kTiffRational: case kTiffSRational: case kTiffDouble: return 8;
    default: return 0;
  }
}

const TiffEntry* TiffDirectory::Find(uint16_t tag) const {
  for (const TiffEntry& e : entries)
    if (e.tag == tag) return &e;
  return nullptr;
}

namespace {

constexpr uint64_t kHeaderBytes = 8;

class Parser {
 public:
  Parser(const uint8_t* data, size_t size, bool littleEndian, const TiffLimits& limits)
      : data_(data), size_(size), le_(littleEndian), limits_(limits) {}

  // True when n bytes starting at `at` lie inside the buffer (no overflow possible).
  bool Has(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }

  uint16_t U16(uint64_t at) const {
    const uint8_t* p = data_ + at;
    return le_ ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : static_cast<uint16_t>((p[0] << 8) | p[1]);
  }
  uint32_t U32(uint64_t at) const {
    const uint8_t* p = data_ + at;
    if (le_)
      return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
             (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
  }

  // Parses the directory at `offset` and the directories its pointer tags lead to. With
  // `next`, the offset of the following directory in the chain is read as well.
  HRESULT Directory(uint64_t offset, uint32_t depth, TiffDirectory* out, uint64_t* next) {
    if (depth > limits_.maxNesting) return E_KO_BADFORMAT;
    if (directories_ >= limits_.maxDirectories) return E_KO_BADFORMAT;
    ++directories_;
    // Any directory reached twice means a loop in the chain or the pointers.
    if (std::find(visited_.begin(), visited_.end(), offset) != visited_.end()) return E_KO_BADFORMAT;
    visited_.push_back(offset);
    if (offset < kHeaderBytes || !Has(offset, 2)) return E_KO_BADFORMAT;
    const uint32_t count = U16(offset);
    if (count > limits_.maxEntriesPerDirectory) return E_KO_BADFORMAT;
    const uint64_t tableBytes = 12ull * count + (next ? 4 : 0);
    if (!Has(offset + 2, tableBytes)) return E_KO_BADFORMAT;
    out->offset = offset;
    out->entries.clear();
    out->entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = offset + 2 + 12ull * i;
      TiffEntry entry;
      entry.tag = U16(at);
      entry.type = U16(at + 2);
      entry.count = U32(at + 4);
      const HRESULT hr = Value(at + 8, &entry);
      if (hr < 0) return hr;
      out->entries.push_back(std::move(entry));
    }
    if (next) *next = U32(offset + 2 + 12ull * count);
    for (const TiffEntry& e : out->entries) {
      HRESULT hr = S_OK;
      switch (e.tag) {
        case tiff_tag::kSubIfds: hr = Pointers(e, depth, UINT32_MAX, &out->subIfds); break;
        case tiff_tag::kExifIfd: hr = Pointers(e, depth, 1, &out->exifIfd); break;
        case tiff_tag::kGpsIfd: hr = Pointers(e, depth, 1, &out->gpsIfd); break;
        case tiff_tag::kInteropIfd: hr = Pointers(e, depth, 1, &out->interopIfd); break;
        default: break;
      }
      if (hr < 0) return hr;
    }
    return S_OK;
  }

 private:
  // Copies an entry's value (inline in the 4-byte field, or at the offset it holds) and
  // brings every element to little-endian order.
  HRESULT Value(uint64_t field, TiffEntry* entry) {
    const uint32_t elementSize = TiffTypeSize(entry->type);
    if (elementSize == 0) return S_OK;  // unknown type: kept without a value
    const uint64_t bytes = static_cast<uint64_t>(entry->count) * elementSize;
    uint64_t at = field;
    if (bytes > 4) {
      at = U32(field);
      if (!Has(at, bytes)) return E_KO_BADFORMAT;
    }
    if (bytes > limits_.maxValueBytes - std::min(valueBytes_, limits_.maxValueBytes)) return E_KO_BADFORMAT;
    valueBytes_ += bytes;
    entry->value.assign(data_ + at, data_ + at + bytes);
    // Rationals are pairs of 32-bit halves, each swapped on its own.
    const uint32_t unit =
        (entry->type == kTiffRational || entry->type == kTiffSRational) ? 4 : elementSize;
    if (!le_ && unit > 1)
      for (uint64_t i = 0; i < bytes; i += unit) std::reverse(&entry->value[i], &entry->value[i] + unit);
    return S_OK;
  }

  // Follows the directory offsets held by a pointer tag (LONG or IFD values).
  HRESULT Pointers(const TiffEntry& e, uint32_t depth, uint32_t maxCount, std::vector<TiffDirectory>* out) {
    if (e.type != kTiffLong && e.type != kTiffIfd) return S_OK;  // not a pointer: left as a value
    const uint32_t n = std::min(e.count, maxCount);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* p = &e.value[4ull * i];
      const uint32_t offset = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
      if (offset == 0) continue;  // writers use 0 for "none"
      out->emplace_back();
      const HRESULT hr = Directory(offset, depth + 1, &out->back(), nullptr);
      if (hr < 0) return hr;
    }
    return S_OK;
  }

  const uint8_t* data_;
  size_t size_;
  bool le_;
  const TiffLimits& limits_;
  uint32_t directories_ = 0;
  uint64_t valueBytes_ = 0;
  std::vector<uint64_t> visited_;
};

}  // namespace

HRESULT ParseTiff(const uint8_t* data, size_t size, TiffFile* out, const TiffLimits& limits) {
  if (!out || (!data && size)) return E_POINTER;
  out->chain.clear();
  if (size < kHeaderBytes) return E_KO_BADFORMAT;
  bool le;
  if (data[0] == 'I' && data[1] == 'I') le = true;
  else if (data[0] == 'M' && data[1] == 'M') le = false;
  else return E_KO_BADFORMAT;
  out->littleEndian = le;
  try {
    Parser parser(data, size, le, limits);
    if (parser.U16(2) != 42) return E_KO_BADFORMAT;
    uint64_t offset = parser.U32(4);
    if (offset == 0) return E_KO_BADFORMAT;  // a TIFF has at least one directory
    while (offset != 0) {
      out->chain.emplace_back();
      uint64_t next = 0;
      const HRESULT hr = parser.Directory(offset, 0, &out->chain.back(), &next);
      if (hr < 0) {
        out->chain.clear();
        return hr;
      }
      offset = next;
    }
  } catch (const std::bad_alloc&) {
    out->chain.clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ParseTiffDirectory(const uint8_t* data, size_t size, uint64_t offset, bool littleEndian,
                           TiffDirectory* out, const TiffLimits& limits) {
  if (!out || (!data && size)) return E_POINTER;
  *out = TiffDirectory();
  try {
    Parser parser(data, size, littleEndian, limits);
    const HRESULT hr = parser.Directory(offset, 0, out, nullptr);
    if (hr < 0) {
      *out = TiffDirectory();
      return hr;
    }
  } catch (const std::bad_alloc&) {
    *out = TiffDirectory();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace ko
