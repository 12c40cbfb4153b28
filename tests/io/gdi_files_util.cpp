#include "gdi_files_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "ko/platform/path_codec.h"

namespace gdi_test {

TempDir::TempDir() {
  std::string pattern = std::string(::testing::TempDir()) + "/ko_codec_XXXXXX";
  char* made = mkdtemp(pattern.data());
  dir_ = made ? made : ::testing::TempDir();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::u16string TempDir::Path(const std::string& name) const { return ko::DecodeNarrowPath((dir_ + "/" + name).c_str()); }

std::u16string TempDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  const std::string path = dir_ + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_TRUE(f) << path;
  if (f) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return Path(name);
}

std::u16string TempDir::Write(const std::string& name, const ko::CodecBuffer& bytes) const {
  return Write(name, std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.size()));
}

}  // namespace gdi_test
