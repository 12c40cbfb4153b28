// The whole run against its floor, measured in one run: the program on a 2048 x 2048
// photograph (10 passes, histograms, sigma 2, its result file written as usual) on two cores
// and on one (its affinity set to the first core, as taskset -c 0 does), beside
//   - the I/O floor: writing as many bytes to a new file in the same folder, 1 MB at a time,
//     then fsync, as dd conv=fsync does;
//   - the compute floor: the arithmetic floors of the run's kernels (bench/floors.h) summed
//     over the run: the steerable tap rule and atan2 once, the 36-bin pass once a pass, on
//     two threads or on one.
// Each figure is the least of --reps repetitions, taken in turns so that the machine's
// changes of speed fall on all of them. On two cores the run is set against
// max(I/O, compute), on one against their sum (a single core does both). The run's processor
// time (user + system, all its threads) divided by its cores is the least wall time that
// work allows, however well it were spread.
//
//   build/bench/whole_run_bench [--size 2048] [--reps 3] [--passes 10] [--folder DIR] [--program PATH]
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_images.h"
#include "bench/floors.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

struct SRun {
  double wall = -1.0;  // seconds; negative when the program failed
  double cpu = 0.0;    // user + system seconds of all its threads
};

// Runs the program on `photo`, its result removed first; on the first core only with
// `oneCore`.
SRun RunProgram(const std::string& program, const std::string& photo, int passes, bool oneCore) {
  std::remove((photo.substr(0, photo.size() - 3) + "edg").c_str());
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (oneCore) {
      cpu_set_t first;
      CPU_ZERO(&first);
      CPU_SET(0, &first);
      sched_setaffinity(0, sizeof first, &first);
    }
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const std::string count = std::to_string(passes);
    execl(program.c_str(), program.c_str(), photo.c_str(), count.c_str(), "1", "2", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  SRun run;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.wall = Seconds(start);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return run;
}

// Writes `bytes` to a new file in `folder`, 1 MB at a time, then fsync: the I/O floor.
double IoFloor(const std::string& folder, uint64_t bytes) {
  const std::string path = folder + "/io-floor.tmp";
  std::vector<char> block(1 << 20, 1);
  const auto start = std::chrono::steady_clock::now();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1.0;
  for (uint64_t done = 0; done < bytes;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes - done));
    if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) break;
    done += n;
  }
  fsync(fd);
  close(fd);
  const double seconds = Seconds(start);
  unlink(path.c_str());
  return seconds;
}

// The compute floor of a run of `passes` passes on `threads` threads, in seconds.
double ComputeFloor(int64_t pixels, int passes, int threads) {
  const bool wide = brevant::bench::HaveAvx512();
  const double ms = brevant::bench::SteerableTapFloorMs(pixels, 9, threads, wide) +
                    brevant::bench::OrientationAtan2Ms(pixels, threads) +
                    passes * brevant::bench::BinPassFloorMs(pixels, threads, wide);
  return ms / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  int size = 2048, reps = 3, passes = 10;
  std::string folder = ".", program = BREVANT_PROGRAM;
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    if (i + 1 == argc) {
      // A lone argument (--help, say) must not start a minute-long run in the current folder.
      std::printf("usage: %s [--size 2048] [--reps 3] [--passes 10] [--folder DIR] [--program PATH]\n", argv[0]);
      return 2;
    }
    if (a == "--size") size = std::atoi(argv[i + 1]);
    else if (a == "--reps") reps = std::atoi(argv[i + 1]);
    else if (a == "--passes") passes = std::atoi(argv[i + 1]);
    else if (a == "--folder") folder = argv[i + 1];
    else if (a == "--program") program = argv[i + 1];
    else {
      std::printf("unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  const std::string photo = folder + "/whole-run-" + std::to_string(size) + ".png";
  if (access(photo.c_str(), R_OK) != 0 && !brevant::bench::WriteSamplePhotoPng(photo, size, size)) {
    std::printf("cannot write %s\n", photo.c_str());
    return 1;
  }
  const int64_t pixels = static_cast<int64_t>(size) * size;
  const uint64_t bytes = static_cast<uint64_t>(pixels) * 4 * 39;
  double run2 = 1e30, run1 = 1e30, cpu2 = 1e30, cpu1 = 1e30, io = 1e30, compute2 = 1e30, compute1 = 1e30;
  for (int r = 0; r < reps; ++r) {
    const SRun a = RunProgram(program, photo, passes, false);
    const SRun b = RunProgram(program, photo, passes, true);
    if (a.wall < 0 || b.wall < 0) {
      std::printf("the program failed on %s\n", photo.c_str());
      return 1;
    }
    run2 = std::min(run2, a.wall);
    run1 = std::min(run1, b.wall);
    cpu2 = std::min(cpu2, a.cpu);
    cpu1 = std::min(cpu1, b.cpu);
    io = std::min(io, IoFloor(folder, bytes));
    compute2 = std::min(compute2, ComputeFloor(pixels, passes, 2));
    compute1 = std::min(compute1, ComputeFloor(pixels, passes, 1));
  }
  std::remove((photo.substr(0, photo.size() - 3) + "edg").c_str());
  std::printf("%d x %d photograph, %d passes, histograms, sigma 2; %llu result bytes; best of %d\n", size, size,
              passes, static_cast<unsigned long long>(bytes), reps);
  std::printf("%-34s %10s %10s\n", "", "two cores", "one core");
  std::printf("%-34s %9.2fs %9.2fs\n", "whole run (wall)", run2, run1);
  std::printf("%-34s %9.2fs %9.2fs\n", "its processor time (user + system)", cpu2, cpu1);
  std::printf("%-34s %9.2fs %9.2fs\n", "least wall that time allows", cpu2 / 2, cpu1);
  std::printf("%-34s %9.2fs %9.2fs\n", "I/O floor (write + fsync)", io, io);
  std::printf("%-34s %9.2fs %9.2fs\n", "compute floor (kernels' arithmetic)", compute2, compute1);
  std::printf("%-34s %9.2fs %9.2fs\n", "floor: max (two cores), sum (one)", std::max(io, compute2), io + compute1);
  std::printf("%-34s %9.2fx %9.2fx\n", "run against its floor", run2 / std::max(io, compute2), run1 / (io + compute1));
  return 0;
}
