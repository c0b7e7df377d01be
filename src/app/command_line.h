#pragma once
// Noctra's command line. With no arguments Noctra is the desktop program and
// reads nothing else; the options are for scripting and tests.

#include <string>
#include <vector>

#include "app/app.h"
#include "config/status.h"

namespace noctra {

struct CommandLine {
  enum class Mode { Gui, Headless, ListDevices, Help, Version, Repair };
  Mode mode = Mode::Gui;
  AppOptions options;
  std::string repair_file;  // --repair FILE
};

// Fails, saying why, for an unknown option, a missing or bad value, or
// run-only values without --headless.
Result<CommandLine> parse_command_line(const std::vector<std::string>& args);
std::string usage_text();

}  // namespace noctra
