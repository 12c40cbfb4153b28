// Test files on disk for the codec readers: a private directory removed afterwards, files
// written from encoded bytes, their wide names.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ko/codec/codec_image.h"

namespace gdi_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Writes the file and returns its wide name.
  std::u16string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  std::u16string Write(const std::string& name, const ko::CodecBuffer& bytes) const;
  std::u16string Path(const std::string& name) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace gdi_test
