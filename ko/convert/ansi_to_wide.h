// Text in the system's ANSI code page (UTF-8 here) as a new UTF-16 string.
#pragma once
#include "ko/platform/hresult.h"

namespace ko {

// Converts the NUL-terminated `text`, terminator included, into a new wide string stored
// in `*out`, which the caller frees with delete[]. Bytes that are not UTF-8 become U+FFFD.
// E_INVALIDARG for a null argument, E_OUTOFMEMORY when the string cannot be allocated
// (`*out` is then null), otherwise the platform's failure as a result code.
HRESULT AnsiToWide(const char* text, char16_t** out);

}  // namespace ko
