#include "ko/core/mem_share.h"

#include <cstring>

#include "ko/platform/atomic.h"
#include "ko/platform/memory.h"

namespace ko {

namespace {

// Blocks from here on are mapped: planes of a megapixel image and up.
constexpr uint32_t kMappedBytes = uint32_t{4} << 20;

}  // namespace

CMemShare::~CMemShare() { FreeBlock(); }

void CMemShare::FreeBlock() {
  if (mapped) KoUnmapLarge(rawBlock, blockSize);
  else KoFree(rawBlock);
  rawBlock = nullptr;
  mapped = false;
}

int32_t CMemShare::AddRef() { return InterlockedIncrement(&refCount); }

int32_t CMemShare::Release() {
  const int32_t n = InterlockedDecrement(&refCount);
  if (n == 0) {
    delete this;
    return 0;
  }
  return n;
}

bool CMemShare::AllocationSize(uint32_t size, int32_t alignMode, uint32_t* out) {
  uint64_t total = size;
  if (alignMode == 1 || alignMode == 2) total = (static_cast<uint64_t>(size) & ~uint64_t{15}) + 32;
  else if (alignMode == 3 || alignMode == 4) total = ((static_cast<uint64_t>(size) + 127) & ~uint64_t{127}) + 128;
  if (total > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(total);
  return true;
}

void* CMemShare::Alloc(uint32_t size, int32_t alignMode, bool clear) {
  uint32_t total = 0;
  if (!AllocationSize(size, alignMode, &total)) return nullptr;
  if (!rawBlock || blockSize != total) {
    // New memory starts zero-filled so that nothing uninitialised can reach a result.
    const bool large = total >= kMappedBytes;
    void* fresh = large ? KoMapLarge(total) : KoCalloc(total == 0 ? 1 : total);
    if (!fresh) return nullptr;
    FreeBlock();
    rawBlock = fresh;
    mapped = large;
    blockSize = total;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(rawBlock);
  if (alignMode == 1 || alignMode == 2) start = (start + 15) & ~uintptr_t{15};
  else if (alignMode == 3 || alignMode == 4) start = (start + 127) & ~uintptr_t{127};
  data = reinterpret_cast<uint8_t*>(start);
  if (clear && size) std::memset(data, 0, size);
  return data;
}

void* CMemShare::AttachExternal(void* memory) {
  FreeBlock();
  blockSize = 0;
  data = static_cast<uint8_t*>(memory);
  return memory;
}

}  // namespace ko
