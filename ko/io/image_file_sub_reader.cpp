#include "ko/io/image_file_sub_reader.h"

#include <sys/stat.h>

#include <cstring>

#include "ko/io/image_limits.h"
#include "ko/platform/file_open.h"
#include "ko/platform/memory.h"
#include "ko/platform/wide_string.h"

namespace ko {

CImageFileSubReader::~CImageFileSubReader() { delete[] fileName; }

HRESULT CImageFileSubReader::Open(const char16_t* name) {
  delete[] fileName;
  fileName = nullptr;
  if (!name) return E_POINTER;
  const size_t n = WStrLen(name);
  fileName = KoNewArray<char16_t>(n + 1);
  if (!fileName) return E_OUTOFMEMORY;
  std::memcpy(fileName, name, (n + 1) * sizeof(char16_t));
  return S_OK;
}

HRESULT EnsureImageSize(int32_t w, int32_t h, CImg* image, int32_t defaultType, int32_t defaultBands) {
  if (!image) return E_POINTER;
  // Without memory the image cannot be kept as it is, whatever its recorded size.
  if (image->width == w && image->height == h && image->HasMemory()) return S_OK;
  int32_t typeWord = image->type;
  if (ElementTypeOf(typeWord) == 0) typeWord = defaultType;
  int32_t b = image->bands;
  if (b == 1) b = defaultBands;
  const HRESULT allowed = CheckImageAllocation(w, h, b, ElementSizeOfType(typeWord));
  if (allowed < 0) return allowed;
  return image->Create(w, h, b, ElementSizeOfType(typeWord), typeWord, 0);
}

// ---------------------------------------------------------------------------------------

CByteSource::~CByteSource() {
  if (file_) std::fclose(file_);
}

HRESULT CByteSource::OpenFile(const char16_t* name, const char* mode) {
  Close();
  file_ = KoWideFopen(name, mode);
  // The source buffers for itself.
  if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
  return file_ ? S_OK : E_FAIL;
}

void CByteSource::OpenMemory(const uint8_t* data, size_t size) {
  Close();
  cur_ = data;
  end_ = data ? data + size : data;
}

HRESULT CByteSource::Close() {
  cur_ = end_ = nullptr;
  if (!file_) return S_OK;
  const int rc = std::fclose(file_);
  file_ = nullptr;
  return rc == 0 ? S_OK : E_FAIL;
}

bool CByteSource::Refill() {
  if (!file_) return false;
  const size_t got = std::fread(buffer_, 1, sizeof buffer_, file_);
  cur_ = buffer_;
  end_ = buffer_ + got;
  return got > 0;
}

size_t CByteSource::Read(void* dst, size_t n) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  const size_t buffered = static_cast<size_t>(end_ - cur_);
  const size_t first = n < buffered ? n : buffered;
  if (first) std::memcpy(out, cur_, first);
  cur_ += first;
  if (first == n || !file_) return first;
  return first + std::fread(out + first, 1, n - first, file_);
}

int64_t CByteSource::Remaining() {
  const int64_t buffered = end_ - cur_;
  if (!file_) return buffered;
  struct stat st;
  if (fstat(fileno(file_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t at = ftello(file_);
  if (at < 0) return -1;
  return (st.st_size > at ? static_cast<int64_t>(st.st_size - at) : 0) + buffered;
}

void CByteSource::SkipSpace() {
  while (IsSpaceByte(Peek())) Get();
}

void CByteSource::SkipLine() {
  for (int c = Get(); c != -1 && c != '\n'; c = Get()) {
  }
}

bool CByteSource::ScanInt(int32_t* value) {
  SkipSpace();
  bool negative = false;
  int c = Peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    Get();
    c = Peek();
  }
  if (c < '0' || c > '9') return false;
  int64_t v = 0;
  bool overflow = false;
  for (; c >= '0' && c <= '9'; c = Peek()) {
    Get();
    if (!overflow) {
      v = v * 10 + (c - '0');
      if (v > static_cast<int64_t>(INT32_MAX) + 1) overflow = true;
    }
  }
  if (negative) v = -v;
  if (overflow || v > INT32_MAX || v < INT32_MIN) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool CByteSource::Match(const char* text) {
  for (; *text; ++text) {
    if (Peek() != static_cast<unsigned char>(*text)) return false;
    Get();
  }
  return true;
}

}  // namespace ko
