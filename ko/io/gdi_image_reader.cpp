#include "ko/io/gdi_image_reader.h"

#include <cstring>

#include "ko/codec/gdiplus_bitmap.h"
#include "ko/convert/convert_image.h"
#include "ko/platform/ko_buffer.h"
#include "ko/platform/platform_services.h"

namespace ko {
namespace {

// The bitmap of one Open or ReadInto, disposed on every path.
class BitmapHolder {
 public:
  BitmapHolder() = default;
  ~BitmapHolder() {
    if (bitmap) GdipDisposeImage(bitmap);
  }
  BitmapHolder(const BitmapHolder&) = delete;
  BitmapHolder& operator=(const BitmapHolder&) = delete;
  GpBitmap* bitmap = nullptr;
};

struct FormatDescription {
  int32_t elementType;
  int32_t bands;
  int32_t formatFlags;
  uint32_t bitsPerPixel;  // as recorded in "SourceBitsPerPixel"
};

FormatDescription DescribeFormat(int32_t format) {
  switch (format) {
    case PixelFormat1bppIndexed: return {0, 1, 1, 1};
    case PixelFormat4bppIndexed: return {0, 1, 1, 4};
    case PixelFormat8bppIndexed: return {1, 1, 0, 8};
    case PixelFormat16bppGrayScale: return {4, 1, 0, 16};
    case PixelFormat16bppRGB555:
    case PixelFormat16bppRGB565:
    case PixelFormat16bppARGB1555: return {1, 3, 0x10000, 1};
    case PixelFormat24bppRGB:
    case PixelFormat32bppRGB:
    case PixelFormat32bppARGB: return {1, 4, 0x10000, 32};
    case PixelFormat48bppRGB:
    case PixelFormat64bppARGB: return {4, 4, 0x10000, 64};
    default:
      if (format & PixelFormatCanonical) return {0, 0, 0, GetPixelFormatSize(format)};
      return {0, 0, 0, 0};
  }
}

uint32_t Width(GpBitmap* b) {
  uint32_t w = 0;
  GdipGetImageWidth(b, &w);
  return w;
}
uint32_t Height(GpBitmap* b) {
  uint32_t h = 0;
  GdipGetImageHeight(b, &h);
  return h;
}
int32_t Format(GpBitmap* b) {
  int32_t f = PixelFormatUndefined;
  GdipGetImagePixelFormat(b, &f);
  return f;
}

// One property item as a value of the kind its item type calls for.
HRESULT ItemValue(const PropertyItem& item, CParamValue* value) {
  auto fixed = [&](int32_t kind, uint32_t bytes) -> HRESULT {
    if (item.length < bytes || !item.value) return E_FAIL;
    return value->SetData(kind, bytes, item.value);
  };
  switch (item.type) {
    case PropertyTagTypeByte: return fixed(kParamUInt8, 1);
    case PropertyTagTypeASCII: {
      // The item need not be terminated: the text ends at its first NUL or its length.
      const char* text = static_cast<const char*>(item.value);
      const size_t n = text ? strnlen(text, item.length) : 0;
      CKoBuffer<char> copy(n + 1);
      if (!copy.get()) return E_OUTOFMEMORY;
      if (n) std::memcpy(copy.get(), text, n);
      copy.get()[n] = 0;
      return value->SetString(copy.get());
    }
    case PropertyTagTypeShort: return fixed(kParamUInt16, 2);
    case PropertyTagTypeLong: return fixed(kParamUInt32, 4);
    case PropertyTagTypeRational: return fixed(kParamRational, 8);
    case PropertyTagTypeUndefined:
      if (item.length && !item.value) return E_FAIL;
      return value->SetData(kParamUndefined, item.length, item.value);
    case PropertyTagTypeSLONG: return fixed(kParamInt32, 4);
    case PropertyTagTypeSRational: return fixed(kParamSRational, 8);
    default: return E_FAIL;
  }
}

// "FileHadAlpha", "SourceBitsPerPixel" and the property items, stopping at the first failure.
HRESULT GatherMetadata(GpBitmap* bitmap, CParams* set) {
  const int32_t format = Format(bitmap);
  CParamValue value;
  const uint8_t hadAlpha = (format & PixelFormatAlpha) ? 1 : 0;
  HRESULT hr = value.SetData(kParamBool, 1, &hadAlpha);
  if (hr >= 0) hr = set->SetByName(u"FileHadAlpha", 0, value);
  if (hr < 0) return hr;
  const uint32_t bits = DescribeFormat(format).bitsPerPixel;
  hr = value.SetUInt32s(&bits, 1);
  if (hr >= 0) hr = set->SetByName(u"SourceBitsPerPixel", 0, value);
  if (hr < 0) return hr;

  uint32_t total = 0, count = 0;
  GdipGetPropertySize(bitmap, &total, &count);
  if (count == 0) return S_OK;
  CKoBuffer<uint8_t> buffer(total);
  if (!buffer.get()) return E_OUTOFMEMORY;
  auto* items = reinterpret_cast<PropertyItem*>(buffer.get());
  if (GdipGetAllPropertyItems(bitmap, total, count, items) != Ok) return E_FAIL;
  for (uint32_t i = 0; i < count; ++i) {
    hr = ItemValue(items[i], &value);
    if (hr >= 0) hr = set->SetById(static_cast<int32_t>(items[i].id), 0, value);
    if (hr < 0) return hr;
  }
  return S_OK;
}

// The caller's own memory can take the locked rows when it has exactly that layout.
bool TakesDirect(const CImg& image, int32_t typeWord, int32_t bands, uint32_t w, uint32_t h) {
  const bool typeMatches = image.type == typeWord || (image.type == kElemByte && image.bands == bands);
  return typeMatches && image.bands == bands && image.elementSize == 1 && image.HasMemory() &&
         image.width == static_cast<int32_t>(w) && image.height == static_cast<int32_t>(h) &&
         image.stride >= bands * image.width;
}

// Locks the whole image in `lockFormat` into the caller's memory, which has that layout.
HRESULT LockInto(GpBitmap* bitmap, CImg* image, int32_t lockFormat) {
  BitmapData data{};
  data.Width = static_cast<uint32_t>(image->width);
  data.Height = static_cast<uint32_t>(image->height);
  data.Stride = image->stride;
  data.PixelFormat = lockFormat;
  data.Scan0 = image->pixels;
  if (GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead | ImageLockModeWrite | ImageLockModeUserInputBuf,
                         lockFormat, &data) != Ok)
    return E_FAIL;
  GdipBitmapUnlockBits(bitmap, &data);
  return S_OK;
}

// The RGBA (32bppARGB) and RGB (24bppRGB) paths differ only in their layout.
HRESULT ReadColor(GpBitmap* bitmap, CImg* image, int32_t lockFormat, int32_t typeWord, int32_t bands) {
  const uint32_t w = Width(bitmap), h = Height(bitmap);
  HRESULT hr = EnsureImageSize(static_cast<int32_t>(w), static_cast<int32_t>(h), image, typeWord, bands);
  if (hr < 0) return hr;
  // The lock writes the bytes a conversion of its own result into that layout would.
  if (TakesDirect(*image, typeWord, bands, w, h)) return LockInto(bitmap, image, lockFormat);
  BitmapData data{};
  if (GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead, lockFormat, &data) != Ok) return E_FAIL;
  CImg locked;
  hr = locked.Attach(data.Scan0, static_cast<int32_t>(data.Width), static_cast<int32_t>(data.Height), bands, data.Stride,
                     1, typeWord);
  if (hr >= 0) hr = ConvertImage(locked, *image);
  GdipBitmapUnlockBits(bitmap, &data);
  return hr;
}

