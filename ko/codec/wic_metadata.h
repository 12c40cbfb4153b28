// A small imaging-component layer for reading TIFF directories as metadata: a component
// factory, a read-only stream over a file (or bytes) held in memory, and a metadata reader
// for one TIFF directory that yields (schema, identifier, value) triples as variants.
// Directories reached through SubIFDs (330), Exif (34665), GPS (34853) and Interop (40965)
// pointers come back as nested readers; SubIFDs as a vector of variants holding readers.
//
// Ownership follows the platform's object rules: objects are reference counted and start
// with one reference owned by whoever created them; variants filled by GetValueByIndex
// own their payload and are released with ClearWicVariant.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/tiff_directory.h"
#include "ko/platform/guid.h"
#include "ko/platform/hresult.h"
#include "ko/platform/propvariant.h"

namespace ko {

// {537396C6-2D8A-4BB6-9BF8-2F0A8E2A3ADF}: the TIFF directory metadata format.
extern const GUID kWicMetadataFormatIfd;
// {9204FE99-D8FC-4FD5-A001-9536B067A899}: the metadata reader interface.
extern const GUID kIidWicMetadataReader;
// {412D0C3A-9650-44FA-AF5B-DD2A06C8E8FB}: the component factory interface.
extern const GUID kIidWicComponentFactory;
// {CACAF262-9370-4615-A13B-9F5539DA4C0A}: the imaging factory class.
extern const GUID kClsidWicImagingFactory;

constexpr uint32_t kWicGenericRead = 0x80000000u;
// Byte-order option of a metadata reader (the default is little-endian).
constexpr uint32_t kWicPersistBigEndian = 0x1u;
constexpr HRESULT kWicErrComponentNotFound = MakeCode(0x88982F50u);
constexpr HRESULT kWicErrWrongState = MakeCode(0x88982F04u);
// A VT_UNKNOWN vector element type: variants.
constexpr uint16_t kVtVariantVector = VT_VECTOR | VT_VARIANT;

// Files larger than this are not loaded into a stream.
constexpr uint64_t kWicMaxStreamBytes = 1ull << 30;

class CWicObject {
 public:
  CWicObject() = default;
  CWicObject(const CWicObject&) = delete;
  CWicObject& operator=(const CWicObject&) = delete;

  // The default answers E_NOINTERFACE; on success *out holds a new reference.
  virtual HRESULT QueryInterface(const GUID& iid, void** out);
  uint32_t AddRef();
  uint32_t Release();  // deletes the object with its last reference

 protected:
  virtual ~CWicObject() = default;

 private:
  int32_t refCount_ = 1;
};

// Releases what a pointer holds when it goes out of scope.
template <class T>
class CWicRef {
 public:
  CWicRef() = default;
  explicit CWicRef(T* p) : p_(p) {}
  ~CWicRef() { Reset(); }
  CWicRef(const CWicRef&) = delete;
  CWicRef& operator=(const CWicRef&) = delete;
  void Reset(T* p = nullptr) {
    if (p_) p_->Release();
    p_ = p;
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T** Out() {
    Reset();
    return &p_;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A read-only stream over bytes it owns.
class CWicStream : public CWicObject {
 public:
  // Loads the whole file. `access` must be kWicGenericRead. A second initialisation is
  // refused with kWicErrWrongState.
  HRESULT InitializeFromFilename(const char16_t* name, uint32_t access);
  // Copies the bytes.
  HRESULT InitializeFromMemory(const uint8_t* data, size_t size);
  // origin 0: from the start, 1: from the current position, 2: from the end. Positions
  // past the end are allowed (reads there deliver nothing); negative ones are refused.
  HRESULT Seek(int64_t move, int origin, uint64_t* newPosition);
  // S_OK when all was delivered, S_FALSE when the data ended first.
  HRESULT Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead);

  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  uint64_t Position() const { return position_; }

 protected:
  ~CWicStream() override;

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint64_t position_ = 0;
  bool initialized_ = false;
};

// A source of metadata items.
class CWicMetadataReader : public CWicObject {
 public:
  // Answers kIidWicMetadataReader.
  HRESULT QueryInterface(const GUID& iid, void** out) override;
  virtual HRESULT GetCount(uint32_t* count) = 0;
  // Any of the three outputs may be null. The variants receive owned copies.
  virtual HRESULT GetValueByIndex(uint32_t index, PROPVARIANT* schema, PROPVARIANT* id, PROPVARIANT* value) = 0;
};

class CWicComponentFactory : public CWicObject {
 public:
  HRESULT QueryInterface(const GUID& iid, void** out) override;
  HRESULT CreateStream(CWicStream** out);
  // A reader for the TIFF directory at the stream's current position, parsed with its
  // nested directories (offsets are relative to the stream's start). Only
  // kWicMetadataFormatIfd is known; `vendor` is ignored. A malformed directory gives
  // E_KO_BADFORMAT.
  HRESULT CreateMetadataReader(const GUID& format, const GUID* vendor, uint32_t options, CWicStream* stream,
                               CWicMetadataReader** out);
};

// Stands in for creating a platform class instance: kClsidWicImagingFactory with
// kIidWicComponentFactory gives a CWicComponentFactory.
HRESULT CoCreateWicInstance(const GUID& clsid, void* outer, uint32_t context, const GUID& iid, void** out);

// Frees a variant's payload (strings, blobs, vectors, nested objects) and empties it.
void ClearWicVariant(PROPVARIANT* v);

}  // namespace ko
