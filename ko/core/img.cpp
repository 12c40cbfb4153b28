#include "ko/core/img.h"

#include <cstring>

#include "ko/core/byte_ops.h"
#include "ko/platform/byte_order.h"
#include "ko/platform/memory.h"

namespace ko {

const char* const kTypeNames[11] = {"unknown", "byte", "float", "int", "short", "gray",
                                    "color",   "XYZ",  "YUV",   "flow", "complex"};

int32_t ElementSizeOfType(int32_t typeWord) {
  switch (ElementTypeOf(typeWord)) {
    case kElemByte: return 1;
    case kElemFloat: case kElemInt: return 4;
    case kElemShort: return 2;
    default: return 0;
  }
}

CImg::CImg(int32_t align) : alignMode(align) {}

CImg::CImg(const CImg& other) : CImg(0) { Assign(other); }

CImg& CImg::operator=(const CImg& other) {
  Assign(other);
  return *this;
}

CImg::~CImg() {
  if (memShare) memShare->Release();
}

const GUID* CImg::GetClassId() const { return &CLSID_CImg; }

static void PutHeader(const CImg& img, uint8_t out[kImgHeaderBytes]) {
  PutLE32(out, static_cast<uint32_t>(img.width));
  PutLE32(out + 4, static_cast<uint32_t>(img.height));
  PutLE32(out + 8, static_cast<uint32_t>(img.elementSize));
  PutLE32(out + 12, static_cast<uint32_t>(img.bands));
}

void CImg::GetHeaderBlob(SHeaderBlob* out) const {
  if (!out) return;
  auto* blob = static_cast<uint8_t*>(KoMalloc(kImgHeaderBytes));
  if (!blob) {
    *out = SHeaderBlob{0, nullptr};
    return;
  }
  PutHeader(*this, blob);
  *out = SHeaderBlob{kImgHeaderBytes, blob};
}

HRESULT CImg::Create(int32_t w, int32_t h, int32_t b, int32_t elemSize, int32_t typeWord, int32_t align) {
  if (w <= 0 || h <= 0 || b <= 0) return lastError = E_INVALIDARG;
  const int64_t pixel = static_cast<int64_t>(b) * elemSize;
  const int64_t mask = align == 4 ? 127 : align == 2 ? 15 : 3;
  // A pixel of no bytes, or a negative element size, cannot hold anything.
  if (pixel <= 0 || pixel > INT32_MAX) return lastError = E_INVALIDARG;
  const int64_t rowBytes = (static_cast<int64_t>(w) * pixel + mask) & ~mask;
  const uint64_t total = static_cast<uint64_t>(rowBytes) * static_cast<uint64_t>(h);
  if (rowBytes > INT32_MAX || total > UINT32_MAX) return lastError = E_OUTOFMEMORY;
  if (memShare && memShare->refCount > 1) {
    memShare->Release();
    memShare = nullptr;
  }
  if (!memShare) {
    memShare = KoNew<CMemShare>();
    if (!memShare) return lastError = E_OUTOFMEMORY;
  }
  void* memory = memShare->Alloc(static_cast<uint32_t>(total), align, false);
  if (!memory) {
    delete memShare;
    memShare = nullptr;
    pixels = nullptr;
    return lastError = E_OUTOFMEMORY;
  }
  pixels = static_cast<uint8_t*>(memory);
  width = w;
  height = h;
  bands = b;
  elementSize = elemSize;
  pixelSize = static_cast<int32_t>(pixel);
  stride = static_cast<int32_t>(rowBytes);
  type = typeWord;
  alignMode = align;
  return S_OK;
}

HRESULT CImg::Attach(void* memory, int32_t w, int32_t h, int32_t b, int32_t rowStride, int32_t elemSize,
                     int32_t typeWord) {
  if (!memory) return S_OK;
  if (memShare && memShare->refCount > 1) {
    memShare->Release();
    memShare = nullptr;
  }
  if (!memShare) {
    memShare = KoNew<CMemShare>();
    if (!memShare) return lastError = E_OUTOFMEMORY;
  }
  memShare->AttachExternal(memory);
  pixels = static_cast<uint8_t*>(memory);
  width = w;
  height = h;
  bands = b;
  stride = rowStride;
  elementSize = elemSize;
  type = typeWord;
  pixelSize = b * elemSize;
  const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
  if (address & 15) alignMode = 0;
  else if (rowStride % 128 == 0) alignMode = 4;
  else if (rowStride % 16 == 0) alignMode = 2;
  else alignMode = (address & 127) ? 1 : 3;
  return S_OK;
}

int32_t CImg::Reset() {
  int32_t count = 0;
  if (memShare) count = memShare->Release();
  memShare = nullptr;
  pixels = nullptr;
  width = height = stride = alignMode = 0;
  return count;
}

RECT CImg::ClipRect(const RECT* rect) const {
  const RECT whole{0, 0, width, height};
  if (!rect) return whole;
  RECT r = *rect;
  if (r.right < r.left) std::swap(r.left, r.right);
  if (r.bottom < r.top) std::swap(r.top, r.bottom);
  RECT out;
  IntersectRect(&out, r, whole);
  return out;
}

HRESULT CImg::ShareRect(CImg* target, const RECT* rect) {
  if (!memShare) return lastError = E_KO_NOTINIT;
  const RECT r = ClipRect(rect);
  if (!target || target == this || IsRectEmpty(r)) return lastError = E_INVALIDARG;
  if (target->type == 0) {
    target->bands = bands;
    target->type = type;
    target->elementSize = elementSize;
    target->pixelSize = pixelSize;
  } else {
    if (target->elementSize <= 0 || pixelSize % target->elementSize != 0) return lastError = E_INVALIDARG;
    target->bands = pixelSize / target->elementSize;
    target->pixelSize = pixelSize;
  }
  memShare->AddRef();  // before the target lets go: it may hold this very block
  if (target->memShare) target->memShare->Release();
  target->memShare = memShare;
  target->params.Clear();
  target->params.Merge(&params);
  target->width = r.right - r.left;
  target->height = r.bottom - r.top;
  target->stride = stride;
  target->pixels = pixels + static_cast<intptr_t>(r.top) * stride + static_cast<intptr_t>(r.left) * pixelSize;
  target->alignMode = (r.top == 0 && target->width == width) ? alignMode : 0;
  return S_OK;
}

HRESULT CImg::Fill(const void* value, const RECT* rect, int32_t band, bool elementWise) {
  if (!memShare) return lastError = E_KO_NOTINIT;
  const RECT r = ClipRect(rect);
  if (IsRectEmpty(r)) return S_OK;
  if (!value) return lastError = E_POINTER;
  const int32_t n = r.right - r.left;
  if (band < 0 || bands == 1) {
    if (elementWise) {
      uint8_t* first = BandPtr(r.left, r.top, 0);
      const int64_t count = static_cast<int64_t>(n) * bands;
      for (int64_t i = 0; i < count; ++i) std::memcpy(first + i * elementSize, value, elementSize);
      for (int32_t y = r.top + 1; y < r.bottom; ++y)
        CopyBytes(BandPtr(r.left, y, 0), first, static_cast<size_t>(n) * pixelSize);
    } else {
      for (int32_t y = r.top; y < r.bottom; ++y) {
        uint8_t* p = BandPtr(r.left, y, 0);
        for (int32_t x = 0; x < n; ++x) std::memcpy(p + static_cast<intptr_t>(x) * pixelSize, value, pixelSize);
      }
    }
    return S_OK;
  }
  // Writing one band beyond the pixel would corrupt its neighbour.
  if (band >= bands) return lastError = E_INVALIDARG;
  for (int32_t y = r.top; y < r.bottom; ++y)
    for (int32_t x = r.left; x < r.right; ++x) std::memcpy(BandPtr(x, y, band), value, elementSize);
  return S_OK;
}

HRESULT CImg::Clear(const RECT* rect) {
  if (!memShare) return lastError = E_KO_NOTINIT;
  const RECT r = ClipRect(rect);
  const size_t bytes = static_cast<size_t>(r.right - r.left) * pixelSize;
  for (int32_t y = r.top; y < r.bottom; ++y) FillBytes(BandPtr(r.left, y, 0), 0, bytes);
  return S_OK;
}

HRESULT CImg::MakeCompatible(int32_t w, int32_t h, CImg* target) {
  if (!memShare) return lastError = E_KO_NOTINIT;
  if (!target || target == this) return lastError = E_INVALIDARG;
  if (!target->memShare) {
    const HRESULT hr = target->Create(w, h, bands, elementSize, type, alignMode);
    if (hr < 0) lastError = hr;
    return hr;
  }
  if (target->elementSize == elementSize && target->bands == bands &&
      ElementTypeOf(target->type) == ElementTypeOf(type))
    return S_OK;
  return lastError = E_INVALIDARG;
}

HRESULT CImg::CopyTo(CImg* target) {
  if (target == this) return S_OK;
  const HRESULT hr = MakeCompatible(width, height, target);
  if (hr < 0) return lastError = hr;
  const int32_t rows = height < target->height ? height : target->height;
  const int32_t cols = width < target->width ? width : target->width;
  for (int32_t y = 0; y < rows; ++y)
    CopyBytes(target->RowPtr(y), RowPtr(y), static_cast<size_t>(cols) * pixelSize);
  return S_OK;
}

void CImg::Assign(const CImg& other) {
  if (&other == this) return;
  const int32_t ownType = type;
  CopyHeader(other);
  if (ownType != 0) type = ownType;
  if (other.memShare) other.memShare->AddRef();
  if (memShare) memShare->Release();
  width = other.width;
  height = other.height;
  elementSize = other.elementSize;
  pixelSize = other.pixelSize;
  bands = other.bands;
  stride = other.stride;
  alignMode = other.alignMode;
  memShare = other.memShare;
  pixels = other.memShare ? other.pixels : nullptr;
}

void CImg::CopyHeader(const CObj& other) {
  type = other.type;
  lastError = 0;
  SetName(nullptr);
  if (other.name && SetName(other.name) < 0) lastError = E_OUTOFMEMORY;
}

HRESULT CImg::SetParams(const CParams* source) {
  if (!source) {
    params.Clear();
    return S_OK;
  }
  return params.Merge(source);
}

HRESULT CImg::Load(ISequentialStream* stream) {
  if (!stream) return S_OK;
  HRESULT hr = CObj::Load(stream);
  if (hr < 0) return lastError = hr;
  uint8_t header[kImgHeaderBytes];
  uint32_t got = 0;
  hr = stream->Read(header, kImgHeaderBytes, &got);
  if (hr < 0) return lastError = hr;
  if (hr == S_FALSE || got != kImgHeaderBytes) return lastError = E_KO_READ;
  const auto w = static_cast<int32_t>(GetLE32(header));
  const auto h = static_cast<int32_t>(GetLE32(header + 4));
  const auto e = static_cast<int32_t>(GetLE32(header + 8));
  const auto b = static_cast<int32_t>(GetLE32(header + 12));
  hr = Create(w, h, b, e, type, alignMode);
  if (hr < 0) return hr;
  const uint32_t rowBytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(pixelSize);
  for (int32_t y = 0; y < height; ++y) {
    hr = stream->Read(RowPtr(y), rowBytes, &got);
    if (hr < 0) return lastError = hr;
    if (hr == S_FALSE || got != rowBytes) return lastError = E_KO_READ;
  }
  return S_OK;
}

HRESULT CImg::Save(ISequentialStream* stream) {
  if (!stream) return S_OK;
  if (!memShare) return lastError = E_KO_NOTINIT;
  HRESULT hr = CObj::Save(stream);
  if (hr != S_OK) return lastError = hr;
  uint8_t header[kImgHeaderBytes];
  PutHeader(*this, header);
  uint32_t written = 0;
  hr = stream->Write(header, kImgHeaderBytes, &written);
  if (hr != S_OK) return lastError = hr;
  const uint32_t rowBytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(pixelSize);
  for (int32_t y = 0; y < height; ++y) {
    hr = stream->Write(RowPtr(y), rowBytes, &written);
    if (hr != S_OK) return lastError = hr;
  }
  return S_OK;
}

}  // namespace ko
