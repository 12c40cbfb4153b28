#include "ko/codec/wic_decoder.h"

#include <cstring>

#include "ko/codec/codec_image.h"
#include "ko/codec/jxr_codec.h"
#include "ko/platform/atomic.h"
#include "ko/platform/memory.h"
#include "ko/platform/platform_services.h"

namespace ko::wic {

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID CLSID_WICImagingFactory = {0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};
const GUID IID_IWICImagingFactory = {0xEC5EC8A9, 0xC395, 0x4314, {0x9C, 0x77, 0x54, 0xD7, 0xA9, 0x35, 0xFF, 0x70}};
const GUID IID_IWICBitmapDecoder = {0x9EDDE9E7, 0x8DEE, 0x47EA, {0x99, 0xDF, 0xE6, 0xFA, 0xF2, 0xED, 0x44, 0xBF}};
const GUID IID_IWICBitmapSource = {0x00000120, 0xA8F2, 0x4877, {0xBA, 0x0A, 0xFD, 0x2B, 0x66, 0x45, 0xFB, 0x94}};
const GUID IID_IWICBitmapFrameDecode = {0x3B16811B, 0x6A43, 0x4EC9, {0xA8, 0x13, 0x3D, 0x93, 0x0C, 0x13, 0xB9, 0x40}};

#define KO_WIC_FORMAT(name, last) \
  const GUID name = {0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, last}}
KO_WIC_FORMAT(GUID_WICPixelFormat8bppGray, 0x08);
KO_WIC_FORMAT(GUID_WICPixelFormat16bppGray, 0x0B);
KO_WIC_FORMAT(GUID_WICPixelFormat24bppBGR, 0x0C);
KO_WIC_FORMAT(GUID_WICPixelFormat24bppRGB, 0x0D);
KO_WIC_FORMAT(GUID_WICPixelFormat32bppBGRA, 0x0F);
KO_WIC_FORMAT(GUID_WICPixelFormat32bppGrayFloat, 0x11);
KO_WIC_FORMAT(GUID_WICPixelFormat48bppRGB, 0x15);
KO_WIC_FORMAT(GUID_WICPixelFormat128bppRGBAFloat, 0x19);
#undef KO_WIC_FORMAT

namespace {

int32_t g_live = 0;

HRESULT FromJxr(JxrStatus s) {
  switch (s) {
    case JxrStatus::Ok: return S_OK;
    case JxrStatus::BadHeader: return WINCODEC_ERR_BADHEADER;
    case JxrStatus::BadImage: return WINCODEC_ERR_BADIMAGE;
    case JxrStatus::TooLarge: return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case JxrStatus::OutOfMemory: return E_OUTOFMEMORY;
    case JxrStatus::Unsupported: return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  }
  return E_FAIL;
}

// The checked file and, once asked for, its decoded frame; shared by a decoder and its
// frames, freed with the last of them.
struct SharedImage {
  int32_t refs = 1;
  JxrFile file;
  CodecBuffer frame;
  bool decodeTried = false;
  HRESULT decodeResult = S_OK;

  void AddRef() { InterlockedIncrement(&refs); }
  void Release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }
  HRESULT EnsureDecoded() {
    if (!decodeTried) {
      decodeTried = true;
      const size_t rowBytes = file.RowBytes();
      if (file.info().bitsPerPixel == 0) {
        decodeResult = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
      } else if (!frame.Allocate(rowBytes * file.info().height)) {
        decodeResult = E_OUTOFMEMORY;
      } else {
        decodeResult = FromJxr(file.Decode(frame.data(), rowBytes, frame.size()));
        if (decodeResult < 0) frame.Reset();
      }
    }
    return decodeResult;
  }
};

template <class Interface>
class ComObject : public Interface {
 public:
  ComObject() { InterlockedIncrement(&g_live); }
  uint32_t AddRef() override { return static_cast<uint32_t>(InterlockedIncrement(&refs_)); }
  uint32_t Release() override {
    const int32_t left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<uint32_t>(left);
  }

 protected:
  ~ComObject() override { InterlockedDecrement(&g_live); }
  HRESULT Answer(bool known, void** object) {
    if (!object) return E_POINTER;
    if (!known) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *object = this;
    return S_OK;
  }

 private:
  int32_t refs_ = 1;
};

class Frame final : public ComObject<IWICBitmapFrameDecode> {
 public:
  explicit Frame(SharedImage* image) : image_(image) { image_->AddRef(); }

