// Opening files by their UTF-16 name: the name is encoded back to the exact bytes the
// user gave (see path_codec.h) and handed to the C library.
#pragma once
#include <cstdio>
#include <string>

namespace ko {

// fopen by wide name; null on failure with errno set.
FILE* KoWideFopen(const char16_t* name, const char* mode);
// open(2) by wide name; -1 on failure with errno set.
int KoWideOpen(const char16_t* name, int flags, int mode = 0666);
// The narrow bytes of a wide name.
std::string KoNarrowName(const char16_t* name);

}  // namespace ko