HRESULT ReadRgba(GpBitmap* bitmap, CImg* image) {
  return ReadColor(bitmap, image, PixelFormat32bppARGB, kTypeRGBAByte, 4);
}

HRESULT ReadRgb(GpBitmap* bitmap, CImg* image) {
  const uint32_t w = Width(bitmap), h = Height(bitmap);
  HRESULT hr = EnsureImageSize(static_cast<int32_t>(w), static_cast<int32_t>(h), image, kTypeRGBByte, 3);
  if (hr < 0) return hr;
  // Alpha 255 added to the three colours is what the 32bppARGB lock gives too.
  if (TakesDirect(*image, kTypeRGBAByte, 4, w, h)) return LockInto(bitmap, image, PixelFormat32bppARGB);
  return ReadColor(bitmap, image, PixelFormat24bppRGB, kTypeRGBByte, 3);
}

HRESULT ReadIndexed(GpBitmap* bitmap, CImg* image) {
  if (image->bands != 1) return ReadRgba(bitmap, image);
  int32_t size = 0;
  GdipGetImagePaletteSize(bitmap, &size);
  CKoBuffer<uint8_t> block(size > 0 ? static_cast<size_t>(size) : sizeof(ColorPalette));
  if (!block) return E_OUTOFMEMORY;
  auto* palette = reinterpret_cast<ColorPalette*>(block.get());
  if (GdipGetImagePalette(bitmap, palette, size) != Ok) return E_FAIL;
  bool grey = true, identity = true;
  for (uint32_t i = 0; i < palette->Count; ++i) {
    const uint32_t c = palette->Entries[i];
    const uint32_t b = c & 0xFF, g = (c >> 8) & 0xFF, r = (c >> 16) & 0xFF, a = c >> 24;
    if (a != 255 || r != g || g != b) grey = false;
    if (b != i) identity = false;
  }
  if (!grey) return ReadRgba(bitmap, image);

  const uint32_t w = Width(bitmap), h = Height(bitmap);
  HRESULT hr = EnsureImageSize(static_cast<int32_t>(w), static_cast<int32_t>(h), image, kElemByte, 1);
  if (hr < 0) return hr;
  // Indices that are their own grey levels can go straight into a grey byte image.
  if (identity && TakesDirect(*image, kElemByte, 1, w, h)) return LockInto(bitmap, image, PixelFormat8bppIndexed);
  BitmapData data{};
  if (GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead, PixelFormat8bppIndexed, &data) != Ok) return E_FAIL;
  CImg indices;
  hr = indices.Attach(data.Scan0, static_cast<int32_t>(data.Width), static_cast<int32_t>(data.Height), 1, data.Stride,
                      1, kElemByte);
  if (hr >= 0 && identity) {
    hr = ConvertImage(indices, *image);
  } else if (hr >= 0) {
    // Each index becomes the grey level of its entry; an index the palette lacks is black.
    CImg levels;
    hr = levels.Create(static_cast<int32_t>(data.Width), static_cast<int32_t>(data.Height), 1, 1, kElemByte, 0);
    for (int32_t y = 0; hr >= 0 && y < levels.height; ++y) {
      const uint8_t* in = indices.RowPtr(y);
      uint8_t* out = levels.RowPtr(y);
      for (int32_t x = 0; x < levels.width; ++x)
        out[x] = in[x] < palette->Count ? static_cast<uint8_t>(palette->Entries[in[x]] & 0xFF) : 0;
    }
    if (hr >= 0) hr = ConvertImage(levels, *image);
  }
  GdipBitmapUnlockBits(bitmap, &data);
  return hr;
}

}  // namespace

