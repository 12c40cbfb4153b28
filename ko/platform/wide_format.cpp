#include "ko/platform/wide_format.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "ko/platform/path_codec.h"

namespace ko {
namespace {

class Sink {
 public:
  Sink(char16_t* dst, size_t maxChars) : dst_(dst), max_(maxChars) {}
  void Put(char16_t c) {
    if (dst_ && length_ < max_) dst_[length_] = c;
    ++length_;
  }
  void PutAscii(const char* s) {
    for (; *s; ++s) Put(static_cast<unsigned char>(*s));
  }
  void Pad(size_t n, char16_t c) {
    for (size_t i = 0; i < n; ++i) Put(c);
  }
  void Finish() {
    if (dst_) dst_[length_ < max_ ? length_ : max_] = 0;
  }
  size_t Length() const { return length_; }

 private:
  char16_t* dst_;
  size_t max_;
  size_t length_ = 0;
};

void PutPadded(Sink& sink, const char16_t* text, size_t n, int width, bool left) {
  const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  if (!left && w > n) sink.Pad(w - n, u' ');
  for (size_t i = 0; i < n; ++i) sink.Put(text[i]);
  if (left && w > n) sink.Pad(w - n, u' ');
}

}  // namespace

int FormatWideV(char16_t* dst, size_t maxChars, const char16_t* format, va_list args) {
  Sink sink(dst, maxChars);
  if (!format) {
    sink.Finish();
    return -1;
  }
  va_list ap;
  va_copy(ap, args);
  int result = 0;
  for (const char16_t* p = format; *p; ++p) {
    if (*p != u'%') {
      sink.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      sink.Put(u'%');
      continue;
    }
    std::string conversion = "%";
    bool left = false;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
      if (*p == u'-') left = true;
      conversion.push_back(static_cast<char>(*p++));
    }
    int width = -1;
    if (*p == u'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = -width;
        conversion.push_back('-');
      }
      conversion += std::to_string(width);
      ++p;
    } else if (*p >= u'0' && *p <= u'9') {
      width = 0;
      while (*p >= u'0' && *p <= u'9') {
        width = width * 10 + (*p - u'0');
        conversion.push_back(static_cast<char>(*p++));
        if (width > 1000000) { result = -1; break; }
      }
    }
    int precision = -1;
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') {
          precision = precision * 10 + (*p++ - u'0');
          if (precision > 1000000) { result = -1; break; }
        }
      }
      if (precision >= 0) conversion += "." + std::to_string(precision);
    }
    if (result < 0) break;
    // Length modifiers.
    int size = 0;  // 0 int, 1 long, 2 long long, -1 short, -2 char, 3 size_t, 4 intmax, 5 ptrdiff
    bool longDouble = false;
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') { size = 2; p += 3; }
    else if (*p == u'h') { ++p; size = -1; if (*p == u'h') { ++p; size = -2; } }
    else if (*p == u'l') { ++p; size = 1; if (*p == u'l') { ++p; size = 2; } }
    else if (*p == u'z') { ++p; size = 3; }
    else if (*p == u'j') { ++p; size = 4; }
    else if (*p == u't') { ++p; size = 5; }
    else if (*p == u'L') { ++p; longDouble = true; }
    const char16_t conv = *p;
    char buf[512];
    switch (conv) {
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': {
        if (width > 400 || precision > 400) { result = -1; break; }
        const bool isSigned = conv == u'd' || conv == u'i';
        conversion += "ll";
        conversion.push_back(static_cast<char>(conv));
        long long sv = 0;
        unsigned long long uv = 0;
        switch (size) {
          case -2: sv = static_cast<signed char>(va_arg(ap, int)); uv = static_cast<unsigned char>(sv); break;
          case -1: sv = static_cast<short>(va_arg(ap, int)); uv = static_cast<unsigned short>(sv); break;
          case 0: if (isSigned) sv = va_arg(ap, int); else uv = va_arg(ap, unsigned); break;
          case 1: if (isSigned) sv = va_arg(ap, long); else uv = va_arg(ap, unsigned long); break;
          case 2: if (isSigned) sv = va_arg(ap, long long); else uv = va_arg(ap, unsigned long long); break;
          case 3: if (isSigned) sv = static_cast<long long>(va_arg(ap, size_t)); else uv = va_arg(ap, size_t); break;
          case 4: if (isSigned) sv = va_arg(ap, intmax_t); else uv = static_cast<unsigned long long>(va_arg(ap, uintmax_t)); break;
          default: if (isSigned) sv = va_arg(ap, ptrdiff_t); else uv = static_cast<unsigned long long>(va_arg(ap, ptrdiff_t)); break;
        }
        if (isSigned) std::snprintf(buf, sizeof buf, conversion.c_str(), sv);
        else std::snprintf(buf, sizeof buf, conversion.c_str(), uv);
        sink.PutAscii(buf);
        break;
      }
      case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'a': case u'A': {
        if (width > 400 || precision > 400) { result = -1; break; }
        conversion.push_back(static_cast<char>(conv));
        if (longDouble) {
          conversion.insert(conversion.size() - 1, "L");
          std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, long double));
        } else {
          std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, double));
        }
        sink.PutAscii(buf);
        break;
      }
      case u'c': case u'C': {
        // Windows convention: %c is wide in a wide format; %hc / %C narrow.
        char16_t c = (conv == u'C' || size == -1) ? static_cast<char16_t>(static_cast<unsigned char>(va_arg(ap, int)))
                                                  : static_cast<char16_t>(va_arg(ap, int));
        PutPadded(sink, &c, 1, width, left);
        break;
      }
      case u's': case u'S': {
        const bool narrow = (conv == u'S') != (size == -1);  // %hs is narrow, %hS wide
        std::u16string text;
        if (narrow) {
          const char* s = va_arg(ap, const char*);
          text = s ? DecodeNarrowPath(s) : std::u16string(u"(null)");
        } else {
          const char16_t* s = va_arg(ap, const char16_t*);
          text = s ? std::u16string(s) : std::u16string(u"(null)");
        }
        size_t n = text.size();
        if (precision >= 0 && static_cast<size_t>(precision) < n) n = static_cast<size_t>(precision);
        PutPadded(sink, text.data(), n, width, left);
        break;
      }
      case u'p': {
        std::snprintf(buf, sizeof buf, "%p", va_arg(ap, void*));
        sink.PutAscii(buf);
        break;
      }
      default:
        result = -1;  // unknown conversion, %n included: refuse rather than guess
        break;
    }
    if (result < 0) break;
  }
  va_end(ap);
  sink.Finish();
  if (result < 0) return -1;
  return sink.Length() > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(sink.Length());
}

int FormatWide(char16_t* dst, size_t maxChars, const char16_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = FormatWideV(dst, maxChars, format, ap);
  va_end(ap);
  return n;
}

}  // namespace ko
