#include "ko/platform/wide_string.h"

namespace ko {

size_t WStrLen(const char16_t* s) {
  if (!s) return 0;
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

static char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

bool WStrEqualsIgnoreCase(const char16_t* a, const char16_t* b) {
  if (!a || !b) return a == b;
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (!*a) return true;
  }
}

std::u16string WStr(const char16_t* s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace ko
