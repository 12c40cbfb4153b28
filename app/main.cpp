#include <atomic>
#include <csignal>

#include <signal.h>

#include "app/run/command_line.h"

namespace {

std::atomic<bool> g_cancel{false};
volatile std::sig_atomic_t g_signal = 0;

// Ctrl-C or a termination request: the run stops at its next pass and removes its
// temporary file; a second signal ends the program at once (the handler is reset).
extern "C" void OnStopSignal(int signal) {
  g_signal = signal;
  g_cancel.store(true, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv) {
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const brevant::CSchedule schedule;
  const int status = brevant::RunBrevant(argc, argv, schedule, &g_cancel);
  // Ended by the signal, as the program would have been without the handler.
  if (g_signal != 0) std::raise(g_signal);
  return status;
}
