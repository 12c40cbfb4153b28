#include "ko/platform/platform_services.h"

#include <atomic>

namespace ko {
namespace {
std::atomic<int> g_gdiplus{0};
std::atomic<int> g_com{0};
}  // namespace

int32_t GdiplusStartup(uintptr_t* token, const GdiplusStartupInput* input, void*) {
  if (!token || !input) return 2;  // InvalidParameter
  *token = 1;
  ++g_gdiplus;
  return 0;
}

void GdiplusShutdown(uintptr_t token) {
  if (token && g_gdiplus > 0) --g_gdiplus;
}

HRESULT CoInitializeEx(void*, uint32_t) {
  ++g_com;
  return S_OK;
}

void CoUninitialize() {
  if (g_com > 0) --g_com;
}

int GdiplusActiveCount() { return g_gdiplus; }
int ComActiveCount() { return g_com; }

}  // namespace ko
