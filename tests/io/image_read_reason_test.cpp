#include "ko/io/image_read_reason.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace ko {
namespace {

TEST(ImageReadReasonTest, NamesWhatWentWrong) {
  ClearImageReadReason();  // words an earlier test's failed load left on this thread
  EXPECT_EQ(ImageReadReason(E_KO_NOTFOUND, "x.png"), "no such file");
  EXPECT_EQ(ImageReadReason(E_FAIL, "x.png"), "the file is truncated or corrupt");
  EXPECT_EQ(ImageReadReason(E_NOTIMPL, "x.wdp"), "a variant of the format the reader does not support");
  EXPECT_EQ(ImageReadReason(S_OK, BREVANT_SOURCE_DIR "/README.md"), "not a format Brevant reads");
  EXPECT_EQ(ImageReadReason(S_OK, "missing.abc"), "no such file");
  char folder[] = "/tmp/brevant-reason-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  EXPECT_EQ(ImageReadReason(E_KO_READ, folder), "it is a folder, not a file");
  rmdir(folder);
}

// A reader's own words replace the code's, once, and only on the thread that left them.
TEST(ImageReadReasonTest, AReadersWordsComeOnceInsteadOfTheCodes) {
  SetImageReadReason("a DNG variant the reader does not support: lossy JPEG");
  EXPECT_EQ(ImageReadReason(E_NOTIMPL, "x.dng"), "a DNG variant the reader does not support: lossy JPEG");
  EXPECT_EQ(ImageReadReason(E_NOTIMPL, "x.dng"), "a variant of the format the reader does not support");
  SetImageReadReason("left behind");
  ClearImageReadReason();
  EXPECT_EQ(ImageReadReason(E_KO_NOTFOUND, "x.png"), "no such file");
}

}  // namespace
}  // namespace ko
