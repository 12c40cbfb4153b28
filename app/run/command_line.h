// The program's entry point as a function, so tests can run it in-process too.
#pragma once
#include <atomic>

#include "app/schedule.h"

namespace brevant {

// Exit status: 0 success; 1 the run failed (unreadable image, refused argument, result not
// written, cancelled); 2 a wrong argument count (the usage text is printed). The first form
// runs the fast forms on every core.
int RunBrevant(int argc, char** argv);
// With a schedule of the caller's, and a flag that cancels the run when raised.
int RunBrevant(int argc, char** argv, const CSchedule& schedule, const std::atomic<bool>* cancel);

}  // namespace brevant
