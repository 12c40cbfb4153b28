#include "ko/platform/platform_services.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

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

// ---------------------------------------------------------------------------------------
// Process-wide start-up

namespace {

// The flags are read without the lock once set (the common case: every reader's Open asks);
// starting and stopping happen under it, so two threads never both start a service.
struct PlatformState {
  std::mutex lock;
  std::atomic<bool> gdiplusStarted{false};
  uintptr_t gdiplusToken = 0;
  std::atomic<bool> comInitialized{false};
};
PlatformState g_platform;

void ShutdownPlatformServices() {
  std::lock_guard<std::mutex> hold(g_platform.lock);
  if (g_platform.gdiplusStarted.load(std::memory_order_relaxed)) {
    GdiplusShutdown(g_platform.gdiplusToken);
    g_platform.gdiplusStarted.store(false, std::memory_order_release);
  }
  if (g_platform.comInitialized.load(std::memory_order_relaxed)) {
    CoUninitialize();
    g_platform.comInitialized.store(false, std::memory_order_release);
  }
}

const bool g_exitHandlerRegistered = [] {
  std::atexit(ShutdownPlatformServices);
  return true;
}();

}  // namespace

void EnsureGdiplusStarted() {
  (void)g_exitHandlerRegistered;
  if (g_platform.gdiplusStarted.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> hold(g_platform.lock);
  if (g_platform.gdiplusStarted.load(std::memory_order_relaxed)) return;
  GdiplusStartupInput input;
  GdiplusStartup(&g_platform.gdiplusToken, &input, nullptr);
  g_platform.gdiplusStarted.store(true, std::memory_order_release);
}

void EnsureComInitialized() {
  if (g_platform.comInitialized.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> hold(g_platform.lock);
  if (g_platform.comInitialized.load(std::memory_order_relaxed)) return;
  if (CoInitializeEx(nullptr, 0) >= 0) g_platform.comInitialized.store(true, std::memory_order_release);
}

}  // namespace ko
