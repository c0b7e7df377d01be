#include "app/command_line.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

#include "app/calibration_run.h"

namespace noctra {

namespace {

// Whole-string decimal within int32 and not negative: a typo never becomes
// a silent 0 ms exposure.
std::optional<int32_t> parse_ms(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < 0 ||
      value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

std::string usage_text() {
  return "Usage: noctra [options]\n"
         "With no options Noctra opens its windows.\n"
         "\n"
         "  --headless          record without windows until the frame count or Ctrl-C\n"
         "  --exposure MS       exposure time for this run (not saved)\n"
         "  --delay MS          delay between exposures for this run (not saved)\n"
         "  --count N           number of frames for this run, 0 = no limit (not saved)\n"
         "  --output PATH       output path for this run (not saved): .avi AVI, .ser SER,\n"
         "                      .fits or .fit one FITS file per frame\n"
         "  --calibrate KIND    with --headless: take --count frames (16 when not given) of\n"
         "                      KIND dark, flat or bias and save their master in the\n"
         "                      calibration library\n"
         "  --trace-port        print every camera port write on stderr\n"
         "  --no-save           do not save the settings at exit\n"
         "  --config FILE       settings file instead of ~/.config/noctra/Noctra.ini\n"
         "  --list-devices      list capture devices and camera ports, and what auto takes\n"
         "  --repair FILE.ser   complete a SER recording a crash cut short (frame count and\n"
         "                      timestamps, from FILE.timing.csv); never shortens the file\n"
         "  --measure FILE      one CSV row per frame of an AVI, SER or FITS recording: the\n"
         "                      brightest star\n"
         "  --at X,Y            with --measure: the star nearest X,Y (guide coordinates),\n"
         "                      within 16 px\n"
         "  --stack RECORDING   stack an AVI, SER or FITS recording into .stack.fits,\n"
         "                      .stack.png and .stack.csv files beside it\n"
         "  --dark FILE         with --stack: the master dark\n"
         "  --flat FILE         with --stack: the master flat\n"
         "  --output FILE.fits  with --stack: the stack's file (the PNG and CSV beside it)\n"
         "  --help              this text\n"
         "  --version           the version\n";
}

Result<CommandLine> parse_command_line(const std::vector<std::string>& args) {
  CommandLine cl;
  bool headless = false, list = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      cl.mode = CommandLine::Mode::Help;
      return cl;
    } else if (a == "--version") {
      cl.mode = CommandLine::Mode::Version;
      return cl;
    } else if (a == "--headless") {
      headless = true;
    } else if (a == "--list-devices") {
      list = true;
    } else if (a == "--repair") {
      if (!value(v) || v.empty()) return failure("--repair needs a file name");
      cl.repair_file = v;
    } else if (a == "--measure") {
      if (!value(v) || v.empty()) return failure("--measure needs a file name");
      cl.measure_file = v;
    } else if (a == "--stack" || a == "--dark" || a == "--flat") {
      if (!value(v) || v.empty()) return failure(a + " needs a file name");
      (a == "--stack" ? cl.stack.recording : a == "--dark" ? cl.stack.dark : cl.stack.flat) = v;
    } else if (a == "--at") {
      cl.measure_at = value(v) ? parse_measure_point(v) : std::nullopt;
      if (!cl.measure_at) return failure("--at needs two numbers, X,Y");
    } else if (a == "--calibrate") {
      if (!value(v) || !master_kind_from_word(v))
        return failure("--calibrate needs dark, flat or bias");
      cl.calibrate = master_kind_from_word(v);
    } else if (a == "--trace-port") {
      cl.options.trace_port = true;
    } else if (a == "--no-save") {
      cl.options.save_settings = false;
    } else if (a == "--config") {
      if (!value(v) || v.empty()) return failure("--config needs a file name");
      cl.options.settings_file = v;
    } else if (a == "--output") {
      if (!value(v) || v.empty()) return failure("--output needs a path");
      cl.options.output = v;
    } else if (a == "--exposure" || a == "--delay" || a == "--count") {
      const std::optional<int32_t> ms = value(v) ? parse_ms(v) : std::nullopt;
      if (!ms) return failure(a + " needs a whole number from 0 to 2147483647");
      (a == "--exposure" ? cl.options.exposure
       : a == "--delay"  ? cl.options.delay
                         : cl.options.count) = *ms;
    } else {
      return failure("unknown option: " + a);
    }
  }
  if (!cl.repair_file.empty()) {
    if (headless || list || args.size() != 2) return failure("--repair takes no other options");
    cl.mode = CommandLine::Mode::Repair;
    return cl;
  }
  if (!cl.stack.recording.empty()) {
    if (headless || list || !cl.measure_file.empty() || cl.measure_at || cl.options.exposure ||
        cl.options.delay || cl.options.count) {
      return failure("--stack takes only --dark, --flat and --output");
    }
    cl.mode = CommandLine::Mode::Stack;
    cl.stack.output = cl.options.output.value_or("");
    cl.options.output.reset();
    return cl;
  }
  if (!cl.stack.dark.empty() || !cl.stack.flat.empty()) {
    return failure("--dark and --flat need --stack");
  }
  const bool measure = !cl.measure_file.empty();
  // A run does one thing; an option it would drop is refused, not ignored.
  if (headless + list + measure > 1)
    return failure("--headless, --list-devices and --measure: one at a time");
  if (cl.measure_at && !measure) return failure("--at needs --measure");
  if (!headless &&
      (cl.options.exposure || cl.options.delay || cl.options.count || cl.options.output)) {
    // The windows edit and save the settings; a run-only value would get mixed in.
    return failure("--exposure, --delay, --count and --output need --headless");
  }
  if (cl.calibrate) {
    if (!headless) return failure("--calibrate needs --headless");
    if (cl.options.output)
      return failure("--calibrate writes to the calibration library: no --output");
    if (cl.options.count && *cl.options.count < 1)
      return failure("--count with --calibrate needs at least 1 frame");
    cl.calibrate_frames = cl.options.count.value_or(cl.calibrate_frames);
    cl.options.count.reset();
    cl.mode = CommandLine::Mode::Calibrate;
    return cl;
  }
  cl.mode = measure    ? CommandLine::Mode::Measure
            : list     ? CommandLine::Mode::ListDevices
            : headless ? CommandLine::Mode::Headless
                       : CommandLine::Mode::Gui;
  return cl;
}

}  // namespace noctra
