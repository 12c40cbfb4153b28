// Test support for the readers: a private scratch directory for the files a test writes,
// and small builders of file contents.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace raw_test {

// A fresh directory under the system's temporary directory, removed with its files.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Writes `bytes` to the file `name` inside the directory; returns its full path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

// The UTF-16 name the program would pass for a narrow path.
std::u16string Wide(const std::string& path);

// The little-endian bytes of floats, as a .qxi body holds them.
std::string FloatBytes(const std::vector<float>& values);
// The same bytes as lower-case hexadecimal pairs separated by blanks.
std::string HexText(const std::string& bytes);

}  // namespace raw_test
