// The base of every image-file reader: what the file is, its name and size, and the
// metadata gathered when it was opened. Open reads the header; ReadInto the pixels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ko/core/img.h"
#include "ko/core/params.h"

namespace ko {

class CImageFileSubReader {
 public:
  CImageFileSubReader() = default;
  virtual ~CImageFileSubReader();
  CImageFileSubReader(const CImageFileSubReader&) = delete;
  CImageFileSubReader& operator=(const CImageFileSubReader&) = delete;

  // Stores a copy of the name; every reader calls this first.
  virtual HRESULT Open(const char16_t* name);
  virtual HRESULT ReadInto(CImg* image, int32_t flags) = 0;

  int32_t sourceElementType = 0;  // 1 byte, 4 unsigned 16-bit, 0 unknown
  int32_t sourceBands = 0;
  int32_t sourceFormatFlags = 0;  // 0x10000 colour; 1 for 1- and 4-bit indexed files
  char16_t* fileName = nullptr;   // owned
  int32_t width = 0;
  int32_t height = 0;
  CParams metadata;
};

// Gives `image` the file's size, keeping the caller's type and bands where it has them.
// An image that already has memory of exactly that size is left as it is.
HRESULT EnsureImageSize(int32_t width, int32_t height, CImg* image, int32_t defaultType, int32_t defaultBands);

// The bytes a reader parses: an open file or a block of memory, read forwards with one
// byte of look-ahead (all the scanf-like parsing of the text formats needs). Memory is not
// copied and must outlive the source.
class CByteSource {
 public:
  CByteSource() = default;
  ~CByteSource();  // closes a file it opened
  CByteSource(const CByteSource&) = delete;
  CByteSource& operator=(const CByteSource&) = delete;

  // Opens a file by its wide name with an fopen mode; E_FAIL when it cannot be opened.
  HRESULT OpenFile(const char16_t* name, const char* mode);
  void OpenMemory(const uint8_t* data, size_t size);
  // E_FAIL when closing the file fails; a memory source always closes.
  HRESULT Close();

  // The next byte (0..255), or -1 at the end.
  int Get() { return (cur_ < end_ || Refill()) ? *cur_++ : -1; }
  int Peek() { return (cur_ < end_ || Refill()) ? *cur_ : -1; }
  // Up to n bytes; returns how many were read.
  size_t Read(void* dst, size_t n);
  // Bytes still to come, or -1 when the source cannot tell (a pipe, a terminal).
  int64_t Remaining();

  // What a blank in a scanf format does: skips any run of white space (C locale).
  void SkipSpace();
  // Skips up to and including the next line break, or to the end.
  void SkipLine();
  // scanf "%d": white space, an optional sign, decimal digits. False when no digit
  // follows or the number lies outside the 32-bit range (its digits are consumed).
  bool ScanInt(int32_t* value);
  // Matches the literal characters of `text` one by one; false at the first mismatch,
  // which is left unread.
  bool Match(const char* text);

 private:
  // Reads the next block of the file into the buffer; false at its end (or for memory).
  bool Refill();

  FILE* file_ = nullptr;
  const uint8_t* cur_ = nullptr;  // the unread bytes: of the memory, or of the buffer
  const uint8_t* end_ = nullptr;
  uint8_t buffer_[16384];
};

// C-locale white space: blank, \t, \n, \v, \f, \r.
constexpr bool IsSpaceByte(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace ko
