#include "io/obj_file_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "ko/platform/byte_order.h"
#include "ko/platform/path_codec.h"
#include "ko/platform/sequential_stream.h"

namespace ko_test {

TempDir::TempDir() {
  std::string pattern = ::testing::TempDir() + "brevant-XXXXXX";
  char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::u16string Wide(const std::string& narrow) { return ko::DecodeNarrowPath(narrow.c_str()); }

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

void PutLE32At(std::vector<uint8_t>& bytes, size_t at, uint32_t v) { ko::PutLE32(bytes.data() + at, v); }
void PutLE64At(std::vector<uint8_t>& bytes, size_t at, uint64_t v) { ko::PutLE64(bytes.data() + at, v); }
uint64_t GetLE64At(const std::vector<uint8_t>& bytes, size_t at) { return ko::GetLE64(bytes.data() + at); }

void AppendNode(std::vector<uint8_t>& out, const RecordNode& node) {
  out.insert(out.end(), 68, node.tag);
  uint8_t field[4];
  ko::PutLE32(field, static_cast<uint32_t>(node.data.size()));
  out.insert(out.end(), field, field + 4);
  out.insert(out.end(), node.data.begin(), node.data.end());
  ko::PutLE32(field, static_cast<uint32_t>(node.children.size()));
  out.insert(out.end(), field, field + 4);
  for (const RecordNode& child : node.children) AppendNode(out, child);
}

void ObjFileWriter::AddObject(ko::CObj& object, const uint32_t descriptor[6]) {
  AddObject(object, descriptor, *object.GetClassId());
}

void ObjFileWriter::AddObject(ko::CObj& object, const uint32_t descriptor[6], const ko::GUID& classId) {
  ko::CMemoryStream stream;
  ASSERT_EQ(object.Save(&stream), ko::S_OK);
  Object entry;
  entry.record.resize(40);
  for (int i = 0; i < 6; ++i) ko::PutLE32(entry.record.data() + 4 * i, descriptor[i]);
  ko::GuidToBytes(classId, entry.record.data() + 24);
  entry.record.insert(entry.record.end(), stream.Bytes().begin(), stream.Bytes().end());
  objects_.push_back(std::move(entry));
}

std::vector<uint8_t> ObjFileWriter::Build() const {
  std::vector<uint8_t> out(48);
  for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(0xA0 + i);
  treeOffset = out.size();
  AppendNode(out, tree_);
  objectOffsets.clear();
  for (const Object& object : objects_) {
    objectOffsets.push_back(out.size());
    out.insert(out.end(), object.record.begin(), object.record.end());
  }
  const size_t blocks = objects_.empty() ? 1 : (objects_.size() + 255) / 256;
  blockOffsets.clear();
  for (size_t b = 0; b < blocks; ++b) {
    blockOffsets.push_back(out.size());
    const size_t at = out.size();
    out.resize(at + 3080, 0);
    for (size_t e = 0; e < 256 && b * 256 + e < objects_.size(); ++e) {
      const size_t i = b * 256 + e;
      PutLE64At(out, at + 8 + 8 * e, objectOffsets[i]);
      PutLE32At(out, at + 8 + 2048 + 4 * e, static_cast<uint32_t>(objects_[i].record.size()));
    }
  }
  for (size_t b = 0; b + 1 < blocks; ++b) PutLE64At(out, blockOffsets[b], blockOffsets[b + 1]);
  PutLE64At(out, 32, treeOffset);
  PutLE64At(out, 40, blockOffsets[0]);
  return out;
}

}  // namespace ko_test
