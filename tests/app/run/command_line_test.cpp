#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/pipeline_test_util.h"
#include "app/run_process_util.h"

using brevant_test::RunBrevantProcess;

namespace {

const char kUsage[] =
    "Format:  Brevant <input file> <# iterations> <compute orien hist 0/1> <filter sigma>\n";

using brevant::test::FileExists;
using brevant::test::ScratchFolder;

TEST(CommandLine, WrongArgumentCountPrintsTheUsageAndExitsTwo) {
  for (const auto& args : {std::vector<std::string>{}, {"a", "1", "0"}, {"a", "1", "0", "2", "extra"}}) {
    const auto r = RunBrevantProcess(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, AFileThatCannotBeOpenedSaysWhyAndExitsOne) {
  ScratchFolder folder;
  brevant::test::WriteFileBytes(folder / "text.png", {'h', 'e', 'l', 'l', 'o'});
  brevant::test::WriteFileBytes(folder / "notes.xyz", {'h', 'i'});
  const struct {
    std::string name, reason;
  } cases[] = {{"missing.png", "no such file"},
               {"text.png", "not a format Brevant reads, or its header is damaged"},
               {"photo.xyz", "no such file"},
               {"notes.xyz", "not a format Brevant reads"}};
  for (const auto& c : cases) {
    const auto r = RunBrevantProcess({c.name, "1", "0", "2"}, folder.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Opening " + c.name + "\nSorry, couldn't open file " + c.name + "\nThe reason: " + c.reason + ".\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"notes.xyz", "text.png"}));
}

TEST(CommandLine, SigmaIsCheckedBeforeAnyWork) {
  for (const char* sigma : {"0", "-1", "nan", "inf", "1e7", "abc"}) {
    const auto r = RunBrevantProcess({"missing.png", "1", "0", sigma});
    EXPECT_EQ(r.exitCode, 1) << sigma;
    EXPECT_NE(r.out.find("sigma"), std::string::npos) << sigma;
    EXPECT_EQ(r.out.find("Opening"), std::string::npos) << sigma;
  }
  const auto ok = RunBrevantProcess({"missing.png", "1", "0", "1e6"});
  EXPECT_NE(ok.out.find("Opening"), std::string::npos);
}

TEST(CommandLine, LongAndNonUtf8PathsAreKeptWhole) {
  ScratchFolder folder;
  const std::string& dir = folder.path();
  const std::string longName = std::string(300, 'n') + ".png";
  auto r = RunBrevantProcess({dir + "/" + longName, "1", "0", "2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Opening " + dir + "/" + longName + "\nSorry, couldn't open file " + dir + "/" + longName +
                       "\nThe reason: no such file.\n");
  const std::string odd = dir + "/caf\xE9\xFF.png";
  r = RunBrevantProcess({odd, "1", "0", "2"});
  EXPECT_EQ(r.out, "Opening " + odd + "\nSorry, couldn't open file " + odd + "\nThe reason: no such file.\n");
}

}  // namespace
