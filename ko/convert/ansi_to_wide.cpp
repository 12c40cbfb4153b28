#include "ko/convert/ansi_to_wide.h"

#include <cstdint>

#include "ko/platform/memory.h"
#include "ko/platform/multibyte.h"

namespace ko {
namespace {

// The last error as a result code; a failure never comes back as success, even when the
// platform left no error behind.
HRESULT LastErrorResult() {
  const HRESULT hr = HResultFromPlatformError(static_cast<int32_t>(GetLastError()));
  return hr == S_OK ? E_FAIL : hr;
}

}  // namespace

HRESULT AnsiToWide(const char* text, char16_t** out) {
  if (!text || !out) return E_INVALIDARG;
  const int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (needed == 0) return LastErrorResult();
  // A byte count beyond 32 bits counts as a failed allocation.
  const uint64_t bytes = static_cast<uint64_t>(needed) * sizeof(char16_t);
  *out = bytes > UINT32_MAX ? nullptr : KoNewArray<char16_t>(static_cast<size_t>(needed));
  if (!*out) return E_OUTOFMEMORY;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, *out, needed) != 0) return S_OK;
  delete[] *out;
  *out = nullptr;
  return LastErrorResult();
}

}  // namespace ko
