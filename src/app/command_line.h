#pragma once
// Noctra's command line. With no arguments Noctra is the desktop program and
// reads nothing else; the options are for scripting and tests.

#include <string>
#include <vector>

#include "app/app.h"

namespace noctra {

struct CommandLine {
  enum class Mode { Gui, Headless, ListDevices, Help, Version, Error };
  Mode mode = Mode::Gui;
  AppOptions options;
  std::string error;  // for Mode::Error
};

CommandLine parse_command_line(const std::vector<std::string>& args);
std::string usage_text();

}  // namespace noctra
