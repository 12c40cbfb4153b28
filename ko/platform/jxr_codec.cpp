// The only file that includes jxrlib: its headers define S_OK, GUID, min, max and more,
// so nothing of ours that defines those names is included here except guid.h's GUID,
// which lives in namespace ko.
#include "ko/platform/jxr_codec.h"

#include <JXRGlue.h>

#include <cstring>

#include "ko/core/byte_order.h"

namespace ko {
namespace {

constexpr uint16_t kTagPixelFormat = 0xBC01;
constexpr uint16_t kTagTransformation = 0xBC02;
constexpr uint16_t kTagCompression = 0xBC03;
constexpr uint16_t kTagImageType = 0xBC04;
constexpr uint16_t kTagImageWidth = 0xBC80;
constexpr uint16_t kTagImageHeight = 0xBC81;
constexpr uint16_t kTagImageOffset = 0xBCC0;
constexpr uint16_t kTagImageByteCount = 0xBCC1;
constexpr uint16_t kTagAlphaOffset = 0xBCC2;
constexpr uint16_t kTagAlphaByteCount = 0xBCC3;
constexpr uint16_t kTagImageDataDiscard = 0xBCC4;
constexpr uint16_t kTagAlphaDataDiscard = 0xBCC5;

::GUID ToJxr(const ko::GUID& g) {
  ::GUID out;
  static_assert(sizeof out == sizeof g);
  std::memcpy(&out, &g, sizeof out);
  return out;
}
ko::GUID FromJxr(const ::GUID& g) {
  ko::GUID out;
  std::memcpy(&out, &g, sizeof out);
  return out;
}

// Checks the container in place and rewrites the tags of entries the decode does not need
// to one jxrlib ignores (Compression). False for anything jxrlib would mishandle.
bool CheckContainer(uint8_t* d, size_t n) {
  if (n < 8 || !IsJxrSignature(d, n)) return false;
  const uint64_t directory = GetLE32(d + 4);
  if (directory > n || n - directory < 2) return false;
  const uint32_t count = GetLE16(d + directory);
  if (count == 0 || count == 0xFFFF || (n - directory - 2) / 12 < count) return false;
  bool havePixelFormat = false, haveImageOffset = false;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* e = d + directory + 2 + 12 * size_t{i};
    const uint16_t tag = GetLE16(e);
    const uint32_t items = GetLE32(e + 4);
    const uint32_t value = GetLE32(e + 8);
    switch (tag) {
      case kTagPixelFormat:
        if (value > n || n - value < 16) return false;
        havePixelFormat = true;
        break;
      case kTagTransformation:
        if (items != 1 || value >= O_MAX) return false;
        break;
      case kTagImageWidth:
      case kTagImageHeight:
        if (value == 0) return false;
        break;
      // Byte counts are not checked against the file: jxrlib's own encoder writes wrong
      // ones, and its memory stream never reads past the buffer anyway.
      case kTagImageOffset:
        if (items != 1 || value >= n) return false;
        haveImageOffset = true;
        break;
      case kTagAlphaOffset:
        if (items != 1 || value >= n) return false;
        break;
      case kTagImageByteCount:
      case kTagAlphaByteCount:
        if (items != 1) return false;
        break;
      case kTagCompression:
      case kTagImageType:
      case kTagImageDataDiscard:
      case kTagAlphaDataDiscard: break;
      default: PutLE16(e, kTagCompression); break;  // metadata we do not read
    }
  }
  return havePixelFormat && haveImageOffset;
}

// A decoder on a memory stream over the checked bytes; released with its stream.
struct Decoder {
  PKImageDecode* decoder = nullptr;
  WMPStream* stream = nullptr;

