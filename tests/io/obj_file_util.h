// Test support: temporary files and a small writer of object files, so that no test
// depends on committed binaries.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ko/core/obj.h"

namespace ko_test {

// A fresh directory under the test temp dir, removed with its files at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& leaf) const { return dir_ + "/" + leaf; }

 private:
  std::string dir_;
};

std::u16string Wide(const std::string& narrow);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void PutLE32At(std::vector<uint8_t>& bytes, size_t at, uint32_t v);
void PutLE64At(std::vector<uint8_t>& bytes, size_t at, uint64_t v);
uint64_t GetLE64At(const std::vector<uint8_t>& bytes, size_t at);

// A record tree node as the writer lays it out.
struct RecordNode {
  uint8_t tag = 0;  // fills the 68-byte node header
  std::vector<uint8_t> data;
  std::vector<RecordNode> children;
};

// Lays out: header, record tree, objects, then the chain of index blocks.
class ObjFileWriter {
 public:
  // The object's own Save writes its persistent form; `classId` is what the record
  // declares (normally the object's own).
  void AddObject(ko::CObj& object, const uint32_t descriptor[6]);
  void AddObject(ko::CObj& object, const uint32_t descriptor[6], const ko::GUID& classId);
  void SetTree(RecordNode root) { tree_ = std::move(root); }
  std::vector<uint8_t> Build() const;

  // Where things ended up in the last Build.
  mutable uint64_t treeOffset = 0;
  mutable std::vector<uint64_t> blockOffsets;
  mutable std::vector<uint64_t> objectOffsets;

 private:
  struct Object {
    std::vector<uint8_t> record;  // descriptor, class id, persistent form
  };
  std::vector<Object> objects_;
  RecordNode tree_;
};

void AppendNode(std::vector<uint8_t>& out, const RecordNode& node);

}  // namespace ko_test
