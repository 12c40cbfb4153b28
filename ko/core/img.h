// The image container: a rectangle of pixels of `bands` samples of one element type, rows
// `stride` bytes apart, in a shared CMemShare block, plus a property set.
#pragma once
#include <cstdint>

#include "ko/core/mem_share.h"
#include "ko/core/obj.h"
#include "ko/core/params.h"
#include "ko/platform/rect.h"

namespace ko {

// Pixel type word: bits 0-15 the element type, bits 16-31 the layout.
enum ElementType : int32_t {
  kElemUnknown = 0,
  kElemByte = 1,
  kElemFloat = 2,
  kElemInt = 3,
  kElemShort = 4,  // unsigned 16-bit
};
constexpr int32_t kLayoutRGBA = 1;
constexpr int32_t kLayoutRGB = 6;
constexpr int32_t kTypeRGBAByte = 0x10001;
constexpr int32_t kTypeRGBAFloat = 0x10002;
constexpr int32_t kTypeRGBA16 = 0x10004;
constexpr int32_t kTypeRGBByte = 0x60001;
constexpr int32_t kTypeRGB16 = 0x60004;

constexpr int32_t ElementTypeOf(int32_t typeWord) { return typeWord & 0xFFFF; }
// 1 -> 1; 2, 3 -> 4; 4 -> 2; anything else 0.
int32_t ElementSizeOfType(int32_t typeWord);

// The library's table of type names (no operation reads it).
extern const char* const kTypeNames[11];

// Colour samples are stored blue, green, red (, alpha).
template <class T>
struct RGBType {
  T blue, green, red;
};
template <class T>
struct RGBAType {
  T blue, green, red, alpha;
};

// Alignment modes.
enum AlignMode : int32_t {
  kAlignNone = 0,
  kAlign16 = 1,       // pixels 16-aligned
  kAlignRows16 = 2,   // every row 16-aligned
  kAlign128 = 3,      // pixels 128-aligned
  kAlignRows128 = 4,  // rows 16-aligned, stride a multiple of 128
};

constexpr uint32_t kImgHeaderBytes = 16;

class CImg : public CObj {
 public:
  explicit CImg(int32_t alignMode = 0);
  CImg(const CImg& other);             // a second view of other's memory
  CImg& operator=(const CImg& other);  // Assign
  ~CImg() override;

  const GUID* GetClassId() const override;
  void GetHeaderBlob(SHeaderBlob* out) const override;
  HRESULT Load(ISequentialStream* stream) override;
  HRESULT Save(ISequentialStream* stream) override;

  HRESULT Create(int32_t width, int32_t height, int32_t bands, int32_t elementSize, int32_t type,
                 int32_t alignMode);
  HRESULT Attach(void* memory, int32_t width, int32_t height, int32_t bands, int32_t stride,
                 int32_t elementSize, int32_t type);
  int32_t Reset();
  uint8_t* BandPtr(int32_t x, int32_t y, int32_t band) const {
    return pixels + static_cast<intptr_t>(y) * stride + static_cast<intptr_t>(x) * pixelSize +
           static_cast<intptr_t>(band) * elementSize;
  }
  uint8_t* RowPtr(int32_t y) const { return pixels + static_cast<intptr_t>(y) * stride; }
  RECT ClipRect(const RECT* rect) const;
  HRESULT ShareRect(CImg* target, const RECT* rect);
  HRESULT Fill(const void* value, const RECT* rect, int32_t band, bool elementWise);
  HRESULT Clear(const RECT* rect = nullptr);
  HRESULT MakeCompatible(int32_t width, int32_t height, CImg* target);
  HRESULT CopyTo(CImg* target);
  void Assign(const CImg& other);
  void CopyHeader(const CObj& other);
  HRESULT SetParams(const CParams* source);

  bool HasMemory() const { return memShare != nullptr; }

  int32_t width = 0;
  int32_t height = 0;
  int32_t bands = 1;
  int32_t pixelSize = 1;
  int32_t elementSize = 1;
  int32_t stride = 0;
  uint8_t* pixels = nullptr;
  CMemShare* memShare = nullptr;
  int32_t alignMode = 0;
  CParams params;
};

template <class T>
struct ElementTraits;
template <> struct ElementTraits<unsigned char> { static constexpr int32_t type = kElemByte; };
template <> struct ElementTraits<unsigned short> { static constexpr int32_t type = kElemShort; };
template <> struct ElementTraits<float> { static constexpr int32_t type = kElemFloat; };
template <> struct ElementTraits<int32_t> { static constexpr int32_t type = kElemInt; };

template <class T>
class CTypedImg : public CImg {
 public:
  explicit CTypedImg(int32_t align = 0) : CImg(align) {
    type = ElementTraits<T>::type;
    elementSize = sizeof(T);
  }
  CTypedImg(const CTypedImg& other) : CTypedImg(0) { Assign(other); }
  CTypedImg& operator=(const CTypedImg& other) {
    Assign(other);
    return *this;
  }
  using CImg::Create;
  HRESULT Create(int32_t w, int32_t h, int32_t b, int32_t align) {
    return CImg::Create(w, h, b, sizeof(T), type, align);
  }
  // Four-band form.
  HRESULT Create(int32_t w, int32_t h, int32_t align) { return CImg::Create(w, h, 4, sizeof(T), type, align); }

  T* Row(int32_t y) const { return reinterpret_cast<T*>(RowPtr(y)); }
  T& At(int32_t x, int32_t y) const { return Row(y)[x]; }
};

// Records of the bicubic warp: an untyped 12-byte element.
struct _SFlowParams {
  float dx, dy, weight;
};
template <>
class CTypedImg<_SFlowParams> : public CImg {
 public:
  explicit CTypedImg(int32_t align = 0) : CImg(align) {
    type = 0;
    elementSize = 12;
  }
};

template <class T> struct CompositeTraits;
template <> struct CompositeTraits<RGBType<unsigned char>> { static constexpr int32_t type = kTypeRGBByte; static constexpr int32_t bands = 3; using Elem = unsigned char; };
template <> struct CompositeTraits<RGBType<unsigned short>> { static constexpr int32_t type = kTypeRGB16; static constexpr int32_t bands = 3; using Elem = unsigned short; };
template <> struct CompositeTraits<RGBAType<unsigned char>> { static constexpr int32_t type = kTypeRGBAByte; static constexpr int32_t bands = 4; using Elem = unsigned char; };

template <class P>
class CCompositeImg : public CTypedImg<typename CompositeTraits<P>::Elem> {
 public:
  explicit CCompositeImg(int32_t align = 0) : CTypedImg<typename CompositeTraits<P>::Elem>(align) {
    this->type = CompositeTraits<P>::type;
    this->bands = CompositeTraits<P>::bands;
    this->pixelSize = CompositeTraits<P>::bands * static_cast<int32_t>(sizeof(typename CompositeTraits<P>::Elem));
  }
  P* PixelRow(int32_t y) const { return reinterpret_cast<P*>(this->RowPtr(y)); }
};

}  // namespace ko
