#pragma once
// The desktop program: start-up, the main loop and shut-down.

#include "app/app.h"

namespace noctra {

// Runs Noctra with its windows; returns the program's exit status.
int run_gui(int& argc, char** argv, const AppOptions& options);

}  // namespace noctra
