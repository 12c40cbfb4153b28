// A stand-in for the part of the platform imaging component (reached through COM) that
// decodes HD Photo files: the imaging factory from CoCreateInstance, a decoder from a file
// name, its frame count and first frame, and the frame's size, pixel format and pixels
// (CopyPixels of a rectangle). Decoding is jxrlib's (jxr_codec.h); result codes, interface
// and pixel-format identifiers are the platform's. Kept in its own namespace so that it
// cannot collide with other COM-style stand-ins.
//
// Only HD Photo files are recognised (by their first bytes): anything else is
// WINCODEC_ERR_COMPONENTNOTFOUND. The frame is decoded at its first CopyPixels and kept
// while the frame lives. CoInitializeEx must have been called.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/platform/guid.h"
#include "ko/platform/hresult.h"

namespace ko::wic {

constexpr HRESULT CO_E_NOTINITIALIZED = MakeCode(0x800401F0u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeCode(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeCode(0x80040110u);
constexpr HRESULT WINCODEC_ERR_COMPONENTNOTFOUND = MakeCode(0x88982F50u);
constexpr HRESULT WINCODEC_ERR_IMAGESIZEOUTOFRANGE = MakeCode(0x88982F51u);
constexpr HRESULT WINCODEC_ERR_BADIMAGE = MakeCode(0x88982F60u);
constexpr HRESULT WINCODEC_ERR_BADHEADER = MakeCode(0x88982F61u);
constexpr HRESULT WINCODEC_ERR_FRAMEMISSING = MakeCode(0x88982F62u);
constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT = MakeCode(0x88982F80u);
constexpr HRESULT WINCODEC_ERR_INSUFFICIENTBUFFER = MakeCode(0x88982F8Cu);
constexpr HRESULT WIC_E_FILE_NOT_FOUND = MakeCode(0x80070002u);  // from platform error 2

constexpr uint32_t CLSCTX_INPROC_SERVER = 1;
constexpr uint32_t GENERIC_READ = 0x80000000u;
enum WICDecodeOptions : int32_t { WICDecodeMetadataCacheOnDemand = 0, WICDecodeMetadataCacheOnLoad = 1 };

extern const GUID IID_IUnknown;
extern const GUID CLSID_WICImagingFactory;       // {CACAF262-9370-4615-A13B-9F5539DA4C0A}
extern const GUID IID_IWICImagingFactory;        // {EC5EC8A9-C395-4314-9C77-54D7A935FF70}
extern const GUID IID_IWICBitmapDecoder;
extern const GUID IID_IWICBitmapSource;
extern const GUID IID_IWICBitmapFrameDecode;

// Pixel formats ({6FDDC324-4E03-4BFE-B185-3D77768DC9xx}; jxrlib uses the same values).
extern const GUID GUID_WICPixelFormat8bppGray;        // xx = 08
extern const GUID GUID_WICPixelFormat16bppGray;       // 0B
extern const GUID GUID_WICPixelFormat24bppBGR;        // 0C
extern const GUID GUID_WICPixelFormat24bppRGB;        // 0D
extern const GUID GUID_WICPixelFormat32bppBGRA;       // 0F
extern const GUID GUID_WICPixelFormat32bppGrayFloat;  // 11
extern const GUID GUID_WICPixelFormat48bppRGB;        // 15
extern const GUID GUID_WICPixelFormat128bppRGBAFloat; // 19

struct WICRect {
  int32_t X;
  int32_t Y;
  int32_t Width;
  int32_t Height;
};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

class IWICBitmapSource : public IUnknown {
 public:
  virtual HRESULT GetSize(uint32_t* width, uint32_t* height) = 0;
  virtual HRESULT GetPixelFormat(GUID* format) = 0;
  // rect null for the whole frame; rows `stride` bytes apart in `buffer` of `bufferSize`.
  virtual HRESULT CopyPixels(const WICRect* rect, uint32_t stride, uint32_t bufferSize, uint8_t* buffer) = 0;
};

class IWICBitmapFrameDecode : public IWICBitmapSource {};

class IWICBitmapDecoder : public IUnknown {
 public:
  virtual HRESULT GetFrameCount(uint32_t* count) = 0;
  virtual HRESULT GetFrame(uint32_t index, IWICBitmapFrameDecode** frame) = 0;
};

class IWICImagingFactory : public IUnknown {
 public:
  // Missing file: 0x80070002; unreadable: E_ACCESSDENIED; not HD Photo:
  // WINCODEC_ERR_COMPONENTNOTFOUND; a damaged container or header: WINCODEC_ERR_BADHEADER;
  // beyond the decoding limits: WINCODEC_ERR_IMAGESIZEOUTOFRANGE.
  virtual HRESULT CreateDecoderFromFilename(const char16_t* name, const GUID* vendor, uint32_t desiredAccess,
                                            int32_t options, IWICBitmapDecoder** decoder) = 0;
  // This stand-in's addition, for tests: the same from bytes in memory (copied).
  virtual HRESULT CreateDecoderFromMemory(const uint8_t* data, size_t size, IWICBitmapDecoder** decoder) = 0;
};

// Creates the imaging factory (CLSID_WICImagingFactory, asked for IID_IWICImagingFactory
// or IID_IUnknown); other classes are REGDB_E_CLASSNOTREG.
HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, uint32_t context, const GUID& iid, void** object);

// Objects of this stand-in currently alive (test support: every reference was released).
int LiveObjectCount();

}  // namespace ko::wic
