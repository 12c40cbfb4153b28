// brevant-view as a function: the command line in, the exit status out.
#pragma once

namespace brevant::view {

// 0 when every picture was written, 1 on an error (printed), 2 for a wrong command line.
int RunViewer(int argc, char** argv);

}  // namespace brevant::view
