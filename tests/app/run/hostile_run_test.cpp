// The program meets every malformed file of the golden table: it refuses each with the
// failure message and exit code 1, writes no result file and never crashes, also when its
// address space is too small for anything a hostile size could ask for.
#include <gtest/gtest.h>

#include "app/pipeline_test_util.h"
#include "app/run/memory_estimate.h"
#include "app/run_failure_util.h"
#include "io/golden_malformed_util.h"

namespace {

using brevant::test::ScratchFolder;
using brevant::test::WriteFileBytes;
using brevant_test::SChildConditions;

// Far below what a claimed size of 2^31 pixels or a wrapped byte count would take, well
// above what the program needs for a small picture.
constexpr uint64_t kAddressSpaceLimit = uint64_t{768} << 20;

void ExpectRefused(const golden::SMalformedCase& row, const SChildConditions& conditions) {
  SCOPED_TRACE(row.name);
  ScratchFolder folder;
  WriteFileBytes(folder / row.name, row.bytes);
  const auto r = brevant_test::RunBrevantUnder({row.name, "1", "0", "2.0"}, folder.path(), conditions);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  // The third line says why; the words depend on the reader (tests/io checks them).
  const std::string refused = "Opening " + row.name + "\nSorry, couldn't open file " + row.name + "\nThe reason: ";
  EXPECT_EQ(r.out.rfind(refused, 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\n', refused.size()), r.out.size() - 1) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{row.name});  // no result, no temporary
}

TEST(HostileRun, EveryMalformedFileIsRefused) {
  SChildConditions conditions;
  if (!brevant_test::BuiltWithAddressSanitizer()) conditions.addressSpaceBytes = kAddressSpaceLimit;
  for (const golden::SMalformedCase& row : golden::MalformedCases()) ExpectRefused(row, conditions);
}

TEST(HostileRun, HugeDeclaredSizesAreRefusedBeforeAnythingIsAllocated) {
  // No limit at all this time: a reader that allocated (and zero-filled) what such a file
  // declares would show it in the peak resident size.
  constexpr long kSmallRunKilobytes = 256 * 1024;
  int rowsTried = 0;
  for (const golden::SMalformedCase& row : golden::MalformedCases()) {
    if (row.load != ko::E_OUTOFMEMORY) continue;
    SCOPED_TRACE(row.name);
    ++rowsTried;
    ScratchFolder folder;
    WriteFileBytes(folder / row.name, row.bytes);
    long peak = 0;
    const auto r = brevant_test::RunBrevantUnder({row.name, "1", "0", "2.0"}, folder.path(), {}, &peak);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_LT(peak, kSmallRunKilobytes);
  }
  EXPECT_GE(rowsTried, 9);
}

TEST(HostileRun, TheWellFormedBasesRunUnderTheSameLimit) {
  SChildConditions conditions;
  if (!brevant_test::BuiltWithAddressSanitizer()) conditions.addressSpaceBytes = kAddressSpaceLimit;
  for (const golden::SMalformedCase& row : golden::WellFormedBases()) {
    if (row.load != ko::S_OK) continue;  // object files stop after opening
    SCOPED_TRACE(row.name);
    ScratchFolder folder;
    WriteFileBytes(folder / row.name, row.bytes);
    const auto r = brevant_test::RunBrevantUnder({row.name, "1", "0", "2.0"}, folder.path(), conditions);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string result = row.name.substr(0, row.name.size() - 3) + "edg";
    EXPECT_TRUE(brevant::test::FileExists(folder / result));
  }
}

TEST(HostileRun, ARunTooLargeForTheMachineIsRefusedBeforeItsPixelsAreRead) {
  // A few bytes declaring 16000 x 16000: the image alone is 1 GB, the run several GB, more
  // than a 4 GB address-space limit leaves. The program must say so at once, not after
  // zero-filling the image.
  constexpr int32_t kSide = 16000;
  SChildConditions conditions;
  if (!brevant_test::BuiltWithAddressSanitizer()) {
    conditions.addressSpaceBytes = uint64_t{4} << 30;
  } else {
    // The sanitizer's shadow memory needs the address space: only a machine too small helps.
    uint64_t available = 0;
    if (!brevant::ReadAvailableMemory(&available) ||
        available >= brevant::RunRequiredBytes(brevant::test::FastSchedule(), kSide, kSide, true, 2.0f, 10, true))
      GTEST_SKIP() << "this machine could hold the run";
  }
  ScratchFolder folder;
  const std::string text = "% KOv1: 16000 x 16000 x 1\n0\n";
  WriteFileBytes(folder / "huge.dat", std::vector<uint8_t>(text.begin(), text.end()));
  long peak = 0;
  const auto r = brevant_test::RunBrevantUnder({"huge.dat", "10", "1", "2.0"}, folder.path(), conditions, &peak);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(r.out.rfind("Opening huge.dat\nNot enough memory for a 16000 x 16000 image: the run needs ", 0), 0u)
      << r.out;
  EXPECT_LT(peak, 256L * 1024);
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"huge.dat"});
}

}  // namespace
