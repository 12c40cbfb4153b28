// Narrow-to-wide text conversion with the platform's calling conventions. The system's
// ANSI code page is UTF-8 here, so every code page this accepts decodes UTF-8 to UTF-16.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ko {

constexpr uint32_t CP_ACP = 0;         // the system's ANSI code page (UTF-8)
constexpr uint32_t CP_OEMCP = 1;       // the console code page (UTF-8 as well)
constexpr uint32_t CP_THREAD_ACP = 3;  // the thread's ANSI code page (UTF-8 as well)
constexpr uint32_t CP_UTF8 = 65001;

// Fail on bytes that are not UTF-8 instead of replacing them.
constexpr uint32_t MB_ERR_INVALID_CHARS = 0x8;

// Last-error values this code sets.
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_ARITHMETIC_OVERFLOW = 534;
constexpr uint32_t ERROR_INVALID_FLAGS = 1004;
constexpr uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;

// The calling thread's last error, set by failing platform calls and left alone by
// successful ones.
uint32_t GetLastError();
void SetLastError(uint32_t error);

// Converts `multiByteCount` bytes (-1: up to and including the terminating NUL, which is
// then converted too) into UTF-16. With `wideCount` 0 nothing is written and the number of
// units needed is returned; otherwise at most `wideCount` units are written and their
// number returned. 0 means failure, with the reason in GetLastError():
// ERROR_INVALID_PARAMETER (null text, a count of 0 or below -1, a negative `wideCount`, a
// null buffer with a nonzero `wideCount`, an unknown code page), ERROR_INVALID_FLAGS,
// ERROR_INSUFFICIENT_BUFFER (the units that fitted may have been written),
// ERROR_NO_UNICODE_TRANSLATION (bad bytes with MB_ERR_INVALID_CHARS).
// Without MB_ERR_INVALID_CHARS every maximal ill-formed part of a sequence becomes one
// U+FFFD, so any byte string converts. No byte after the terminator (or after the given
// count) is ever read.
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* multiByte, int multiByteCount,
                        char16_t* wide, int wideCount);

// One step of strict UTF-8 decoding (no overlong forms, no encoded surrogates, nothing
// above U+10FFFF). When the bytes at `s` begin a well-formed sequence, `valid` is true,
// `length` its byte count and `codePoint` its value. Otherwise `length` covers the longest
// start of a well-formed sequence found there (at least 1 byte) and `codePoint` is U+FFFD.
// `available` must be at least 1; reading stops at the first byte that cannot continue the
// sequence, so a NUL ends it.
struct Utf8Step {
  uint32_t codePoint;
  uint32_t length;
  bool valid;
};
Utf8Step DecodeUtf8Step(const unsigned char* s, size_t available);

}  // namespace ko
