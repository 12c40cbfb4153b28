#include "ko/io/wic_image_reader.h"

#include "ko/codec/wic_decoder.h"
#include "ko/convert/convert_image.h"
#include "ko/convert/swap_red_blue.h"
#include "ko/io/image_file_sub_reader.h"
#include "ko/platform/platform_services.h"

namespace ko {
namespace {

struct WicFormatRow {
  const GUID* format;
  int32_t nativeType;
  int32_t nativeBands;
  int32_t defaultType;
  int32_t defaultBands;
  bool exchangeRedBlue;
};

// Searched in this order.
const WicFormatRow kWicFormats[] = {
    {&wic::GUID_WICPixelFormat8bppGray, kElemByte, 1, kElemByte, 1, false},
    {&wic::GUID_WICPixelFormat24bppBGR, kTypeRGBByte, 3, kTypeRGBAByte, 4, false},
    {&wic::GUID_WICPixelFormat32bppBGRA, kTypeRGBAByte, 4, kTypeRGBAByte, 4, false},
    {&wic::GUID_WICPixelFormat24bppRGB, kTypeRGBByte, 3, kTypeRGBAByte, 4, true},
    {&wic::GUID_WICPixelFormat32bppGrayFloat, kElemFloat, 1, kElemFloat, 1, false},
    {&wic::GUID_WICPixelFormat128bppRGBAFloat, kTypeRGBAFloat, 4, kTypeRGBAFloat, 4, true},
};

const WicFormatRow* FindRow(const GUID& format) {
  for (const WicFormatRow& row : kWicFormats)
    if (IsEqualGuid(*row.format, format)) return &row;
  return nullptr;
}

// Red and blue of one row in the file's native layout: 3-band bytes (which the 4-band
// SwapRedBlue does not cover) or 4-band bytes or floats.
void ExchangeRedBlue(uint8_t* row, int32_t width, int32_t bands, int32_t elementType) {
  if (elementType == kElemFloat && bands == 4) {
    SwapRedBlue(reinterpret_cast<float*>(row), static_cast<size_t>(width));
  } else if (elementType == kElemByte && bands == 4) {
    SwapRedBlue(row, static_cast<size_t>(width));
  } else if (elementType == kElemByte && bands == 3) {
    for (int32_t x = 0; x < width; ++x, row += 3) {
      const uint8_t blue = row[0];
      row[0] = row[2];
      row[2] = blue;
    }
  }
}

template <class T>
void ReleaseRef(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

CWicImageReader::~CWicImageReader() { ReleaseFrame(); }

void CWicImageReader::ReleaseFrame() { ReleaseRef(frame); }

HRESULT CWicImageReader::Open(const char16_t* name) {
  if (!name) return E_POINTER;
  EnsureComInitialized();
  ReleaseFrame();
  width = height = 0;
  frameCount = 0;
  wic::IWICImagingFactory* factory = nullptr;
  wic::IWICBitmapDecoder* decoder = nullptr;
  HRESULT hr = wic::CoCreateInstance(wic::CLSID_WICImagingFactory, nullptr, wic::CLSCTX_INPROC_SERVER,
                                     wic::IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (hr >= 0)
    hr = factory->CreateDecoderFromFilename(name, nullptr, wic::GENERIC_READ, wic::WICDecodeMetadataCacheOnLoad,
                                            &decoder);
  if (hr >= 0) hr = decoder->GetFrameCount(&frameCount);
  if (hr >= 0) hr = decoder->GetFrame(0, &frame);
  if (hr >= 0) {
    uint32_t w = 0, h = 0;
    hr = frame->GetSize(&w, &h);
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
  }
  ReleaseRef(decoder);
  ReleaseRef(factory);
  return hr < 0 ? hr : S_OK;
}

HRESULT CWicImageReader::ReadInto(CImg* image) {
  if (!image) return E_POINTER;
  if (!frame) return E_FAIL;
  GUID format{};
  HRESULT hr = frame->GetPixelFormat(&format);
  if (hr < 0) return hr;
  const WicFormatRow* row = FindRow(format);
  if (!row) return E_NOTIMPL;
  uint32_t w = 0, h = 0;
  hr = frame->GetSize(&w, &h);
  if (hr < 0) return hr;
  if (w > INT32_MAX || h > INT32_MAX) return E_FAIL;
  const auto iw = static_cast<int32_t>(w), ih = static_cast<int32_t>(h);
  hr = EnsureImageSize(iw, ih, image, row->defaultType, row->defaultBands);
  if (hr < 0) return hr;

  const int32_t nativeElement = ElementTypeOf(row->nativeType);
  const int32_t nativeSize = ElementSizeOfType(row->nativeType);
  const uint64_t rowBytes = uint64_t{w} * static_cast<uint32_t>(row->nativeBands * nativeSize);
  if (rowBytes > UINT32_MAX) return E_OUTOFMEMORY;
  const auto bytes = static_cast<uint32_t>(rowBytes);
  const bool direct = ElementTypeOf(image->type) == nativeElement && image->bands == row->nativeBands &&
                      image->elementSize == nativeSize && image->width == iw && image->height == ih &&
                      image->HasMemory();
  if (direct) {
    for (int32_t y = 0; y < ih; ++y) {
      const wic::WICRect rect{0, y, iw, 1};
      hr = frame->CopyPixels(&rect, bytes, bytes, image->RowPtr(y));
      if (hr < 0) return hr;
      if (row->exchangeRedBlue) ExchangeRedBlue(image->RowPtr(y), iw, row->nativeBands, nativeElement);
    }
    return S_OK;
  }

  CImg line;
  hr = line.Create(iw, 1, row->nativeBands, nativeSize, row->nativeType, 0);
  if (hr < 0) return hr;
  for (int32_t y = 0; y < ih; ++y) {
    const wic::WICRect rect{0, y, iw, 1};
    hr = frame->CopyPixels(&rect, bytes, bytes, line.RowPtr(0));
    if (hr < 0) return hr;
    // Exchanged before the conversion, so that a gray or 3-band destination is computed
    // from correctly ordered colours too.
    if (row->exchangeRedBlue) ExchangeRedBlue(line.RowPtr(0), iw, row->nativeBands, nativeElement);
    CImg view;
    const RECT target{0, y, iw, y + 1};
    hr = image->ShareRect(&view, &target);
    if (hr >= 0) hr = ConvertImage(line, view);
    if (hr < 0) return hr;
  }
  return S_OK;
}

}  // namespace ko
