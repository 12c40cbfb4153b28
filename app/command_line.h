// The program's entry point as a function, so tests can run it in-process too.
#pragma once

namespace brevant {

// Exit status: 0 success; 1 the run failed (unreadable image, refused argument, result not
// written); 2 a wrong argument count (the usage text is printed).
int RunBrevant(int argc, char** argv);

}  // namespace brevant
