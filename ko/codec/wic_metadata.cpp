#include "ko/codec/wic_metadata.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ko/codec/tiff_tags.h"
#include "ko/platform/atomic.h"
#include "ko/platform/file_open.h"
#include "ko/platform/memory.h"

namespace ko {

const GUID kWicMetadataFormatIfd = {0x537396C6, 0x2D8A, 0x4BB6, {0x9B, 0xF8, 0x2F, 0x0A, 0x8E, 0x2A, 0x3A, 0xDF}};
const GUID kIidWicMetadataReader = {0x9204FE99, 0xD8FC, 0x4FD5, {0xA0, 0x01, 0x95, 0x36, 0xB0, 0x67, 0xA8, 0x99}};
const GUID kIidWicComponentFactory = {0x412D0C3A, 0x9650, 0x44FA, {0xAF, 0x5B, 0xDD, 0x2A, 0x06, 0xC8, 0xE8, 0xFB}};
const GUID kClsidWicImagingFactory = {0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};

// ---------------------------------------------------------------------------------------
// Objects

HRESULT CWicObject::QueryInterface(const GUID&, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return E_NOINTERFACE;
}

uint32_t CWicObject::AddRef() { return static_cast<uint32_t>(InterlockedIncrement(&refCount_)); }

uint32_t CWicObject::Release() {
  const int32_t n = InterlockedDecrement(&refCount_);
  if (n == 0) delete this;
  return static_cast<uint32_t>(n);
}

// ---------------------------------------------------------------------------------------
// Stream

CWicStream::~CWicStream() { KoFree(data_); }

HRESULT CWicStream::InitializeFromMemory(const uint8_t* data, size_t size) {
  if (initialized_) return kWicErrWrongState;
  if (!data && size) return E_INVALIDARG;
  if (size > kWicMaxStreamBytes) return E_OUTOFMEMORY;
  if (size) {
    data_ = static_cast<uint8_t*>(KoMalloc(size));
    if (!data_) return E_OUTOFMEMORY;
    std::memcpy(data_, data, size);
  }
  size_ = size;
  position_ = 0;
  initialized_ = true;
  return S_OK;
}

HRESULT CWicStream::InitializeFromFilename(const char16_t* name, uint32_t access) {
  if (initialized_) return kWicErrWrongState;
  if (!name) return E_INVALIDARG;
  if (access != kWicGenericRead) return E_INVALIDARG;
  FILE* file = KoWideFopen(name, "rb");
  if (!file) return HResultFromPlatformError(errno ? errno : ENOENT);
  struct stat info;
  HRESULT hr = S_OK;
  if (fstat(fileno(file), &info) != 0) hr = HResultFromPlatformError(errno);
  else if (S_ISDIR(info.st_mode)) hr = HResultFromPlatformError(EISDIR);
  else if (!S_ISREG(info.st_mode)) hr = E_ACCESSDENIED;  // a stream needs a size and seeking
  else if (static_cast<uint64_t>(info.st_size) > kWicMaxStreamBytes) hr = E_OUTOFMEMORY;
  uint8_t* bytes = nullptr;
  const size_t size = hr >= 0 ? static_cast<size_t>(info.st_size) : 0;
  if (hr >= 0 && size) {
    bytes = static_cast<uint8_t*>(KoMalloc(size));
    if (!bytes) hr = E_OUTOFMEMORY;
    else if (std::fread(bytes, 1, size, file) != size) hr = ferror(file) ? HResultFromPlatformError(EIO) : E_KO_READ;
  }
  std::fclose(file);
  if (hr < 0) {
    KoFree(bytes);
    return hr;
  }
  data_ = bytes;
  size_ = size;
  position_ = 0;
  initialized_ = true;
  return S_OK;
}

HRESULT CWicStream::Seek(int64_t move, int origin, uint64_t* newPosition) {
  int64_t base = 0;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = static_cast<int64_t>(position_); break;
    case 2: base = static_cast<int64_t>(size_); break;
    default: return E_INVALIDARG;
  }
  // Both operands are below 2^63 in magnitude only when this cannot overflow.
  if ((move > 0 && base > INT64_MAX - move) || base + move < 0) return E_INVALIDARG;
  position_ = static_cast<uint64_t>(base + move);
  if (newPosition) *newPosition = position_;
  return S_OK;
}

HRESULT CWicStream::Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!buffer && byteCount) return E_POINTER;
  const uint64_t left = position_ < size_ ? size_ - position_ : 0;
  const uint32_t n = left < byteCount ? static_cast<uint32_t>(left) : byteCount;
  if (n) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  if (bytesRead) *bytesRead = n;
  return n == byteCount ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------------------
