#include "ko/core/wstr_buf.h"

#include <cstdarg>
#include <cstring>

#include "ko/platform/atomic.h"
#include "ko/platform/memory.h"
#include "ko/platform/wide_format.h"
#include "ko/platform/wide_string.h"

namespace ko {

CWStrBuf::CWStrBuf() { std::memset(inlineText, 0, sizeof inlineText); }

CWStrBuf::CWStrBuf(const CWStrBuf& other) : CWStrBuf() {
  std::memcpy(inlineText, other.inlineText, sizeof inlineText);
  capacity = other.capacity;
  shared = other.shared;
  if (shared) InterlockedIncrement(&shared->refCount);
}

CWStrBuf::~CWStrBuf() { ReleaseBlock(); }

void CWStrBuf::ReleaseBlock() {
  if (!shared) return;
  if (InterlockedDecrement(&shared->refCount) == 0) {
    KoFree(shared->text);
    KoFree(shared);
  }
  shared = nullptr;
}

CWStrBuf::Block* CWStrBuf::NewBlock(uint32_t units) {
  auto* block = static_cast<Block*>(KoMalloc(sizeof(Block)));
  if (!block) return nullptr;
  block->text = units ? static_cast<char16_t*>(KoCalloc(static_cast<size_t>(units) * sizeof(char16_t))) : nullptr;
  if (!block->text) {
    KoFree(block);
    return nullptr;
  }
  block->refCount = 1;
  block->allocated = units;
  return block;
}

HRESULT CWStrBuf::Reserve(uint32_t n) {
  if (capacity >= n) return S_OK;
  if (n == UINT32_MAX) return E_OUTOFMEMORY;
  if (!shared) {
    Block* block = NewBlock(n + 1);
    if (!block) return E_OUTOFMEMORY;
    std::memcpy(block->text, inlineText, sizeof inlineText);
    shared = block;
  } else {
    auto* grown = static_cast<char16_t*>(KoCalloc(static_cast<size_t>(n + 1) * sizeof(char16_t)));
    if (!grown) return E_OUTOFMEMORY;
    std::memcpy(grown, shared->text, static_cast<size_t>(shared->allocated) * sizeof(char16_t));
    KoFree(shared->text);
    shared->text = grown;
    shared->allocated = n + 1;
  }
  capacity = n;
  shared->text[n] = 0;
  return S_OK;
}

HRESULT CWStrBuf::MakePrivate() {
  if (!shared || shared->refCount < 2) return S_OK;
  Block* copy = NewBlock(capacity + 1);
  if (!copy) {
    ReleaseBlock();
    std::memset(inlineText, 0, sizeof inlineText);
    capacity = kInlineChars;
    return E_OUTOFMEMORY;
  }
  std::memcpy(copy->text, shared->text, static_cast<size_t>(capacity + 1) * sizeof(char16_t));
  copy->text[capacity] = 0;
  ReleaseBlock();
  shared = copy;
  return S_OK;
}

HRESULT CWStrBuf::Format(const char16_t* format, ...) {
  HRESULT hr = MakePrivate();
  if (hr < 0) return hr;
  if (capacity == 0) return E_INVALIDARG;
  va_list ap;
  va_start(ap, format);
  const uint32_t limit = capacity - 1;
  const int n = FormatWideV(Text(), limit, format, ap);
  va_end(ap);
  if (n < 0 || static_cast<uint32_t>(n) > limit) return E_KO_BUFFERTOOSMALL;
  return S_OK;
}

HRESULT CWStrBuf::CopyAt(const char16_t* text, uint32_t position) {
  const size_t n = WStrLen(text);
  return CopyAt(text, n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n), position);
}

HRESULT CWStrBuf::CopyAt(const char16_t* text, uint32_t length, uint32_t position) {
  if (position > capacity) position = capacity;  // there are no characters beyond it to keep
  const uint64_t total = static_cast<uint64_t>(position) + length;
  if (total >= UINT32_MAX) return E_OUTOFMEMORY;
  const uint32_t L = static_cast<uint32_t>(total);
  if (shared && shared->refCount > 1) {
    Block* old = shared;
    InterlockedIncrement(&old->refCount);  // keep its text readable while we copy
    ReleaseBlock();
    capacity = kInlineChars;
    std::memset(inlineText, 0, sizeof inlineText);
    if (position > 0) {
      if (L < kInlineChars + 1) {
        std::memcpy(inlineText, old->text, static_cast<size_t>(position) * sizeof(char16_t));
        inlineText[L] = 0;
      } else {
        Block* mine = NewBlock(L + 1);
        if (!mine) {
          shared = old;
          ReleaseBlock();
          return E_OUTOFMEMORY;
        }
        std::memcpy(mine->text, old->text, static_cast<size_t>(position) * sizeof(char16_t));
        mine->text[L] = 0;
        shared = mine;
        capacity = L;
      }
    }
    Block* keep = shared;
    shared = old;
    ReleaseBlock();
    shared = keep;
  }
  HRESULT hr = Reserve(L);
  if (hr < 0) return hr;
  char16_t* dst = Text();
  const uint32_t room = capacity - position + 1;
  uint32_t i = 0;
  if (text)
    for (; i < length && i < room && text[i]; ++i) dst[position + i] = text[i];
  if (L <= capacity) dst[L] = 0;
  // A text shorter than `length` ends early: terminate after what was copied too.
  if (position + i < L) dst[position + i] = 0;
  return S_OK;
}

}  // namespace ko
