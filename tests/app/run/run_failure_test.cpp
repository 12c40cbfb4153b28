// The run itself failing: a full disk, a folder the program may not write, and a kill
// half-way. Each leaves an earlier result untouched and no temporary behind; the first two
// end with a message and exit code 1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <thread>

#include "app/pipeline_test_util.h"
#include "app/run_failure_util.h"

namespace {

using brevant::test::FileExists;
using brevant::test::ReadFileBytes;
using brevant::test::ScratchFolder;
using brevant::test::WriteFileBytes;
using brevant_test::RunBrevantUnder;
using brevant_test::SChildConditions;

// A w x h binary .qxi picture of a smooth ramp with a step in it.
std::vector<uint8_t> QxiPicture(int w, int h) {
  const std::string header = "1 4 0 0 " + std::to_string(w) + " " + std::to_string(h) + " 1 0 185\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float v = static_cast<float>(x + y) * 0.5f + (x > w / 2 ? 40.0f : 0.0f);
      uint8_t b[4];
      std::memcpy(b, &v, 4);
      bytes.insert(bytes.end(), b, b + 4);
    }
  return bytes;
}

const std::vector<uint8_t> kEarlier(5000, 0x5A);  // stands for the result of an earlier run

// Whether process `pid` holds a file of `folder` open for writing that is not yet one of its
// entries: its result's temporary.
bool WritesTemporary(pid_t pid, const ScratchFolder& folder) {
  char real[PATH_MAX];
  if (!realpath(folder.path().c_str(), real)) return false;
  const std::string prefix = std::string(real) + "/";
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (!error && target.rfind(prefix, 0) == 0 &&
        (target.find(" (deleted)") != std::string::npos || target.find("/.brevant-") != std::string::npos))
      return true;
  }
  return false;
}

TEST(RunFailure, AFullDiskKeepsTheEarlierResultAndLeavesNoTemporary) {
  ScratchFolder folder;
  WriteFileBytes(folder / "scene.qxi", QxiPicture(64, 48));
  WriteFileBytes(folder / "scene.edg", kEarlier);
  // Every file of the child may grow to 4000 bytes, less than one plane of 64 x 48 floats.
  SChildConditions full;
  full.fileSizeBytes = 4000;
  const auto r = RunBrevantUnder({"scene.qxi", "1", "0", "2.0"}, folder.path(), full);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const std::string last = "Cannot write the result file scene.edg: " + std::string(std::strerror(EFBIG)) + ".\n";
  ASSERT_GE(r.out.size(), last.size());
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
  EXPECT_EQ(ReadFileBytes(folder / "scene.edg"), kEarlier);
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"scene.edg", "scene.qxi"}));

  // The same run with room succeeds and replaces the earlier result.
  const auto ok = RunBrevantUnder({"scene.qxi", "1", "0", "2.0"}, folder.path(), {});
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  EXPECT_EQ(ReadFileBytes(folder / "scene.edg").size(), size_t{64} * 48 * 4 * 3);
}

TEST(RunFailure, AnUnwritableFolderIsReportedBeforeAnyWork) {
  // Permissions do not bind the superuser: as root the child drops to the unprivileged
  // user, for whom the folder is read-only.
  ScratchFolder folder;
  WriteFileBytes(folder / "scene.qxi", QxiPicture(16, 16));
  WriteFileBytes(folder / "scene.edg", kEarlier);
  ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
  SChildConditions locked;
  locked.asNobody = true;
  const auto r = RunBrevantUnder({"scene.qxi", "1", "0", "2.0"}, folder.path(), locked);
  chmod(folder.path().c_str(), 0755);
  if (r.exitCode == 126) GTEST_SKIP() << "cannot drop to an unprivileged user here";
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_EQ(r.out, "Opening scene.qxi\nCannot create the result file scene.edg: " + std::string(std::strerror(EACCES)) +
                       ".\n");
  EXPECT_EQ(ReadFileBytes(folder / "scene.edg"), kEarlier);
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"scene.edg", "scene.qxi"}));
}

TEST(RunFailure, AResultNameThatIsAFolderIsReported) {
  ScratchFolder folder;
  WriteFileBytes(folder / "scene.qxi", QxiPicture(16, 16));
  ASSERT_EQ(mkdir((folder / "scene.edg").c_str(), 0755), 0);
  const auto r = RunBrevantUnder({"scene.qxi", "1", "0", "2.0"}, folder.path(), {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Opening scene.qxi\nCannot create the result file scene.edg: " + std::string(std::strerror(EISDIR)) +
                       ".\n");
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"scene.edg", "scene.qxi"}));
}

TEST(RunFailure, AKillHalfWayKeepsTheEarlierResult) {
  // A run long enough to be caught working: killed as soon as its temporary exists.
  ScratchFolder folder;
  WriteFileBytes(folder / "large.qxi", QxiPicture(768, 768));
  WriteFileBytes(folder / "large.edg", kEarlier);
  const pid_t child = brevant_test::StartBrevant({"large.qxi", "40", "0", "2.0"}, folder.path());
  ASSERT_GT(child, 0);
  bool seen = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    seen = WritesTemporary(child, folder);
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(child, SIGKILL);
  const int status = brevant_test::WaitForChild(child);
  ASSERT_TRUE(seen) << "the run never created its temporary";
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";
  EXPECT_EQ(ReadFileBytes(folder / "large.edg"), kEarlier);
  // The temporary had no name yet: the kill leaves nothing behind.
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"large.edg", "large.qxi"}));

  // The next run is not disturbed by it and replaces the earlier result.
  const auto r = RunBrevantUnder({"large.qxi", "1", "0", "2.0"}, folder.path(), {});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(folder / "large.edg").size(), size_t{768} * 768 * 4 * 3);
}

}  // namespace
