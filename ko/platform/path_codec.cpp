#include "ko/platform/path_codec.h"

#include <cstdint>
#include <cstring>

#include "ko/platform/multibyte.h"

namespace ko {

std::u16string DecodeNarrowPath(const char* narrow) {
  return narrow ? DecodeNarrowPath(narrow, std::strlen(narrow)) : std::u16string();
}

std::u16string DecodeNarrowPath(const char* narrow, size_t length) {
  std::u16string out;
  out.reserve(length);
  const auto* s = reinterpret_cast<const unsigned char*>(narrow);
  size_t i = 0;
  while (i < length) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    const Utf8Step step = DecodeUtf8Step(s + i, length - i);
    if (!step.valid) {
      // Only the first byte is escaped: decoding resumes at the next one.
      out.push_back(static_cast<char16_t>(0xDC00 + c));
      ++i;
      continue;
    }
    uint32_t cp = step.codePoint;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += step.length;
  }
  return out;
}

static void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string EncodeWidePath(const char16_t* wide) {
  std::string out;
  if (!wide) return out;
  for (size_t i = 0; wide[i]; ++i) {
    const uint32_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u - 0xDC00));  // an escaped raw byte
    } else {
      AppendUtf8(out, u);  // other lone surrogates keep their three-byte form
    }
  }
  return out;
}

std::string EncodeWidePath(const std::u16string& wide) { return EncodeWidePath(wide.c_str()); }

}  // namespace ko
