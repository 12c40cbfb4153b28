// A bounded wide formatter with the conventions of the platform the library comes from:
// in a wide format "%s" takes a wide (char16_t) string, "%S" a narrow string that is
// converted (as a path, see path_codec.h), "%c" a wide and "%C" a narrow character.
// Integer and floating conversions, flags, width, precision and the length modifiers
// hh, h, l, ll, z, j, t, L and I64 behave as in C.
#pragma once
#include <cstdarg>
#include <cstddef>

namespace ko {

// Formats into dst, writing at most maxChars characters and then a terminator (dst holds
// maxChars + 1 units). Returns the length of the complete formatted text, which exceeds
// maxChars when it was cut, or -1 for a malformed format (dst then holds what was made).
int FormatWideV(char16_t* dst, size_t maxChars, const char16_t* format, va_list args);
int FormatWide(char16_t* dst, size_t maxChars, const char16_t* format, ...);

}  // namespace ko