// Metadata readers

HRESULT CWicMetadataReader::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGuid(iid, kIidWicMetadataReader)) {
    AddRef();
    *out = this;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

namespace {

// The parsed directory tree, shared by the reader of the top directory and every nested
// reader made from it.
class CIfdTree : public CWicObject {
 public:
  TiffDirectory root;
};

class CIfdReader : public CWicMetadataReader {
 public:
  CIfdReader(CIfdTree* tree, const TiffDirectory* dir) : tree_(tree), dir_(dir) { tree_->AddRef(); }

  HRESULT GetCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<uint32_t>(dir_->entries.size());
    return S_OK;
  }

  HRESULT GetValueByIndex(uint32_t index, PROPVARIANT* schema, PROPVARIANT* id, PROPVARIANT* value) override {
    if (index >= dir_->entries.size()) return E_INVALIDARG;
    const TiffEntry& e = dir_->entries[index];
    if (value) {
      std::memset(value, 0, sizeof *value);
      const HRESULT hr = MakeValue(e, value);
      if (hr < 0) return hr;
    }
    if (schema) std::memset(schema, 0, sizeof *schema);
    if (id) {
      std::memset(id, 0, sizeof *id);
      id->vt = VT_UI2;
      id->uiVal = e.tag;
    }
    return S_OK;
  }

 protected:
  ~CIfdReader() override { tree_->Release(); }

 private:
  const std::vector<TiffDirectory>* NestedFor(const TiffEntry& e) const {
    if (e.type != kTiffLong && e.type != kTiffIfd) return nullptr;
    switch (e.tag) {
      case tiff_tag::kSubIfds: return &dir_->subIfds;
      case tiff_tag::kExifIfd: return &dir_->exifIfd;
      case tiff_tag::kGpsIfd: return &dir_->gpsIfd;
      case tiff_tag::kInteropIfd: return &dir_->interopIfd;
      default: return nullptr;
    }
  }

  HRESULT MakeReader(const TiffDirectory* dir, PROPVARIANT* v) const {
    CIfdReader* reader = KoNew<CIfdReader>(tree_, dir);
    if (!reader) return E_OUTOFMEMORY;
    v->vt = VT_UNKNOWN;
    v->punkVal = static_cast<CWicObject*>(reader);
    return S_OK;
  }

  HRESULT MakeValue(const TiffEntry& e, PROPVARIANT* v) const {
    if (const std::vector<TiffDirectory>* nested = NestedFor(e); nested && !nested->empty()) {
      if (e.tag != tiff_tag::kSubIfds) return MakeReader(&(*nested)[0], v);
      auto* items = static_cast<PROPVARIANT*>(KoCalloc(nested->size() * sizeof(PROPVARIANT)));
      if (!items) return E_OUTOFMEMORY;
      v->vt = kVtVariantVector;
      v->ca.pElems = items;
      for (size_t i = 0; i < nested->size(); ++i) {
        const HRESULT hr = MakeReader(&(*nested)[i], &items[i]);
        if (hr < 0) {
          ClearWicVariant(v);
          return hr;
        }
        v->ca.cElems = static_cast<uint32_t>(i + 1);
      }
      return S_OK;
    }
    uint16_t vt = VT_EMPTY;
    switch (e.type) {
      case kTiffByte: vt = VT_UI1; break;
      case kTiffShort: vt = VT_UI2; break;
      case kTiffLong: case kTiffIfd: vt = VT_UI4; break;
      case kTiffRational: vt = VT_UI8; break;   // numerator low, denominator high
      case kTiffSByte: vt = VT_I1; break;
      case kTiffSShort: vt = VT_I2; break;
      case kTiffSLong: vt = VT_I4; break;
      case kTiffSRational: vt = VT_I8; break;  // numerator low, denominator high
      case kTiffFloat: vt = VT_R4; break;
      case kTiffDouble: vt = VT_R8; break;
      case kTiffAscii: return MakeString(e, v);
      case kTiffUndefined: return MakeBlob(e, v);
      default: return S_OK;  // unknown type: an empty variant
    }
    // The entry's bytes are little-endian elements; on a little-endian host they are the
    // native values (rational pairs pack as numerator | denominator << 32).
    const uint32_t size = TiffTypeSize(e.type);
    static_assert(std::endian::native == std::endian::little, "values are handed over as stored");
    if (e.count == 1) {
      v->vt = vt;
      std::memcpy(&v->bVal, e.value.data(), size);
      return S_OK;
    }
    void* elems = nullptr;
    if (!e.value.empty()) {
      elems = KoMalloc(e.value.size());
      if (!elems) return E_OUTOFMEMORY;
      std::memcpy(elems, e.value.data(), e.value.size());
    }
    v->vt = static_cast<uint16_t>(VT_VECTOR | vt);
    v->ca.cElems = e.count;
    v->ca.pElems = elems;
    return S_OK;
  }

  // ASCII: the text up to its first NUL (or all of it), always terminated.
  static HRESULT MakeString(const TiffEntry& e, PROPVARIANT* v) {
    const void* nul = e.value.empty() ? nullptr : std::memchr(e.value.data(), 0, e.value.size());
    const size_t n = nul ? static_cast<const uint8_t*>(nul) - e.value.data() : e.value.size();
    char* text = static_cast<char*>(KoMalloc(n + 1));
    if (!text) return E_OUTOFMEMORY;
    if (n) std::memcpy(text, e.value.data(), n);
    text[n] = 0;
    v->vt = VT_LPSTR;
    v->pszVal = text;
    return S_OK;
  }

  static HRESULT MakeBlob(const TiffEntry& e, PROPVARIANT* v) {
    uint8_t* bytes = nullptr;
    if (!e.value.empty()) {
      bytes = static_cast<uint8_t*>(KoMalloc(e.value.size()));
      if (!bytes) return E_OUTOFMEMORY;
      std::memcpy(bytes, e.value.data(), e.value.size());
    }
    v->vt = VT_BLOB;
    v->blob.cbSize = static_cast<uint32_t>(e.value.size());
    v->blob.pBlobData = bytes;
    return S_OK;
  }

  CIfdTree* tree_;
  const TiffDirectory* dir_;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Factory

HRESULT CWicComponentFactory::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGuid(iid, kIidWicComponentFactory)) {
    AddRef();
    *out = this;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT CWicComponentFactory::CreateStream(CWicStream** out) {
  if (!out) return E_POINTER;
  *out = KoNew<CWicStream>();
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CWicComponentFactory::CreateMetadataReader(const GUID& format, const GUID*, uint32_t options,
                                                   CWicStream* stream, CWicMetadataReader** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!stream) return E_INVALIDARG;
  if (!IsEqualGuid(format, kWicMetadataFormatIfd)) return kWicErrComponentNotFound;
  CWicRef<CIfdTree> tree(KoNew<CIfdTree>());
  if (!tree) return E_OUTOFMEMORY;
  const bool littleEndian = (options & kWicPersistBigEndian) == 0;
  const HRESULT hr =
      ParseTiffDirectory(stream->Data(), stream->Size(), stream->Position(), littleEndian, &tree->root);
  if (hr < 0) return hr;
  CIfdReader* reader = KoNew<CIfdReader>(tree.Get(), &tree->root);
  if (!reader) return E_OUTOFMEMORY;
  *out = reader;
  return S_OK;
}

HRESULT CoCreateWicInstance(const GUID& clsid, void* outer, uint32_t, const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return MakeCode(0x80040110u);  // CLASS_E_NOAGGREGATION
  if (!IsEqualGuid(clsid, kClsidWicImagingFactory)) return MakeCode(0x80040154u);  // REGDB_E_CLASSNOTREG
  CWicRef<CWicComponentFactory> factory(KoNew<CWicComponentFactory>());
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(iid, out);
}

// ---------------------------------------------------------------------------------------

void ClearWicVariant(PROPVARIANT* v) {
  if (!v) return;
  if (v->vt == kVtVariantVector) {
    auto* items = static_cast<PROPVARIANT*>(v->ca.pElems);
    for (uint32_t i = 0; items && i < v->ca.cElems; ++i) ClearWicVariant(&items[i]);
    KoFree(items);
  } else if (v->vt & VT_VECTOR) {
    KoFree(v->ca.pElems);
  } else {
    switch (v->vt) {
      case VT_LPSTR: KoFree(v->pszVal); break;
      case VT_LPWSTR: KoFree(v->pwszVal); break;
      case VT_BLOB: KoFree(v->blob.pBlobData); break;
      case VT_CLSID: KoFree(v->puuid); break;
      case VT_UNKNOWN:
        if (v->punkVal) static_cast<CWicObject*>(v->punkVal)->Release();
        break;
      default: break;
    }
  }
  std::memset(v, 0, sizeof *v);
}

}  // namespace ko
