#include "ko/io/obj_file_src.h"

#include <cstring>

#include "ko/platform/byte_order.h"
#include "ko/core/img.h"
#include "ko/core/obj_factory.h"
#include "ko/platform/ko_stream.h"
#include "ko/platform/memory.h"

namespace ko {

namespace {

// The smallest record node: its header, data length and child count.
constexpr uint64_t kMinRecordNodeBytes = kRecordNodeHeaderBytes + 4 + 4;

}  // namespace

SObjRecordNode::~SObjRecordNode() {
  KoFree(data);
  delete[] children;
}

CObjFileSrc::CObjFileSrc() {
  const double initial = 10.0;
  uint64_t bits;
  std::memcpy(&bits, &initial, sizeof bits);
  PutLE64(header_ + 16, bits);
}

CObjFileSrc::~CObjFileSrc() { Close(); }

void CObjFileSrc::Close() {
  delete recordTree_;
  recordTree_ = nullptr;
  if (asyncStream_) asyncStream_->Release();
  asyncStream_ = nullptr;
  if (stream_) stream_->Release();
  stream_ = nullptr;
  while (firstBlock_) {
    SIndexBlock* next = firstBlock_->next;
    delete firstBlock_;
    firstBlock_ = next;
  }
  lastBlock_ = currentBlock_ = nullptr;
  for (SCacheNode* node = cacheList_; node; node = node->next)
    if (node->object) node->object->Release();
  delete[] cacheStorage_;
  cacheStorage_ = nullptr;
  cacheList_ = nullptr;
  currentIndex_ = 0;
  objectCount_ = 0;
  fileSize_ = 0;
}

HRESULT CObjFileSrc::ReadExact(void* buffer, uint32_t byteCount) {
  uint32_t got = 0;
  const HRESULT hr = stream_->Read(buffer, byteCount, &got);
  if (hr < 0) return hr;
  if (hr == S_FALSE || got != byteCount) return E_KO_READ;
  return S_OK;
}

HRESULT CObjFileSrc::SeekTo(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return E_FAIL;
  return stream_->Seek(static_cast<int64_t>(offset), STREAM_SEEK_SET, nullptr);
}

HRESULT CObjFileSrc::Open(const char16_t* path, int32_t cacheSize) {
  if (!path) return Fail(E_POINTER);
  if (cacheSize < 0) return Fail(E_INVALIDARG);
  Close();
  CKoStream* stream = nullptr;
  const HRESULT hr = CKoStream::Create(path, &stream, 0);
  if (hr < 0) return Fail(hr);
  const HRESULT opened = OpenStream(stream, cacheSize);
  stream->Release();
  return opened;
}

HRESULT CObjFileSrc::OpenStream(IStream* stream, int32_t cacheSize) {
  if (!stream) return Fail(E_POINTER);
  if (cacheSize < 0) return Fail(E_INVALIDARG);
  Close();
  stream->AddRef();
  stream_ = stream;
  void* async = nullptr;
  if (stream_->QueryInterface(IID_IKoAsyncStream, &async) >= 0) asyncStream_ = static_cast<IKoAsyncStream*>(async);

  // Every offset and length in the file is checked against its size before use.
  uint64_t size = 0;
  HRESULT hr = stream_->Seek(0, STREAM_SEEK_END, &size);
  if (hr >= 0) hr = stream_->Seek(0, STREAM_SEEK_SET, nullptr);
  if (hr < 0) {
    Close();
    return Fail(hr);
  }
  fileSize_ = size;

  uint8_t header[kObjFileHeaderBytes];
  hr = ReadExact(header, kObjFileHeaderBytes);
  if (hr < 0) {
    Close();
    return Fail(hr);
  }
  std::memcpy(header_, header, kObjFileHeaderBytes);
  const uint64_t treeOffset = GetLE64(header + 32);
  const uint64_t indexOffset = GetLE64(header + 40);

  HRESULT chain = S_OK;
  if (treeOffset != 0 && indexOffset != 0) {
    hr = treeOffset > fileSize_ ? E_KO_READ : SeekTo(treeOffset);
    if (hr >= 0) {
      recordTree_ = KoNew<SObjRecordNode>();
      if (!recordTree_) hr = E_OUTOFMEMORY;
    }
    if (hr >= 0) {
      uint64_t position = treeOffset;
      uint32_t nodesLeft = kMaxRecordNodes - 1;
      hr = ReadRecordNode(recordTree_, 0, &position, &nodesLeft);
    }
    if (hr < 0) {
      Close();
      return Fail(hr);
    }
    chain = ReadIndexChain(indexOffset);
  }

  currentIndex_ = 0;
  currentBlock_ = firstBlock_;
  hr = AllocateCache(cacheSize == 0 ? 1 : cacheSize);
  if (chain < 0) return Fail(chain);
  if (hr < 0) return Fail(hr);
  return S_OK;
}

HRESULT CObjFileSrc::ReadRecordNode(SObjRecordNode* node, int32_t depth, uint64_t* position,
                                    uint32_t* nodesLeft) {
  if (depth >= kMaxRecordDepth) return E_KO_BADFORMAT;
  HRESULT hr = ReadExact(node->header, kRecordNodeHeaderBytes);
  uint8_t field[4];
  if (hr >= 0) hr = ReadExact(field, 4);
  if (hr < 0) return hr;
  *position += kRecordNodeHeaderBytes + 4;
  const uint32_t length = GetLE32(field);
  // Data the file cannot hold is never allocated; reading it would end short.
  if (*position > fileSize_ || length > fileSize_ - *position) return E_KO_READ;
  if (length) {
    node->data = static_cast<uint8_t*>(KoMalloc(length));
    if (!node->data) return E_OUTOFMEMORY;
    node->dataLength = length;
    hr = ReadExact(node->data, length);
    if (hr < 0) return hr;
    *position += length;
  }
  hr = ReadExact(field, 4);
  if (hr < 0) return hr;
  *position += 4;
  const uint32_t count = GetLE32(field);
  if (count == 0) return S_OK;
  if (count > *nodesLeft) return E_KO_BADFORMAT;
  if (*position > fileSize_ || count > (fileSize_ - *position) / kMinRecordNodeBytes) return E_KO_READ;
  *nodesLeft -= count;
  node->children = KoNewArray<SObjRecordNode>(count);
  if (!node->children) return E_OUTOFMEMORY;
  node->childCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    hr = ReadRecordNode(&node->children[i], depth + 1, position, nodesLeft);
    if (hr < 0) return hr;
  }
  return S_OK;
}

