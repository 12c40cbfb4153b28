// Reference-counted pixel memory: one owned heap block with an aligned start inside it,
// or a pointer to memory somebody else owns.
#pragma once
#include <cstdint>

namespace ko {

class CMemShare {
 public:
  CMemShare() = default;
  virtual ~CMemShare();
  CMemShare(const CMemShare&) = delete;
  CMemShare& operator=(const CMemShare&) = delete;

  virtual int32_t AddRef();
  // At zero the block deletes itself (it must have been created with new).
  virtual int32_t Release();

  // At least `size` usable bytes aligned for `alignMode` (1, 2: 16 bytes; 3, 4: 128).
  // An existing block of exactly the same allocation size is kept with its contents; a
  // new one starts zero-filled (a large one straight from the system). Null when the
  // allocation fails (the block is unchanged).
  void* Alloc(uint32_t size, int32_t alignMode, bool clear);
  // Points at external memory, which the block never frees.
  void* AttachExternal(void* memory);

  // The allocation size Alloc asks the heap for; false when it does not fit 32 bits.
  static bool AllocationSize(uint32_t size, int32_t alignMode, uint32_t* out);

  uint8_t* data = nullptr;
  void* rawBlock = nullptr;
  int32_t refCount = 1;
  uint32_t blockSize = 0;
  bool mapped = false;  // rawBlock came from KoMapLarge (a large block)

 private:
  void FreeBlock();
};

}  // namespace ko
