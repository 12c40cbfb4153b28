// A bounded UTF-16 string: 16 characters inside the object, a shared heap block beyond.
// Writes never grow the buffer implicitly except CopyAt; Format cuts and reports.
#pragma once
#include <cstdint>

#include "ko/platform/hresult.h"

namespace ko {

class CWStrBuf {
 public:
  static constexpr uint32_t kInlineChars = 16;

  struct Block {
    int32_t refCount;
    char16_t* text;
    uint32_t allocated;  // units in text
  };

  CWStrBuf();
  ~CWStrBuf();
  CWStrBuf(const CWStrBuf& other);  // shares the heap block
  CWStrBuf& operator=(const CWStrBuf&) = delete;

  HRESULT Reserve(uint32_t n);
  HRESULT Format(const char16_t* format, ...);
  HRESULT CopyAt(const char16_t* text, uint32_t length, uint32_t position);
  HRESULT CopyAt(const char16_t* text, uint32_t position);
  const char16_t* GetText() const { return shared ? shared->text : inlineText; }
  uint32_t Capacity() const { return capacity; }

  char16_t inlineText[kInlineChars + 1];
  Block* shared = nullptr;
  uint32_t capacity = kInlineChars;

 private:
  char16_t* Text() { return shared ? shared->text : inlineText; }
  HRESULT MakePrivate();
  void ReleaseBlock();
  static Block* NewBlock(uint32_t units);
};

}  // namespace ko
