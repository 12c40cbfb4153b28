#include "ko/io/image_file_reader.h"

#include <initializer_list>

#include "ko/core/wstr_buf.h"
#include "ko/io/dat_image_reader.h"
#include "ko/io/dng_image_reader.h"
#include "ko/io/gdi_image_reader.h"
#include "ko/io/hdr_image_reader.h"
#include "ko/io/image_read_reason.h"
#include "ko/io/lib_image_reader.h"
#include "ko/io/qxi_image_reader.h"
#include "ko/io/wic_image_reader.h"
#include "ko/platform/memory.h"
#include "ko/platform/wide_string.h"

namespace ko {

const char16_t* GetFileExtension(const char16_t* name) {
  const char16_t* dot = nullptr;
  const char16_t* slash = nullptr;
  const char16_t* p = name;
  for (; *p; ++p) {
    if (*p == u'.') dot = p;
    else if (*p == u'\\') slash = p;
  }
  if (dot && !(slash && slash > dot)) return dot;
  return p;
}

static bool ExtensionIs(const char16_t* ext, std::initializer_list<const char16_t*> list) {
  for (const char16_t* candidate : list)
    if (WStrEqualsIgnoreCase(ext, candidate)) return true;
  return false;
}

// A name used as a format may hold "%%" and at most one conversion that takes an int
// (d, i, u, x, X, o, c, with flags, width, precision and h or hh): anything else would read
// arguments that are not there.
static bool IsIndexPattern(const char16_t* name) {
  int conversions = 0;
  for (const char16_t* p = name; *p; ++p) {
    if (*p != u'%') continue;
    ++p;
    if (*p == u'%') continue;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') ++p;
    while (*p >= u'0' && *p <= u'9') ++p;
    if (*p == u'.') {
      ++p;
      while (*p >= u'0' && *p <= u'9') ++p;
    }
    if (*p == u'h') {
      ++p;
      if (*p == u'h') ++p;
    }
    switch (*p) {
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': case u'c':
        if (++conversions > 1) return false;
        break;
      default:
        return false;  // the end of the name included
    }
  }
  return true;
}

CImageFileReader::~CImageFileReader() { delete reader; }

HRESULT CImageFileReader::OpenFile(const char16_t* name, int32_t index) {
  if (!name) return E_POINTER;
  delete reader;
  reader = nullptr;
  CWStrBuf built;
  if (index < 0) {
    const HRESULT hr = built.CopyAt(name, 0);
    if (hr < 0) return hr;
  } else {
    if (!IsIndexPattern(name)) return E_INVALIDARG;
    const size_t n = WStrLen(name);
    if (n > UINT32_MAX - 21) return E_OUTOFMEMORY;
    const HRESULT hr = built.Reserve(static_cast<uint32_t>(n + 20));
    if (hr < 0) return hr;
    built.Format(name, index);  // a longer result is used cut, as documented
  }
  const char16_t* text = built.GetText();
  const char16_t* ext = GetFileExtension(text);
  if (ExtensionIs(ext, {u".gif", u".png", u".bmp", u".jpg", u".jpeg", u".tif", u".tiff"}))
    reader = KoNew<CGdiImageReader>();
  else if (ExtensionIs(ext, {u".dat"}) || WStr(text) == u"=")
    reader = KoNew<CDatImageReader>();
  else if (ExtensionIs(ext, {u".qxi"}))
    reader = KoNew<CQxiImageReader>();
  else if (ExtensionIs(ext, {u".hdr"}))
    reader = KoNew<CHdrImageReader>();
  else
    reader = KoNew<CLibImageReader>();
  if (!reader) return E_OUTOFMEMORY;
  return reader->Open(text);
}

HRESULT CImageFileReader::ReadImage(CImg* image, int32_t flags) {
  if (!reader) return E_FAIL;
  if (!image) return E_POINTER;
  const HRESULT hr = reader->ReadInto(image, flags);
  if (hr != 0 || (flags & 0xFF) == 0) return hr;
  CParamValue value;
  const HRESULT set = value.SetWString(reader->fileName);
  if (set < 0) return set;
  return image->params.SetByName(u"Filename", 0, value);
}

HRESULT LoadImageFile(const char16_t* name, CImg* image, int32_t flags, int32_t index) {
  // Words a reader left for an earlier load that nobody asked about must not describe this one.
  ClearImageReadReason();
  if (!name) return E_POINTER;
  if (!image) return E_POINTER;
  const char16_t* ext = GetFileExtension(name);
  if (ExtensionIs(ext, {u".wdp"})) {
    CWicImageReader wic;
    HRESULT hr = wic.Open(name);
    if (hr < 0) return hr;
    return wic.ReadInto(image);
  }
  if (ExtensionIs(ext, {u".dng"})) {
    CDngImageReader dng;
    HRESULT hr = dng.Open(name);
    if (hr < 0) return hr;
    const bool kept = image->HasMemory() && image->width == dng.outputWidth && image->height == dng.outputHeight;
    hr = EnsureImageSize(dng.outputWidth, dng.outputHeight, image, kTypeRGBAByte, 4);
    if (hr < 0) return hr;
    hr = dng.ReadInto(image);
    // A file that did not develop completely leaves no image of undefined pixels behind.
    if (hr < 0 && !kept) image->Reset();
    return hr;
  }
  CImageFileReader owner;
  HRESULT hr = owner.OpenFile(name, index);
  if (hr != 0) return hr;
  return owner.ReadImage(image, flags);
}

}  // namespace ko
