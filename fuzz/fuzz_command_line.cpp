// Any bytes as Noctra's arguments, one per NUL-separated piece (as the
// kernel hands them over): parsing must neither crash nor accept a command
// line that the run would then half ignore.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

bool has(const std::vector<std::string>& args, const char* option) {
  for (const std::string& a : args)
    if (a == option) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    args.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0)
        args.emplace_back();
      else
        args.back() += static_cast<char>(data[i]);
    }
  }
  const noctra::Result<noctra::CommandLine> parsed = noctra::parse_command_line(args);
  if (!parsed) {
    if (parsed.message().empty()) std::abort();  // a refusal always says why
    return 0;
  }
  using Mode = noctra::CommandLine::Mode;
  const noctra::CommandLine& cl = *parsed;
  if (cl.mode == Mode::Help || cl.mode == Mode::Version) return 0;
  const noctra::AppOptions& o = cl.options;
  // Values for one recording are taken by a recording only.
  if ((o.exposure || o.delay || o.count || o.output) && cl.mode != Mode::Headless) std::abort();
  for (const auto& value : {o.exposure, o.delay, o.count})
    if (value && *value < 0) std::abort();
  if (o.output && o.output->empty()) std::abort();
  // (A value may itself read "--headless": `--output --headless` names a file.)
  if (cl.mode == Mode::Headless && !has(args, "--headless")) std::abort();
  if (cl.mode == Mode::ListDevices && !has(args, "--list-devices")) std::abort();
  if (cl.mode == Mode::Repair && (args.size() != 2 || cl.repair_file.empty())) std::abort();
  if (cl.mode == Mode::Measure && cl.measure_file.empty()) std::abort();
  if (cl.measure_at && (cl.mode != Mode::Measure || !std::isfinite(cl.measure_at->x) ||
                        !std::isfinite(cl.measure_at->y)))
    std::abort();
  return 0;
}
