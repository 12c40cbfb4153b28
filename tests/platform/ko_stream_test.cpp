#include "ko/platform/ko_stream.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "ko/platform/memory.h"
#include "ko/platform/path_codec.h"

using namespace ko;

namespace {

class KoStreamTest : public ::testing::Test {
 protected:
  KoStreamTest() {
    std::string pattern = ::testing::TempDir() + "kostream-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  ~KoStreamTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Narrow(const std::string& leaf) const { return dir_ + "/" + leaf; }
  std::u16string Path(const std::string& leaf) const { return DecodeNarrowPath(Narrow(leaf).c_str()); }
  void WriteText(const std::string& leaf, const std::string& text) {
    FILE* f = std::fopen(Narrow(leaf).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  std::string dir_;
};

TEST_F(KoStreamTest, OpenErrors) {
  CKoStream* stream = nullptr;
  EXPECT_EQ(CKoStream::Create(nullptr, &stream, 0), E_POINTER);
  EXPECT_EQ(CKoStream::Create(u"x", nullptr, 0), E_POINTER);
  EXPECT_EQ(CKoStream::Create(Path("missing").c_str(), &stream, 0), E_KO_NOTFOUND);
  EXPECT_EQ(stream, nullptr);
  // Read-write without the create flag does not create.
  EXPECT_EQ(CKoStream::Create(Path("missing").c_str(), &stream, kKoStreamReadWrite), E_KO_NOTFOUND);
  // The create flag means nothing without read-write.
  EXPECT_EQ(CKoStream::Create(Path("missing").c_str(), &stream, kKoStreamCreate), E_KO_NOTFOUND);
  // A directory is no file.
  EXPECT_EQ(CKoStream::Create(DecodeNarrowPath(dir_.c_str()).c_str(), &stream, 0), E_ACCESSDENIED);
  // Anything else: a file used as a directory.
  WriteText("plain", "x");
  EXPECT_EQ(CKoStream::Create(Path("plain/inside").c_str(), &stream, 0), E_FAIL);
  if (geteuid() != 0) {  // the superuser is never denied
    WriteText("locked", "x");
    ASSERT_EQ(chmod(Narrow("locked").c_str(), 0), 0);
    EXPECT_EQ(CKoStream::Create(Path("locked").c_str(), &stream, 0), E_ACCESSDENIED);
  }
  {
    WriteText("present", "x");
    ScopedAllocFailure failure(0);
    EXPECT_EQ(CKoStream::Create(Path("present").c_str(), &stream, 0), E_OUTOFMEMORY);
  }
}

TEST_F(KoStreamTest, ReadOnlyReadsAndSeeks) {
  WriteText("data", "0123456789");
  CKoStream* stream = nullptr;
  ASSERT_EQ(CKoStream::Create(Path("data").c_str(), &stream, 0), S_OK);
  char buffer[16] = {};
  uint32_t got = 99;
  EXPECT_EQ(stream->Read(buffer, 4, &got), S_OK);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  uint64_t position = 0;
  EXPECT_EQ(stream->Seek(2, STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position, 6u);
  EXPECT_EQ(stream->Seek(-3, STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position, 7u);
  // The end of the file: a short count and S_FALSE.
  EXPECT_EQ(stream->Read(buffer, 16, &got), S_FALSE);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(stream->Read(buffer, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(stream->Seek(1, 77, &position), S_OK);  // an unknown origin counts from the start
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(stream->Seek(-1, STREAM_SEEK_SET, &position), E_FAIL);
  EXPECT_EQ(stream->Seek(-20, STREAM_SEEK_END, nullptr), E_FAIL);
  EXPECT_EQ(stream->Read(nullptr, 1, &got), E_POINTER);
  uint32_t put = 9;
  EXPECT_EQ(stream->Write("ab", 2, &put), E_FAIL);
  EXPECT_EQ(put, 0u);
  EXPECT_EQ(stream->Release(), 0);
}

TEST_F(KoStreamTest, ReadWriteAndCreate) {
  WriteText("data", "0123456789");
  CKoStream* stream = nullptr;
  ASSERT_EQ(CKoStream::Create(Path("data").c_str(), &stream, kKoStreamReadWrite), S_OK);
  uint32_t put = 0;
  ASSERT_EQ(stream->Seek(3, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("ab", 2, &put), S_OK);
  EXPECT_EQ(put, 2u);
  EXPECT_EQ(stream->Write(nullptr, 2, &put), E_POINTER);
  stream->Release();
  char buffer[16] = {};
  ASSERT_EQ(CKoStream::Create(Path("data").c_str(), &stream, 0), S_OK);
  uint32_t got = 0;
  EXPECT_EQ(stream->Read(buffer, 16, &got), S_FALSE);
  EXPECT_EQ(std::string(buffer, got), "012ab56789");  // not truncated
  stream->Release();

  // Create truncates an existing file and makes a missing one.
  ASSERT_EQ(CKoStream::Create(Path("data").c_str(), &stream, kKoStreamReadWrite | kKoStreamCreate), S_OK);
  uint64_t size = 1;
  EXPECT_EQ(stream->Seek(0, STREAM_SEEK_END, &size), S_OK);
  EXPECT_EQ(size, 0u);
  stream->Release();
  ASSERT_EQ(CKoStream::Create(Path("new").c_str(), &stream, kKoStreamReadWrite | kKoStreamCreate), S_OK);
  EXPECT_EQ(stream->Write("xyz", 3, &put), S_OK);
  ASSERT_EQ(stream->Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Read(buffer, 3, &got), S_OK);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
  stream->Release();
}

TEST_F(KoStreamTest, InterfacesAndCounting) {
  WriteText("data", "x");
  CKoStream* stream = nullptr;
  ASSERT_EQ(CKoStream::Create(Path("data").c_str(), &stream, 0), S_OK);
  const GUID* answered[] = {&IID_IUnknown, &IID_ISequentialStream, &IID_IStream, &IID_IKoAsyncStream};
  void* first = nullptr;
  for (const GUID* iid : answered) {
    void* out = nullptr;
    ASSERT_EQ(stream->QueryInterface(*iid, &out), S_OK);
    if (!first) first = out;
    EXPECT_EQ(out, first);
  }
  EXPECT_EQ(stream->AddRef(), 6);  // one from Create, four answers, this one
  for (int i = 0; i < 5; ++i) stream->Release();
  void* out = reinterpret_cast<void*>(0x1);
  GUID other = IID_IStream;
  other.Data1 ^= 1;
  EXPECT_EQ(stream->QueryInterface(other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(stream->QueryInterface(IID_IStream, nullptr), E_POINTER);

  // The last Release closes the descriptor.
  const int fd = stream->Descriptor();
  EXPECT_EQ(stream->Release(), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

}  // namespace
