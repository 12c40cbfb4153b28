// Stand-ins for the process-wide start-up and shut-down of the platform imaging services
// (the GDI+-style codec layer and the COM-style component runtime). On this platform the
// codec libraries need no global start-up, so these only record that they were asked.
// Readers do not call them directly: they call EnsureGdiplusStarted / EnsureComInitialized,
// which start each service once per process and stop it at process exit.
#pragma once
#include <cstdint>

#include "ko/platform/hresult.h"

namespace ko {

struct GdiplusStartupInput {
  uint32_t GdiplusVersion = 1;
  void* DebugEventCallback = nullptr;
  int32_t SuppressBackgroundThread = 0;
  int32_t SuppressExternalCodecs = 0;
};

// Returns status 0 (Ok) and a token.
int32_t GdiplusStartup(uintptr_t* token, const GdiplusStartupInput* input, void* output);
void GdiplusShutdown(uintptr_t token);

HRESULT CoInitializeEx(void* reserved, uint32_t concurrencyModel);
void CoUninitialize();

// How many start-ups are currently outstanding (test support).
int GdiplusActiveCount();
int ComActiveCount();

// Start the platform imaging services once per process; stopped at process exit. Safe to
// call from several threads at once: exactly one start-up happens, and every caller
// returns after it. A COM start-up that fails is tried again by the next call.
void EnsureGdiplusStarted();
void EnsureComInitialized();

}  // namespace ko
