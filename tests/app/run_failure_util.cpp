#include "app/run_failure_util.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace brevant_test {
namespace {

[[noreturn]] void ExecBrevant(const std::vector<std::string>& args, const std::string& workDir) {
  if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(BREVANT_EXE));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(BREVANT_EXE, argv.data());
  _exit(127);
}

bool Apply(const SChildConditions& c) {
  if (c.addressSpaceBytes) {
    const rlimit limit = {c.addressSpaceBytes, c.addressSpaceBytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
  }
  if (c.fileSizeBytes) {
    // Ignored signals stay ignored across exec: the write then fails with EFBIG, as a full
    // disk makes it fail with ENOSPC.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit = {c.fileSizeBytes, c.fileSizeBytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  }
  if (c.asNobody && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return false;
  }
  return true;
}

}  // namespace

ProcessResult RunBrevantUnder(const std::vector<std::string>& args, const std::string& workDir,
                              const SChildConditions& conditions, long* peakKilobytes) {
  ProcessResult result;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) return result;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!Apply(conditions)) _exit(126);
    ExecBrevant(args, workDir);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (peakKilobytes) *peakKilobytes = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

pid_t StartBrevant(const std::vector<std::string>& args, const std::string& workDir) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    ExecBrevant(args, workDir);
  }
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool BuiltWithAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

}  // namespace brevant_test