HRESULT ResultFromGdiplusStatus(int32_t status) {
  switch (status) {
    case Ok: return S_OK;
    case FileNotFound: return E_KO_NOTFOUND;
    case UnknownImageFormat: return E_KO_BADFORMAT;
    case AccessDenied: return E_KO_READ;
    default: return E_FAIL;
  }
}

CGdiImageReader::~CGdiImageReader() {
  if (opened_) GdipDisposeImage(opened_);
}

HRESULT CGdiImageReader::Open(const char16_t* name) {
  if (opened_) GdipDisposeImage(opened_);
  opened_ = nullptr;
  HRESULT hr = CImageFileSubReader::Open(name);
  if (hr < 0) return hr;
  EnsureGdiplusStarted();
  BitmapHolder holder;
  hr = ResultFromGdiplusStatus(GdipCreateBitmapFromFile(name, &holder.bitmap));
  if (hr < 0) return hr;
  const FormatDescription d = DescribeFormat(Format(holder.bitmap));
  sourceElementType = d.elementType;
  sourceBands = d.bands;
  sourceFormatFlags = d.formatFlags;
  width = static_cast<int32_t>(Width(holder.bitmap));
  height = static_cast<int32_t>(Height(holder.bitmap));
  hr = GatherMetadata(holder.bitmap, &metadata);
  if (hr < 0) return hr;
  // Kept for the first ReadInto, so that the file is not read and parsed twice.
  opened_ = holder.bitmap;
  holder.bitmap = nullptr;
  return hr;
}

HRESULT CGdiImageReader::ReadInto(CImg* image, int32_t flags) {
  if (!image) return E_POINTER;
  if (!fileName) return E_FAIL;
  EnsureGdiplusStarted();
  BitmapHolder holder;
  HRESULT hr = S_OK;
  if (opened_) {
    holder.bitmap = opened_;  // used once: its pixels are not kept between reads
    opened_ = nullptr;
  } else {
    hr = ResultFromGdiplusStatus(GdipCreateBitmapFromFile(fileName, &holder.bitmap));
    if (hr < 0) return hr;
  }
  switch (Format(holder.bitmap)) {
    case PixelFormat24bppRGB: hr = ReadRgb(holder.bitmap, image); break;
    case PixelFormat8bppIndexed: hr = ReadIndexed(holder.bitmap, image); break;
    default: hr = ReadRgba(holder.bitmap, image); break;
  }
  if (hr >= 0 && (flags & 0xFF)) hr = GatherMetadata(holder.bitmap, &image->params);
  return hr;
}

}  // namespace ko
