// Runs the built program as a child under conditions a normal run never meets: resource
// limits, another user, or a kill while it works.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_process_util.h"

namespace brevant_test {

struct SChildConditions {
  uint64_t addressSpaceBytes = 0;  // RLIMIT_AS when non-zero
  uint64_t fileSizeBytes = 0;      // RLIMIT_FSIZE when non-zero; SIGXFSZ is then ignored
  bool asNobody = false;           // drop to user and group 65534 (tests run as root)
};

// Like RunBrevantProcess, under `conditions`. exitCode 126 when a condition could not be set.
// With `peakKilobytes`, the child's largest resident set size.
ProcessResult RunBrevantUnder(const std::vector<std::string>& args, const std::string& workDir,
                              const SChildConditions& conditions, long* peakKilobytes = nullptr);

// Starts the program with its output discarded; the caller waits for it or kills it.
pid_t StartBrevant(const std::vector<std::string>& args, const std::string& workDir);
// The exit status as waitpid gives it.
int WaitForChild(pid_t pid);

// True when the tests were built with AddressSanitizer, whose shadow memory needs far more
// address space than any sensible limit.
bool BuiltWithAddressSanitizer();

}  // namespace brevant_test
