#include "ko/platform/guid.h"

namespace ko {

void GuidToBytes(const GUID& g, uint8_t out[16]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(g.Data1 >> (8 * i));
  out[4] = static_cast<uint8_t>(g.Data2);
  out[5] = static_cast<uint8_t>(g.Data2 >> 8);
  out[6] = static_cast<uint8_t>(g.Data3);
  out[7] = static_cast<uint8_t>(g.Data3 >> 8);
  std::memcpy(out + 8, g.Data4, 8);
}

GUID GuidFromBytes(const uint8_t in[16]) {
  GUID g{};
  for (int i = 0; i < 4; ++i) g.Data1 |= static_cast<uint32_t>(in[i]) << (8 * i);
  g.Data2 = static_cast<uint16_t>(in[4] | (in[5] << 8));
  g.Data3 = static_cast<uint16_t>(in[6] | (in[7] << 8));
  std::memcpy(g.Data4, in + 8, 8);
  return g;
}

}  // namespace ko
