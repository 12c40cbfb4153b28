// Narrow (UTF-8) paths and their UTF-16 form. Bytes that are not valid UTF-8 are carried as
// lone surrogates U+DC80..U+DCFF (0xDC00 + byte) so that every path a user can pass comes
// back as the very same bytes when encoded again.
#pragma once
#include <string>

namespace ko {

std::u16string DecodeNarrowPath(const char* narrow);
std::u16string DecodeNarrowPath(const char* narrow, size_t length);
std::string EncodeWidePath(const char16_t* wide);
std::string EncodeWidePath(const std::u16string& wide);

}  // namespace ko
