#include "ko/io/image_file_sub_reader.h"

#include <cstring>

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
  if (image->width == w && image->height == h && image->HasMemory()) return S_OK;
  int32_t typeWord = image->type;
  if (ElementTypeOf(typeWord) == 0) typeWord = defaultType;
  int32_t b = image->bands;
  if (b == 1) b = defaultBands;
  return image->Create(w, h, b, ElementSizeOfType(typeWord), typeWord, 0);
}

}  // namespace ko
