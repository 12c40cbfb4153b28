// The result file's writer: many writes from the computing thread while its own threads
// write and sync (every 64 MB), then the file as the writes made it.
#include "app/output/result_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/output/result_file.h"
#include "app/pipeline_test_util.h"

namespace brevant {
namespace {

TEST(ResultStreamTest, WritesAndSyncsUnderWayGiveTheWholeFile) {
  test::ScratchFolder folder;
  const std::string path = folder / "big.edg";
  constexpr size_t kPiece = size_t{1} << 20;
  constexpr int kPieces = 150;  // two syncs under way while the writes go on
  // Three buffers used over and over, so that a piece written at the wrong place shows.
  std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(kPiece));
  for (size_t b = 0; b < buffers.size(); ++b)
    for (size_t j = 0; j < kPiece; ++j) buffers[b][j] = static_cast<uint8_t>(b * 85 + j / 4096);
  const auto piece = [&](int i) -> const std::vector<uint8_t>& { return buffers[static_cast<size_t>(i) % 3]; };
  CResultFile file;
  ASSERT_TRUE(file.Create(path));
  {
    CResultStream stream(file);
    // Out of order: the pieces land by their offsets.
    for (int i = kPieces - 1; i >= 0; --i) stream.WriteAt(piece(i).data(), kPiece, static_cast<uint64_t>(i) * kPiece);
    ASSERT_TRUE(stream.Finish());
  }
  ASSERT_TRUE(file.Commit());
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), kPiece * kPieces);
  for (int i = 0; i < kPieces; ++i)
    ASSERT_TRUE(std::equal(piece(i).begin(), piece(i).end(), bytes.begin() + static_cast<ptrdiff_t>(i * kPiece)))
        << "piece " << i;
}

}  // namespace
}  // namespace brevant
