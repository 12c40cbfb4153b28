// Result codes in the HRESULT form: negative is failure, zero or positive success.
#pragma once
#include <cstdint>

namespace ko {

using HRESULT = int32_t;

constexpr HRESULT MakeCode(uint32_t v) { return static_cast<HRESULT>(v); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT S_KO_END = MakeCode(0x0FFF0001u);

constexpr HRESULT E_NOTIMPL = MakeCode(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeCode(0x80004002u);
constexpr HRESULT E_POINTER = MakeCode(0x80004003u);
constexpr HRESULT E_ABORT = MakeCode(0x80004004u);
constexpr HRESULT E_FAIL = MakeCode(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeCode(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = MakeCode(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = MakeCode(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeCode(0x80070057u);
constexpr HRESULT E_KO_BUFFERTOOSMALL = MakeCode(0x8007007Au);
constexpr HRESULT E_KO_READ = MakeCode(0x8FFF0002u);
constexpr HRESULT E_KO_BADFORMAT = MakeCode(0x8FFF0004u);
constexpr HRESULT E_KO_WRONGCLASS = MakeCode(0x8FFF0005u);
constexpr HRESULT E_KO_NOTFOUND = MakeCode(0x8FFF0006u);
constexpr HRESULT E_KO_NOTINIT = MakeCode(0x8FFF0009u);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// A positive platform error number n becomes 0x80070000 | (n & 0xFFFF); zero or a value
// that is already a result code is passed through.
constexpr HRESULT HResultFromPlatformError(int32_t n) {
  return n > 0 ? MakeCode(0x80070000u | (static_cast<uint32_t>(n) & 0xFFFFu)) : n;
}

// A short, stable name for a result code, for messages.
const char* ResultName(HRESULT hr);

}  // namespace ko
