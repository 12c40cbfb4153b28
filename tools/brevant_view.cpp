#include "tools/view_command.h"

int main(int argc, char** argv) { return brevant::view::RunViewer(argc, argv); }