  ~Decoder() {
    if (decoder) decoder->Release(&decoder);
    if (stream) CloseWS_Memory(&stream);
  }
  bool Open(const uint8_t* data, size_t size) {
    if (Failed(CreateWS_Memory(&stream, const_cast<uint8_t*>(data), size))) return false;
    if (Failed(PKImageDecode_Create_WMP(&decoder))) return false;
    if (Failed(decoder->Initialize(decoder, stream))) return false;
    // Decode the whole image, with its alpha plane when it has one.
    decoder->WMP.wmiSCP.uAlphaMode = decoder->WMP.bHasAlpha ? 2 : 0;
    CWMImageInfo& info = decoder->WMP.wmiI;
    info.cThumbnailWidth = info.cWidth;
    info.cThumbnailHeight = info.cHeight;
    info.bSkipFlexbits = FALSE;
    info.cROILeftX = 0;
    info.cROITopY = 0;
    info.cROIWidth = info.cWidth;
    info.cROIHeight = info.cHeight;
    return true;
  }
};

// jxrlib's memory stream does not record how much was written; this one does, in the
// otherwise unused cbBufCount.
ERR TrackingWrite(WMPStream* s, const void* data, size_t n) {
  auto& b = s->state.buf;
  if (b.cbCur > b.cbBuf || n > b.cbBuf - b.cbCur) return WMP_errBufferOverflow;
  std::memcpy(b.pbBuf + b.cbCur, data, n);
  b.cbCur += n;
  if (b.cbCur > b.cbBufCount) b.cbBufCount = b.cbCur;
  return WMP_errSuccess;
}

uint32_t BitsPerPixel(const ::GUID& format) {
  PKPixelInfo info;
  std::memset(&info, 0, sizeof info);
  info.pGUIDPixFmt = &format;
  if (Failed(PixelFormatLookup(&info, LOOKUP_FORWARD))) return 0;
  return info.cbitUnit;
}

}  // namespace

bool IsJxrSignature(const uint8_t* d, size_t n) {
  return n >= 4 && d[0] == 'I' && d[1] == 'I' && d[2] == 0xBC && (d[3] == 0 || d[3] == 1);
}

JxrStatus JxrFile::Open(const uint8_t* data, size_t size) {
  info_ = JxrInfo();
  bytes_.Reset();
  if (!IsJxrSignature(data, size)) return JxrStatus::BadHeader;
  if (size > kMaxCodecFileBytes) return JxrStatus::TooLarge;
  if (!bytes_.Allocate(size)) return JxrStatus::OutOfMemory;
  std::memcpy(bytes_.data(), data, size);
  if (!CheckContainer(bytes_.data(), size)) {
    bytes_.Reset();
    return JxrStatus::BadHeader;
  }
  Decoder d;
  if (!d.Open(bytes_.data(), size)) {
    bytes_.Reset();
    return JxrStatus::BadHeader;
  }
  ::GUID format;
  I32 w = 0, h = 0;
  U32 frames = 0;
  if (Failed(d.decoder->GetPixelFormat(d.decoder, &format)) || Failed(d.decoder->GetSize(d.decoder, &w, &h)) ||
      Failed(d.decoder->GetFrameCount(d.decoder, &frames)) || w <= 0 || h <= 0) {
    bytes_.Reset();
    return JxrStatus::BadHeader;
  }
  if (CheckDecodedSize(static_cast<uint32_t>(w), static_cast<uint32_t>(h), size) != Ok) {
    bytes_.Reset();
    return JxrStatus::TooLarge;
  }
  info_.width = static_cast<uint32_t>(w);
  info_.height = static_cast<uint32_t>(h);
  info_.pixelFormat = FromJxr(format);
  info_.bitsPerPixel = BitsPerPixel(format);
  info_.frameCount = frames ? frames : 1;
  return JxrStatus::Ok;
}

size_t JxrFile::RowBytes() const { return (size_t{info_.width} * info_.bitsPerPixel + 7) / 8; }

