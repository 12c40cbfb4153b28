#include "ko/io/image_limits.h"

namespace ko {
namespace {

thread_local ImageSizeGate g_gate = nullptr;
thread_local void* g_gateContext = nullptr;

}  // namespace

void SetImageSizeGate(ImageSizeGate gate, void* context) {
  g_gate = gate;
  g_gateContext = context;
}

HRESULT CheckImageAllocation(int32_t width, int32_t height, int32_t bands, int32_t elementBytes) {
  if (!WithinImageLimits(width, height, bands, elementBytes)) return E_OUTOFMEMORY;
  if (width < 1 || height < 1 || bands < 1 || elementBytes < 1 || !g_gate) return S_OK;
  return g_gate(width, height, bands, elementBytes, g_gateContext);
}

}  // namespace ko
