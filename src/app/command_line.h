#pragma once
// Noctra's command line. With no arguments Noctra is the desktop program and
// reads nothing else; the options are for scripting and tests.

#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/measure.h"
#include "app/stack_command.h"
#include "config/status.h"
#include "imaging/calibration.h"

namespace noctra {

struct CommandLine {
  enum class Mode { Gui, Headless, ListDevices, Help, Version, Repair, Measure, Stack, Calibrate };
  Mode mode = Mode::Gui;
  AppOptions options;
  std::string repair_file;  // --repair FILE
  // --measure FILE [--at X,Y]
  std::string measure_file;
  std::optional<MeasurePoint> measure_at;
  // --stack RECORDING [--dark FILE] [--flat FILE] [--output FILE.fits]
  StackRequest stack;
  // --headless --calibrate dark|flat|bias [--count N]: a master of N frames
  std::optional<MasterKind> calibrate;
  int32_t calibrate_frames = 16;
};

// Fails, saying why, for an unknown option, a missing or bad value, more
// than one of --headless, --list-devices, --measure and --repair, or run-only
// values without --headless.
Result<CommandLine> parse_command_line(const std::vector<std::string>& args);
std::string usage_text();

}  // namespace noctra
