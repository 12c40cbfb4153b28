// The library's object files: a 48-byte header, a tree of descriptive records, a chain of
// index blocks locating each object, and the objects' own serialised forms. CObjFileSrc
// hands the objects out one by one, in order or by index, keeping the most recently read
// ones in a small cache.
//
// Layout (little-endian; offsets are 64-bit positions from the start of the file):
//   header       48 bytes: 0-31 opaque, 32-39 record tree offset, 40-47 first index block
//                offset; either offset 0 means the file holds no objects.
//   record node  68 opaque bytes, data length L (32-bit), L bytes, child count N (32-bit),
//                then N child nodes laid out the same way.
//   index block  next block offset (0 = last), 256 object offsets, 256 object sizes
//                (32-bit, a read-ahead hint). Objects of the last block end at its first
//                zero offset.
//   object       24-byte descriptor (six 32-bit values), 16-byte class identifier, then the
//                object's own persistent form.
#pragma once
#include <cstdint>

#include "ko/core/obj.h"
#include "ko/platform/stream.h"

namespace ko {

constexpr uint32_t kObjFileHeaderBytes = 48;
constexpr uint32_t kRecordNodeHeaderBytes = 68;
constexpr int32_t kIndexBlockEntries = 256;
constexpr uint32_t kIndexBlockBytes = 8 + kIndexBlockEntries * 8 + kIndexBlockEntries * 4;
constexpr uint32_t kObjDescriptorBytes = 24;
constexpr uint32_t kObjRecordPrefixBytes = kObjDescriptorBytes + 16;

// Limits on what a file may declare. A record tree deeper than this, or with more nodes,
// is refused as malformed; real trees are a few levels deep.
constexpr int32_t kMaxRecordDepth = 64;
constexpr uint32_t kMaxRecordNodes = 1u << 18;

struct SObjDescriptor {
  uint32_t values[6];
};

struct SObjRecordNode {
  SObjRecordNode() = default;
  ~SObjRecordNode();
  SObjRecordNode(const SObjRecordNode&) = delete;
  SObjRecordNode& operator=(const SObjRecordNode&) = delete;

  uint8_t header[kRecordNodeHeaderBytes] = {};
  uint32_t dataLength = 0;
  uint8_t* data = nullptr;  // owned, dataLength bytes; null when 0
  uint32_t childCount = 0;
  SObjRecordNode* children = nullptr;  // owned array of childCount nodes
};

class IKoObjSrc {
 public:
  // Creates (or takes from the cache) the current object and advances. The caller owns
  // one reference of *object.
  virtual HRESULT GetNextObject(CObj** object, SObjDescriptor* descriptor) = 0;
  // Loads the current object into the caller's object of the same class and advances.
  virtual HRESULT LoadNextObject(CObj* object, SObjDescriptor* descriptor) = 0;
  // Owned by the source; null when the file holds no tree.
  virtual const SObjRecordNode* GetRecordTree() = 0;
  virtual int64_t GetObjectCount() = 0;
  // S_KO_END (the current index becomes the count) for an index at or past the end.
  virtual HRESULT SeekObject(int64_t index) = 0;

 protected:
  ~IKoObjSrc() = default;
};

class CObjFileSrc : public IKoObjSrc, public CErrorBase {
 public:
  CObjFileSrc();
  ~CObjFileSrc();
  CObjFileSrc(const CObjFileSrc&) = delete;
  CObjFileSrc& operator=(const CObjFileSrc&) = delete;

  // cacheSize: objects kept by GetNextObject; 0 counts as 1, negative is E_INVALIDARG.
  // A failure inside the index chain leaves the source open with the blocks read so far.
  HRESULT Open(const char16_t* path, int32_t cacheSize);
  // The same over a stream the caller opened; the source takes its own reference.
  HRESULT OpenStream(IStream* stream, int32_t cacheSize);
  void Close();
  bool IsOpen() const { return stream_ != nullptr; }

  HRESULT GetNextObject(CObj** object, SObjDescriptor* descriptor) override;
  HRESULT LoadNextObject(CObj* object, SObjDescriptor* descriptor) override;
  const SObjRecordNode* GetRecordTree() override { return recordTree_; }
  int64_t GetObjectCount() override { return objectCount_; }
  HRESULT SeekObject(int64_t index) override;

  int64_t GetCurrentIndex() const { return currentIndex_; }
  const uint8_t* Header() const { return header_; }

 private:
  struct SIndexBlock {
    int64_t firstIndex = 0;
    uint64_t fileOffset = 0;
    uint64_t nextOffset = 0;
    uint64_t offsets[kIndexBlockEntries] = {};
    uint32_t sizes[kIndexBlockEntries] = {};
    SIndexBlock* next = nullptr;
  };
  struct SCacheNode {
    CObj* object = nullptr;  // one reference held by the source
    SObjDescriptor descriptor = {};
    int64_t index = -1;
    SCacheNode* next = nullptr;
  };

  HRESULT Fail(HRESULT hr) { return lastError = hr; }
  HRESULT ReadExact(void* buffer, uint32_t byteCount);
  HRESULT SeekTo(uint64_t offset);
  HRESULT ReadRecordNode(SObjRecordNode* node, int32_t depth, uint64_t* position, uint32_t* nodesLeft);
  HRESULT ReadIndexChain(uint64_t firstOffset);
  HRESULT AllocateCache(int32_t size);
  // Positions the stream on the current object's persistent form.
  HRESULT ReadObjectPrefix(SObjDescriptor* descriptor, GUID* classId);
  // For an image at the stream's position: E_KO_READ when its declared pixels exceed the
  // rest of the file. The position is left unchanged.
  HRESULT CheckImageBacked(const GUID& classId);
  SCacheNode* FindCached(int64_t index);
  void MoveToFront(SCacheNode* node);
  void Advance();

  SObjRecordNode* recordTree_ = nullptr;
  IStream* stream_ = nullptr;
  IKoAsyncStream* asyncStream_ = nullptr;
  int64_t currentIndex_ = 0;
  int64_t objectCount_ = 0;
  SIndexBlock* firstBlock_ = nullptr;
  SIndexBlock* lastBlock_ = nullptr;
  SIndexBlock* currentBlock_ = nullptr;
  uint8_t header_[kObjFileHeaderBytes] = {};
  int32_t cacheSize_ = 1;
  SCacheNode* cacheList_ = nullptr;     // most recently used first
  SCacheNode* cacheStorage_ = nullptr;  // owned array of cacheSize_ nodes
  uint64_t fileSize_ = 0;
};

}  // namespace ko
