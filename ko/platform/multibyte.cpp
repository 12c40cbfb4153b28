#include "ko/platform/multibyte.h"

#include <climits>
#include <cstring>

namespace ko {
namespace {

thread_local uint32_t t_lastError = 0;

bool IsUtf8CodePage(uint32_t codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

int Fail(uint32_t error) {
  t_lastError = error;
  return 0;
}

}  // namespace

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

Utf8Step DecodeUtf8Step(const unsigned char* s, size_t available) {
  const uint32_t c = s[0];
  if (c < 0x80) return {c, 1, true};
  // The second byte's range depends on the lead; it is what excludes overlong forms
  // (E0, F0), surrogates (ED) and values above U+10FFFF (F4).
  int need = 0;
  uint32_t cp = 0;
  uint32_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {0xFFFD, 1, false};
  }
  uint32_t length = 1;
  for (int k = 0; k < need; ++k) {
    if (length >= available) return {0xFFFD, length, false};
    const uint32_t t = s[length];
    if (t < lo || t > hi) return {0xFFFD, length, false};
    cp = (cp << 6) | (t & 0x3F);
    ++length;
    lo = 0x80;
    hi = 0xBF;
  }
  return {cp, length, true};
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* multiByte, int multiByteCount,
                        char16_t* wide, int wideCount) {
  if (!multiByte || multiByteCount == 0 || multiByteCount < -1 || wideCount < 0 || (wideCount > 0 && !wide))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!IsUtf8CodePage(codePage)) return Fail(ERROR_INVALID_PARAMETER);
  if (flags & ~MB_ERR_INVALID_CHARS) return Fail(ERROR_INVALID_FLAGS);
  const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;

  const size_t length = multiByteCount == -1 ? std::strlen(multiByte) + 1 : static_cast<size_t>(multiByteCount);
  const auto* s = reinterpret_cast<const unsigned char*>(multiByte);
  size_t units = 0;
  for (size_t i = 0; i < length;) {
    const Utf8Step step = DecodeUtf8Step(s + i, length - i);
    i += step.length;
    if (!step.valid && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    const size_t n = step.codePoint >= 0x10000 ? 2 : 1;
    if (units + n > static_cast<size_t>(INT_MAX)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    if (wideCount > 0) {
      if (units + n > static_cast<size_t>(wideCount)) return Fail(ERROR_INSUFFICIENT_BUFFER);
      if (n == 2) {
        const uint32_t v = step.codePoint - 0x10000;
        wide[units] = static_cast<char16_t>(0xD800 + (v >> 10));
        wide[units + 1] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
      } else {
        wide[units] = static_cast<char16_t>(step.codePoint);
      }
    }
    units += n;
  }
  return static_cast<int>(units);
}

}  // namespace ko