HRESULT CObjFileSrc::ReadIndexChain(uint64_t firstOffset) {
  // Blocks of a sound file do not overlap, so the file's size bounds their number; a
  // chain that returns to an earlier block is caught sooner by Brent's cycle test.
  const uint64_t maxBlocks = fileSize_ / kIndexBlockBytes;
  uint64_t blocks = 0;
  uint64_t saved = 0;  // offset remembered by the cycle test
  uint64_t power = 1, steps = 0;
  uint64_t offset = firstOffset;
  uint8_t raw[kIndexBlockBytes];
  while (offset != 0) {
    if (blocks > 0 && offset == saved) return E_KO_BADFORMAT;
    if (++steps == power) {
      saved = offset;
      power *= 2;
      steps = 0;
    }
    if (blocks >= maxBlocks) return fileSize_ < kIndexBlockBytes ? E_KO_READ : E_KO_BADFORMAT;
    if (offset > fileSize_ - kIndexBlockBytes) return E_KO_READ;
    HRESULT hr = SeekTo(offset);
    if (hr >= 0) hr = ReadExact(raw, kIndexBlockBytes);
    if (hr < 0) return hr;
    SIndexBlock* block = KoNew<SIndexBlock>();
    if (!block) return E_OUTOFMEMORY;
    block->firstIndex = static_cast<int64_t>(blocks) * kIndexBlockEntries;
    block->fileOffset = offset;
    block->nextOffset = GetLE64(raw);
    for (int32_t i = 0; i < kIndexBlockEntries; ++i) {
      block->offsets[i] = GetLE64(raw + 8 + 8 * i);
      block->sizes[i] = GetLE32(raw + 8 + 8 * kIndexBlockEntries + 4 * i);
    }
    if (lastBlock_)
      lastBlock_->next = block;
    else
      firstBlock_ = block;
    lastBlock_ = block;
    ++blocks;
    int32_t entries = kIndexBlockEntries;
    if (block->nextOffset == 0) {
      entries = 0;
      while (entries < kIndexBlockEntries && block->offsets[entries] != 0) ++entries;
    }
    objectCount_ += entries;
    offset = block->nextOffset;
  }
  return S_OK;
}