  HRESULT QueryInterface(const GUID& iid, void** object) override {
    return Answer(IsEqualGuid(iid, IID_IUnknown) || IsEqualGuid(iid, IID_IWICBitmapSource) ||
                      IsEqualGuid(iid, IID_IWICBitmapFrameDecode),
                  object);
  }
  HRESULT GetSize(uint32_t* width, uint32_t* height) override {
    if (!width || !height) return E_INVALIDARG;
    *width = image_->file.info().width;
    *height = image_->file.info().height;
    return S_OK;
  }
  HRESULT GetPixelFormat(GUID* format) override {
    if (!format) return E_INVALIDARG;
    *format = image_->file.info().pixelFormat;
    return S_OK;
  }
  HRESULT CopyPixels(const WICRect* rect, uint32_t stride, uint32_t bufferSize, uint8_t* buffer) override {
    const JxrInfo& info = image_->file.info();
    WICRect r{0, 0, static_cast<int32_t>(info.width), static_cast<int32_t>(info.height)};
    if (rect) r = *rect;
    if (!buffer || r.X < 0 || r.Y < 0 || r.Width <= 0 || r.Height <= 0 ||
        static_cast<uint64_t>(r.X) + static_cast<uint32_t>(r.Width) > info.width ||
        static_cast<uint64_t>(r.Y) + static_cast<uint32_t>(r.Height) > info.height)
      return E_INVALIDARG;
    if (info.bitsPerPixel == 0) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    const uint64_t firstBit = uint64_t{static_cast<uint32_t>(r.X)} * info.bitsPerPixel;
    if (firstBit % 8) return E_INVALIDARG;  // rows must start on a byte
    const uint64_t rowBytes = (uint64_t{static_cast<uint32_t>(r.Width)} * info.bitsPerPixel + 7) / 8;
    if (stride < rowBytes) return E_INVALIDARG;
    if (uint64_t{stride} * (static_cast<uint32_t>(r.Height) - 1) + rowBytes > bufferSize)
      return WINCODEC_ERR_INSUFFICIENTBUFFER;
    const HRESULT decoded = image_->EnsureDecoded();
    if (decoded < 0) return decoded;
    const size_t frameRow = image_->file.RowBytes();
    for (int32_t y = 0; y < r.Height; ++y)
      std::memcpy(buffer + size_t{stride} * static_cast<uint32_t>(y),
                  image_->frame.data() + frameRow * static_cast<uint32_t>(r.Y + y) + firstBit / 8,
                  static_cast<size_t>(rowBytes));
    return S_OK;
  }

 private:
  ~Frame() override { image_->Release(); }
  SharedImage* image_;
};

class Decoder final : public ComObject<IWICBitmapDecoder> {
 public:
  explicit Decoder(SharedImage* image) : image_(image) {}

  HRESULT QueryInterface(const GUID& iid, void** object) override {
    return Answer(IsEqualGuid(iid, IID_IUnknown) || IsEqualGuid(iid, IID_IWICBitmapDecoder), object);
  }
  HRESULT GetFrameCount(uint32_t* count) override {
    if (!count) return E_INVALIDARG;
    *count = image_->file.info().frameCount;
    return S_OK;
  }
  HRESULT GetFrame(uint32_t index, IWICBitmapFrameDecode** frame) override {
    if (!frame) return E_INVALIDARG;
    *frame = nullptr;
    if (index >= image_->file.info().frameCount || index > 0) return WINCODEC_ERR_FRAMEMISSING;
    Frame* f = KoNew<Frame>(image_);
    if (!f) return E_OUTOFMEMORY;
    *frame = f;
    return S_OK;
  }

 private:
  ~Decoder() override { image_->Release(); }
  SharedImage* image_;
};

HRESULT FromFileStatus(GpStatus s) {
  switch (s) {
    case FileNotFound: return WIC_E_FILE_NOT_FOUND;
    case AccessDenied: return E_ACCESSDENIED;
    case OutOfMemory: return E_OUTOFMEMORY;
    case ValueOverflow: return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case UnknownImageFormat: return WINCODEC_ERR_COMPONENTNOTFOUND;
    case InvalidParameter: return E_INVALIDARG;
    default: return E_FAIL;
  }
}

class Factory final : public ComObject<IWICImagingFactory> {
 public:
  HRESULT QueryInterface(const GUID& iid, void** object) override {
    return Answer(IsEqualGuid(iid, IID_IUnknown) || IsEqualGuid(iid, IID_IWICImagingFactory), object);
  }
  HRESULT CreateDecoderFromFilename(const char16_t* name, const GUID*, uint32_t access, int32_t options,
                                    IWICBitmapDecoder** decoder) override {
    if (!decoder) return E_INVALIDARG;
    *decoder = nullptr;
    if (!name || !(access & GENERIC_READ) || (options != WICDecodeMetadataCacheOnDemand &&
                                              options != WICDecodeMetadataCacheOnLoad))
      return E_INVALIDARG;
    CodecBuffer bytes;
    const GpStatus read = ReadWholeFile(name, &bytes);
    if (read != Ok) return FromFileStatus(read);
    return CreateDecoderFromMemory(bytes.data(), bytes.size(), decoder);
  }
  HRESULT CreateDecoderFromMemory(const uint8_t* data, size_t size, IWICBitmapDecoder** decoder) override {
    if (!decoder || (!data && size)) return E_INVALIDARG;
    *decoder = nullptr;
    if (!IsJxrSignature(data, size)) return WINCODEC_ERR_COMPONENTNOTFOUND;
    SharedImage* image = KoNew<SharedImage>();
    if (!image) return E_OUTOFMEMORY;
    const HRESULT opened = FromJxr(image->file.Open(data, size));
    if (opened < 0) {
      image->Release();
      return opened;
    }
    Decoder* d = KoNew<Decoder>(image);
    if (!d) {
      image->Release();
      return E_OUTOFMEMORY;
    }
    *decoder = d;
    return S_OK;
  }

 private:
  ~Factory() override = default;
};

}  // namespace

HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, uint32_t context, const GUID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (ComActiveCount() <= 0) return CO_E_NOTINITIALIZED;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!(context & CLSCTX_INPROC_SERVER) || !IsEqualGuid(clsid, CLSID_WICImagingFactory)) return REGDB_E_CLASSNOTREG;
  Factory* factory = KoNew<Factory>();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

int LiveObjectCount() { return g_live; }

}  // namespace ko::wic
