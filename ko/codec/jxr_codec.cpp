// The only file that includes jxrlib: its headers define S_OK, GUID, min, max and more,
// so nothing of ours that defines those names is included here except guid.h's GUID,
// which lives in namespace ko.
#include "ko/codec/jxr_codec.h"

#include <JXRGlue.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ko/codec/tiff_tags.h"
#include "ko/platform/byte_order.h"

namespace ko {
namespace {

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
      case tiff_tag::kHdPixelFormat:
        if (value > n || n - value < 16) return false;
        havePixelFormat = true;
        break;
      case tiff_tag::kHdTransformation:
        if (items != 1 || value >= O_MAX) return false;
        break;
      case tiff_tag::kHdImageWidth:
      case tiff_tag::kHdImageHeight:
        if (value == 0) return false;
        break;
      // Byte counts are not checked against the file: jxrlib's own encoder writes wrong
      // ones, and its memory stream never reads past the buffer anyway.
      case tiff_tag::kHdImageOffset:
        if (items != 1 || value >= n) return false;
        haveImageOffset = true;
        break;
      case tiff_tag::kHdAlphaOffset:
        if (items != 1 || value >= n) return false;
        break;
      case tiff_tag::kHdImageByteCount:
      case tiff_tag::kHdAlphaByteCount:
        if (items != 1) return false;
        break;
      case tiff_tag::kHdCompression:
      case tiff_tag::kHdImageType:
      case tiff_tag::kHdImageDataDiscard:
      case tiff_tag::kHdAlphaDataDiscard: break;
      default: PutLE16(e, tiff_tag::kHdCompression); break;  // metadata we do not read
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

namespace {

// ---------------------------------------------------------------------------------------
// jxrlib runs in a child process. Its entropy decoder reads and writes out of bounds on
// damaged codestreams (found by fuzzing; the library is not ours to mend) and it asserts
// and prints on values it does not expect, so whatever it does to a hostile file must not
// happen to us: the child shares only an anonymous mapping with us, its output goes to
// /dev/null, and it is stopped after kJxrTimeLimitMs.

constexpr int kJxrTimeLimitMs = 30000;

// The first bytes of the shared mapping; the decoded frame follows at kReportBytes.
struct ChildReport {
  int32_t ok;
  uint32_t width;
  uint32_t height;
  uint32_t frames;
  uint8_t format[16];
};
constexpr size_t kReportBytes = 4096;

class SharedMap {
 public:
  explicit SharedMap(size_t size) : size_(size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  }
  ~SharedMap() {
    if (data_) munmap(data_, size_);
  }
  SharedMap(const SharedMap&) = delete;
  SharedMap& operator=(const SharedMap&) = delete;
  uint8_t* data() const { return data_; }
  ChildReport* report() const { return reinterpret_cast<ChildReport*>(data_); }

 private:
  uint8_t* data_;
  size_t size_;
};

// Runs body(context, shared) in a child; true when it ended normally within the time limit
// and reported success.
bool RunIsolated(const SharedMap& shared, void (*body)(const void*, uint8_t*), const void* context) {
  shared.report()->ok = 0;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A fault in the library ends the child plainly: no crash handler of ours (or of a
    // sanitizer or fuzzer) runs for it.
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGALRM}) signal(sig, SIG_DFL);
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) {
      dup2(quiet, 1);
      dup2(quiet, 2);
    }
    body(context, shared.data());
    _exit(0);  // no exit handlers, no stdio flush of the parent's buffered output
  }
  int status = 0;
  long waitedUs = 0, pause = 20;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return false;
    if (waitedUs > long{kJxrTimeLimitMs} * 1000) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    const timespec ts{0, pause * 1000};
    nanosleep(&ts, nullptr);
    waitedUs += pause;
    if (pause < 5000) pause *= 2;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && shared.report()->ok == 1;
}

struct FileBytes {
  const uint8_t* data;
  size_t size;
};

void ReadInfoInChild(const void* context, uint8_t* shared) {
  const auto* file = static_cast<const FileBytes*>(context);
  auto* report = reinterpret_cast<ChildReport*>(shared);
  Decoder d;
  if (!d.Open(file->data, file->size)) return;
  ::GUID format;
  I32 w = 0, h = 0;
  U32 frames = 0;
  if (Failed(d.decoder->GetPixelFormat(d.decoder, &format)) || Failed(d.decoder->GetSize(d.decoder, &w, &h)) ||
      Failed(d.decoder->GetFrameCount(d.decoder, &frames)) || w <= 0 || h <= 0)
    return;
  report->width = static_cast<uint32_t>(w);
  report->height = static_cast<uint32_t>(h);
  report->frames = frames;
  std::memcpy(report->format, &format, 16);
  report->ok = 1;
}

struct DecodeJob {
  FileBytes file;
  uint32_t width;
  uint32_t height;
  size_t stride;
};

void DecodeInChild(const void* context, uint8_t* shared) {
  const auto* job = static_cast<const DecodeJob*>(context);
  Decoder d;
  if (!d.Open(job->file.data, job->file.size)) return;
  PKRect rect = {0, 0, static_cast<I32>(job->width), static_cast<I32>(job->height)};
  if (Failed(d.decoder->Copy(d.decoder, &rect, shared + kReportBytes, static_cast<U32>(job->stride)))) return;
  reinterpret_cast<ChildReport*>(shared)->ok = 1;
}

}  // namespace

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
  SharedMap shared(kReportBytes);
  if (!shared.data()) {
    bytes_.Reset();
    return JxrStatus::OutOfMemory;
  }
  const FileBytes file{bytes_.data(), size};
  if (!RunIsolated(shared, ReadInfoInChild, &file)) {
    bytes_.Reset();
    return JxrStatus::BadHeader;
  }
  const ChildReport& r = *shared.report();
  if (CheckDecodedSize(r.width, r.height, size) != Ok) {
    bytes_.Reset();
    return JxrStatus::TooLarge;
  }
  ::GUID format;
  std::memcpy(&format, r.format, 16);
  info_.width = r.width;
  info_.height = r.height;
  info_.pixelFormat = FromJxr(format);
  info_.bitsPerPixel = BitsPerPixel(format);
  info_.frameCount = r.frames ? r.frames : 1;
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
  if (paddedStride > UINT32_MAX || paddedHeight > (SIZE_MAX - kReportBytes) / paddedStride) return JxrStatus::OutOfMemory;
  SharedMap shared(kReportBytes + paddedStride * paddedHeight);
  if (!shared.data()) return JxrStatus::OutOfMemory;
  const DecodeJob job{{bytes_.data(), bytes_.size()}, info_.width, info_.height, paddedStride};
  if (!RunIsolated(shared, DecodeInChild, &job)) return JxrStatus::BadImage;
  const uint8_t* frame = shared.data() + kReportBytes;
  for (uint32_t y = 0; y < info_.height; ++y) std::memcpy(out + y * stride, frame + y * paddedStride, rowBytes);
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