HRESULT CObjFileSrc::AllocateCache(int32_t size) {
  cacheStorage_ = KoNewArray<SCacheNode>(static_cast<size_t>(size));
  if (!cacheStorage_) return E_OUTOFMEMORY;
  cacheSize_ = size;
  for (int32_t i = 0; i + 1 < size; ++i) cacheStorage_[i].next = &cacheStorage_[i + 1];
  cacheList_ = cacheStorage_;
  return S_OK;
}

CObjFileSrc::SCacheNode* CObjFileSrc::FindCached(int64_t index) {
  for (SCacheNode* node = cacheList_; node; node = node->next)
    if (node->object && node->index == index) return node;
  return nullptr;
}

void CObjFileSrc::MoveToFront(SCacheNode* node) {
  if (node == cacheList_) return;
  for (SCacheNode* p = cacheList_; p; p = p->next) {
    if (p->next == node) {
      p->next = node->next;
      node->next = cacheList_;
      cacheList_ = node;
      return;
    }
  }
}

void CObjFileSrc::Advance() {
  ++currentIndex_;
  if (currentBlock_ && currentIndex_ - currentBlock_->firstIndex >= kIndexBlockEntries && currentBlock_->next)
    currentBlock_ = currentBlock_->next;
}

HRESULT CObjFileSrc::ReadObjectPrefix(SObjDescriptor* descriptor, GUID* classId) {
  const uint64_t offset = currentBlock_->offsets[currentIndex_ - currentBlock_->firstIndex];
  if (offset == 0) return E_KO_BADFORMAT;
  if (offset > fileSize_ || fileSize_ - offset < kObjRecordPrefixBytes) return E_KO_READ;
  HRESULT hr = SeekTo(offset);
  uint8_t raw[kObjRecordPrefixBytes];
  if (hr >= 0) hr = ReadExact(raw, kObjRecordPrefixBytes);
  if (hr < 0) return hr;
  for (int i = 0; i < 6; ++i) descriptor->values[i] = GetLE32(raw + 4 * i);
  *classId = GuidFromBytes(raw + kObjDescriptorBytes);
  return S_OK;
}

// An image's header declares its pixel count; the image would allocate all of it before
// finding the file too short. Refuse up front what the rest of the file cannot hold.
HRESULT CObjFileSrc::CheckImageBacked(const GUID& classId) {
  if (!IsEqualClassId(classId, CLSID_CImg)) return S_OK;
  uint64_t objectStart = 0;
  HRESULT hr = stream_->Seek(0, STREAM_SEEK_CUR, &objectStart);
  if (hr < 0) return hr;
  uint8_t raw[kObjRecordBytes + kImgHeaderBytes];
  uint32_t got = 0;
  hr = stream_->Read(raw, sizeof raw, &got);
  if (hr < 0) return hr;
  hr = SeekTo(objectStart);
  if (hr < 0) return hr;
  if (got != sizeof raw) return S_OK;  // the object's own Load reports the short record
  const auto w = static_cast<int32_t>(GetLE32(raw + kObjRecordBytes));
  const auto h = static_cast<int32_t>(GetLE32(raw + kObjRecordBytes + 4));
  const auto e = static_cast<int32_t>(GetLE32(raw + kObjRecordBytes + 8));
  const auto b = static_cast<int32_t>(GetLE32(raw + kObjRecordBytes + 12));
  if (w <= 0 || h <= 0 || e <= 0 || b <= 0) return S_OK;  // Create refuses these itself
  const uint64_t start = objectStart + sizeof raw;
  const uint64_t available = start <= fileSize_ ? fileSize_ - start : 0;
  // Each step divides instead of multiplying, so no product can overflow.
  const uint64_t pixel = static_cast<uint64_t>(e) * static_cast<uint64_t>(b);
  if (pixel > available || static_cast<uint64_t>(w) > available / pixel) return E_KO_READ;
  const uint64_t row = pixel * static_cast<uint64_t>(w);
  if (static_cast<uint64_t>(h) > available / row) return E_KO_READ;
  return S_OK;
}

