// 16-byte class and interface identifiers, laid out in memory as the stored form:
// Data1..Data3 little-endian, then the eight Data4 bytes.
#pragma once
#include <cstdint>
#include <cstring>

namespace ko {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

// 1 for equal identifiers, 0 otherwise (byte for byte).
inline int IsEqualGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, 16) == 0 ? 1 : 0; }

// The stored little-endian 16 bytes of an identifier, independent of host byte order.
void GuidToBytes(const GUID& g, uint8_t out[16]);
GUID GuidFromBytes(const uint8_t in[16]);

}  // namespace ko
