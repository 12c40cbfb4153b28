// UTF-16 text helpers. Wide text in this library is char16_t, NUL-terminated.
#pragma once
#include <cstddef>
#include <string>

namespace ko {

size_t WStrLen(const char16_t* s);
// Case-insensitive comparison of ASCII letters; other units compare as they are.
bool WStrEqualsIgnoreCase(const char16_t* a, const char16_t* b);
// The text as a std::u16string (empty for null).
std::u16string WStr(const char16_t* s);

}  // namespace ko