JxrStatus JxrFile::Decode(uint8_t* out, size_t stride, size_t outSize) const {
  if (!bytes_.data() || info_.bitsPerPixel == 0) return JxrStatus::Unsupported;
  const size_t rowBytes = RowBytes();
  if (stride < rowBytes || outSize / stride < info_.height) return JxrStatus::BadImage;
  // jxrlib works in 16 x 16 macroblocks; it gets a buffer padded to whole ones.
  const size_t paddedWidth = (size_t{info_.width} + 15) & ~size_t{15};
  const size_t paddedHeight = (size_t{info_.height} + 15) & ~size_t{15};
  const size_t paddedStride = ((paddedWidth * info_.bitsPerPixel + 7) / 8 + 15) & ~size_t{15};
  CodecBuffer frame;
  if (paddedStride > UINT32_MAX || !frame.Allocate(paddedStride * paddedHeight, true)) return JxrStatus::OutOfMemory;
  Decoder d;
  if (!d.Open(bytes_.data(), bytes_.size())) return JxrStatus::BadImage;
  PKRect rect = {0, 0, static_cast<I32>(info_.width), static_cast<I32>(info_.height)};
  if (Failed(d.decoder->Copy(d.decoder, &rect, frame.data(), static_cast<U32>(paddedStride)))) return JxrStatus::BadImage;
  for (uint32_t y = 0; y < info_.height; ++y) std::memcpy(out + y * stride, frame.data() + y * paddedStride, rowBytes);
  return JxrStatus::Ok;
}

JxrStatus EncodeJxr(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, const ko::GUID& format,
                    int quality, CodecBuffer* out) {
  const ::GUID pf = ToJxr(format);
  PKPixelInfo info;
  std::memset(&info, 0, sizeof info);
  info.pGUIDPixFmt = &pf;
  if (Failed(PixelFormatLookup(&info, LOOKUP_FORWARD))) return JxrStatus::Unsupported;
  const size_t capacity = stride * height * 2 + 65536;
  CodecBuffer buffer;
  if (!buffer.Allocate(capacity, true)) return JxrStatus::OutOfMemory;
  WMPStream* stream = nullptr;
  if (Failed(CreateWS_Memory(&stream, buffer.data(), capacity))) return JxrStatus::OutOfMemory;
  stream->state.buf.cbBufCount = 0;
  stream->Write = TrackingWrite;
  PKImageEncode* encoder = nullptr;
  if (Failed(PKImageEncode_Create_WMP(&encoder))) {
    CloseWS_Memory(&stream);
    return JxrStatus::OutOfMemory;
  }
  CWMIStrCodecParam scp;
  std::memset(&scp, 0, sizeof scp);
  scp.cfColorFormat = info.uSamplePerPixel == 1 ? Y_ONLY : YUV_444;
  scp.bdBitDepth = BD_LONG;
  scp.bfBitstreamFormat = FREQUENCY;
  scp.bProgressiveMode = TRUE;
  scp.olOverlap = quality <= 1 ? OL_NONE : OL_ONE;
  scp.sbSubband = SB_ALL;
  scp.uAlphaMode = (info.grBit & PK_pixfmtHasAlpha) ? 2 : 0;
  scp.uiDefaultQPIndex = static_cast<U8>(quality < 1 ? 1 : quality > 255 ? 255 : quality);
  scp.uiDefaultQPIndexAlpha = 1;
  JxrStatus status = JxrStatus::BadImage;
  if (!Failed(encoder->Initialize(encoder, stream, &scp, sizeof scp))) {
    if (scp.uAlphaMode == 2) encoder->WMP.wmiSCP_Alpha.uiDefaultQPIndex = 1;
    if (!Failed(encoder->SetPixelFormat(encoder, pf)) &&
        !Failed(encoder->SetSize(encoder, static_cast<I32>(width), static_cast<I32>(height))) &&
        !Failed(encoder->SetResolution(encoder, 96.0f, 96.0f)) &&
        !Failed(encoder->WritePixels(encoder, height, const_cast<U8*>(pixels), static_cast<U32>(stride)))) {
      const size_t written = stream->state.buf.cbBufCount;
      if (written > 0 && written <= capacity && out->Allocate(written)) {
        std::memcpy(out->data(), buffer.data(), written);
        status = JxrStatus::Ok;
      } else {
        status = JxrStatus::OutOfMemory;
      }
    }
  }
  encoder->Release(&encoder);  // closes the stream too
  return status;
}

}  // namespace ko
