// A whole run of the program, for /usr/bin/time: the program's own entry point with the
// form and the thread count chosen on the command line, and the writer of the benchmark's
// photograph-like test image.
//
//   build/bench/brevant_run_bench image <out.hdr> <size>    (synthetic, photograph-like)
//   build/bench/brevant_run_bench photo <out.png> <size>    (data/sample.jpg, scaled)
//   /usr/bin/time -v build/bench/brevant_run_bench run [--plain] [--threads N] <file> 10 1 2
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/run/command_line.h"
#include "bench/bench_images.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "image") == 0) {
    const int32_t size = std::atoi(argv[3]);
    if (!brevant::bench::WritePhotoLikeHdr(argv[2], size, size, 1)) {
      std::printf("cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "photo") == 0) {
    const int32_t size = std::atoi(argv[3]);
    if (!brevant::bench::WriteSamplePhotoPng(argv[2], size, size)) {
      std::printf("cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
    std::vector<char*> args = {argv[0]};
    brevant::EForm form = brevant::EForm::kFast;
    int32_t threads = 0;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--plain") == 0) form = brevant::EForm::kReference;
      else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) threads = std::atoi(argv[++i]);
      else args.push_back(argv[i]);
    }
    const brevant::CSchedule schedule(form, threads);
    const int status = brevant::RunBrevant(static_cast<int>(args.size()), args.data(), schedule, nullptr);
    std::printf("peak resident memory: %.1f MB\n", brevant::bench::PeakResidentBytes() / 1048576.0);
    return status;
  }
  std::printf("usage: %s image <out.hdr> <size> | photo <out.png> <size> | run [--plain] [--threads N] <file> <passes> <0/1> <sigma>\n", argv[0]);
  return 2;
}
