// Runs the built program as a separate process and captures its standard output.
#pragma once
#include <string>
#include <vector>

namespace brevant_test {

struct ProcessResult {
  int exitCode = -1;   // -1 when the process did not exit normally
  std::string out;     // standard output
  std::string err;     // standard error
};

// argv[0] is supplied; `args` are the arguments after it, passed as raw bytes.
ProcessResult RunBrevantProcess(const std::vector<std::string>& args, const std::string& workDir = "");

}  // namespace brevant_test