HRESULT CObjFileSrc::LoadNextObject(CObj* object, SObjDescriptor* descriptor) {
  if (!object) return Fail(E_POINTER);
  if (!stream_) return Fail(E_KO_NOTINIT);
  if (currentIndex_ >= objectCount_) return S_KO_END;
  SObjDescriptor read;
  GUID classId;
  HRESULT hr = ReadObjectPrefix(&read, &classId);
  if (hr < 0) return Fail(hr);
  if (!IsEqualClassId(*object->GetClassId(), classId)) return Fail(E_KO_WRONGCLASS);
  hr = CheckImageBacked(classId);
  if (hr < 0) return Fail(hr);
  hr = object->Load(stream_);
  if (hr < 0) return Fail(hr);
  if (descriptor) *descriptor = read;
  Advance();
  return S_OK;
}

HRESULT CObjFileSrc::GetNextObject(CObj** object, SObjDescriptor* descriptor) {
  if (!object) return Fail(E_POINTER);
  *object = nullptr;
  if (!stream_) return Fail(E_KO_NOTINIT);
  if (currentIndex_ >= objectCount_) return S_KO_END;
  if (SCacheNode* cached = FindCached(currentIndex_)) {
    MoveToFront(cached);
    cached->object->AddRef();
    *object = cached->object;
    if (descriptor) *descriptor = cached->descriptor;
    Advance();
    return S_OK;
  }
  SObjDescriptor read;
  GUID classId;
  HRESULT hr = ReadObjectPrefix(&read, &classId);
  if (hr < 0) return Fail(hr);
  CObj* created = nullptr;
  hr = CreateObjectFromClassId(classId, &created);
  if (hr < 0) return Fail(hr);
  hr = CheckImageBacked(classId);
  if (hr < 0) {
    created->Release();
    return Fail(hr);
  }
  hr = created->Load(stream_);
  if (hr < 0) {
    created->Release();
    return Fail(hr);
  }
  SCacheNode* node = cacheList_;
  while (node && node->object && node->next) node = node->next;
  if (node) {
    if (node->object) node->object->Release();
    node->object = created;
    node->descriptor = read;
    node->index = currentIndex_;
    MoveToFront(node);
    created->AddRef();  // the cache keeps the created reference, the caller gets this one
  }
  *object = created;
  if (descriptor) *descriptor = read;
  Advance();
  return S_OK;
}

HRESULT CObjFileSrc::SeekObject(int64_t index) {
  if (!stream_) return Fail(E_KO_NOTINIT);
  if (index < 0) return Fail(E_INVALIDARG);
  if (index >= objectCount_) {
    currentIndex_ = objectCount_;
    currentBlock_ = lastBlock_;
    return S_KO_END;
  }
  SIndexBlock* block = index < currentBlock_->firstIndex ? firstBlock_ : currentBlock_;
  while (index - block->firstIndex >= kIndexBlockEntries && block->next) block = block->next;
  currentBlock_ = block;
  currentIndex_ = index;
  if (SCacheNode* cached = FindCached(index)) {
    MoveToFront(cached);
    return S_OK;
  }
  if (asyncStream_) {
    const int32_t entry = static_cast<int32_t>(index - block->firstIndex);
    const uint64_t offset = block->offsets[entry];
    // A hint for nothing the file holds would only fail the seek.
    if (offset == 0 || offset >= fileSize_) return S_OK;
    HRESULT hr = SeekTo(offset);
    if (hr >= 0) hr = asyncStream_->ReadAhead(block->sizes[entry]);
    if (hr < 0 && hr != E_NOTIMPL) return Fail(hr);
  }
  return S_OK;
}

}  // namespace ko
