#include "ko/io/qxi_image_reader.h"

#include <cstring>

#include "ko/io/image_limits.h"

namespace ko {

namespace {

struct QxiHeader {
  int32_t version = 0;
  int32_t elementBytes = 0;
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int32_t elementsPerPixel = 0;
  int32_t reserved = 0;
  uint32_t kind = 0;
  int32_t width = 0;
  int32_t height = 0;
};

int HexDigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// scanf "%x": white space, an optional sign, an optional 0x prefix, hexadecimal digits.
bool ScanHex(CByteSource& s, uint32_t* value) {
  s.SkipSpace();
  bool negative = false;
  int c = s.Peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    s.Get();
    c = s.Peek();
  }
  bool sawDigit = false;
  if (c == '0') {
    s.Get();
    sawDigit = true;
    c = s.Peek();
    if (c == 'x' || c == 'X') {
      s.Get();
      sawDigit = false;  // "0x" alone is not a number
    }
  }
  uint64_t v = 0;
  bool overflow = false;
  for (int d = HexDigitValue(s.Peek()); d >= 0; d = HexDigitValue(s.Peek())) {
    s.Get();
    sawDigit = true;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > UINT32_MAX) {
      overflow = true;
      v = UINT32_MAX;
    }
  }
  if (!sawDigit || overflow) return false;
  *value = negative ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  return true;
}

// "%d %d %d %d %d %d %d %d %x", then the one character that ends the header line.
HRESULT ReadHeader(CByteSource& s, QxiHeader* h) {
  int32_t* fields[] = {&h->version, &h->elementBytes, &h->x0, &h->y0,
                       &h->x1, &h->y1, &h->elementsPerPixel, &h->reserved};
  for (int32_t* field : fields)
    if (!s.ScanInt(field)) return E_FAIL;
  if (!ScanHex(s, &h->kind)) return E_FAIL;
  s.Get();
  // Version 0 is the hexadecimal body, 1 the binary one; there are no others.
  if (h->version < 0 || h->version > 1 || h->elementBytes != 4) return E_FAIL;
  const int64_t w = static_cast<int64_t>(h->x1) - h->x0;
  const int64_t ht = static_cast<int64_t>(h->y1) - h->y0;
  if (w < INT32_MIN || w > INT32_MAX || ht < INT32_MIN || ht > INT32_MAX) return E_FAIL;
  h->width = static_cast<int32_t>(w);
  h->height = static_cast<int32_t>(ht);
  return S_OK;
}

}  // namespace

bool ReadQxiHexByte(CByteSource& s, uint8_t* value) {
  s.SkipSpace();
  const int high = s.Get();
  if (high < 0) return false;
  const int low = s.Get();
  if (low < 0) return false;
  auto digit = [](int c) { return c <= '`' ? c - 48 : c - 87; };
  *value = static_cast<uint8_t>(digit(high) * 16 + digit(low));
  return true;
}

void CQxiImageReader::UseMemory(const uint8_t* data, size_t size) {
  memoryData_ = data;
  memorySize_ = size;
  useMemory_ = true;
}

HRESULT CQxiImageReader::OpenSource(CByteSource* source) {
  if (useMemory_) {
    source->OpenMemory(memoryData_, memorySize_);
    return S_OK;
  }
  if (!fileName) return E_FAIL;
  return source->OpenFile(fileName, "rb");
}

HRESULT CQxiImageReader::Open(const char16_t* name) {
  const HRESULT base = CImageFileSubReader::Open(name);
  if (base < 0) return base;
  CByteSource source;
  HRESULT hr = OpenSource(&source);
  if (hr < 0) return hr;
  QxiHeader h;
  hr = ReadHeader(source, &h);
  if (hr >= 0) {
    width = h.width;
    height = h.height;
    if (h.kind == kKindRGBAFloat) {
      sourceElementType = kElemFloat;
      sourceBands = 4;
      sourceFormatFlags = 0x10000;
    } else if (h.kind == kKindFloatBands) {
      sourceElementType = kElemFloat;
      sourceBands = 1;
      sourceFormatFlags = 0;
    } else {
      hr = E_FAIL;
    }
  }
  if (source.Close() < 0) return E_FAIL;
  return hr;
}

namespace {

// Bytes of the body that the header promises, or UINT64_MAX when that does not even fit.
uint64_t BodyBytes(const QxiHeader& h, int32_t bands) {
  uint64_t total = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(h.width), static_cast<uint64_t>(h.height), &total) ||
      __builtin_mul_overflow(total, static_cast<uint64_t>(bands) * 4u, &total))
    return UINT64_MAX;
  return total;
}

HRESULT ReadBody(CByteSource& source, const QxiHeader& h, CImg* image) {
  int32_t bands;
  int32_t typeWord;
  if (h.kind == CQxiImageReader::kKindRGBAFloat) {
    if (h.elementsPerPixel != 1) return E_INVALIDARG;
    bands = 4;
    typeWord = kTypeRGBAFloat;
  } else if (h.kind == CQxiImageReader::kKindFloatBands) {
    bands = h.elementsPerPixel;
    typeWord = kElemFloat;
  } else {
    return E_FAIL;
  }
  // A body shorter than the header claims is refused before anything is allocated: the
  // binary body needs its bytes, the hexadecimal one two characters for each.
  if (h.width > 0 && h.height > 0 && bands > 0) {
    const int64_t remaining = source.Remaining();
    const uint64_t bytes = BodyBytes(h, bands);
    const uint64_t needed = h.version == 1 ? bytes : (bytes > UINT64_MAX / 2 ? UINT64_MAX : bytes * 2);
    if (remaining >= 0 && static_cast<uint64_t>(remaining) < needed) return E_FAIL;
  }
  HRESULT hr = CheckImageAllocation(h.width, h.height, bands, 4);
  if (hr < 0) return hr;
  hr = image->Create(h.width, h.height, bands, 4, typeWord, 0);
  if (hr < 0) return hr;
  const size_t rowBytes = static_cast<size_t>(image->width) * static_cast<size_t>(image->pixelSize);
  for (int32_t y = 0; y < image->height; ++y) {
    uint8_t* row = image->RowPtr(y);
    size_t done = 0;
    if (h.version == 1) {
      done = source.Read(row, rowBytes);
    } else {
      while (done < rowBytes && ReadQxiHexByte(source, row + done)) ++done;
    }
    if (done < rowBytes) {
      // The body ended early: the rows read stay, the rest is zero rather than whatever
      // the memory held.
      std::memset(row + done, 0, rowBytes - done);
      for (int32_t rest = y + 1; rest < image->height; ++rest) std::memset(image->RowPtr(rest), 0, rowBytes);
      return E_FAIL;
    }
  }
  return S_OK;
}

}  // namespace

HRESULT CQxiImageReader::ReadInto(CImg* image, int32_t) {
  if (!image) return E_POINTER;
  CByteSource source;
  HRESULT hr = OpenSource(&source);
  if (hr < 0) return hr;
  QxiHeader h;
  hr = ReadHeader(source, &h);
  if (hr >= 0) {
    // The size comes from the header just read, so the rows always fit the image even if
    // the file changed since Open.
    width = h.width;
    height = h.height;
    hr = ReadBody(source, h, image);
  }
  if (source.Close() < 0) return E_FAIL;
  return hr;
}

}  // namespace ko
