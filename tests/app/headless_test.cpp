#include "app/headless.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "app/command_line.h"
#include "support/fake_clock.h"

namespace noctra {
namespace {

struct PumpRig {
  test::FakeClock clock{0};
  std::atomic<bool> interrupt{false};
  int32_t slept = 0;
  HeadlessEventPump pump{clock,
                         [this](int32_t ms) {
                           clock.now += ms;
                           slept += ms;
                         },
                         &interrupt};
};

TEST(HeadlessEventPump, TicksEvery50msAndDeliversPostedCommandsAfterTheTick) {
  PumpRig r;
  std::vector<std::string> events;
  r.pump.set_handlers(
      [&] {
        events.push_back("tick@" + std::to_string(r.clock.now));
        if (r.clock.now == 100) r.pump.post(Command::Stop);
      },
      [&](Command id) { events.push_back("cmd" + std::to_string(static_cast<int>(id))); });
  r.pump.run_until([&] { return events.size() >= 4; });
  EXPECT_EQ(events, (std::vector<std::string>{"tick@50", "tick@100", "cmd32782", "tick@150"}));
}

TEST(HeadlessEventPump, KeepsTickingInsideANestedWait) {
  PumpRig r;
  int ticks = 0;
  bool pressed = false;
  r.pump.set_handlers(
      [&] {
        ++ticks;
        if (ticks == 1) {
          // An acquisition waiting inside the pump: a later tick presses the button.
          r.pump.run_until([&] { return pressed; });
        } else if (ticks == 3) {
          pressed = true;
        }
      },
      nullptr);
  r.pump.run_until([&] { return ticks >= 4; });
  EXPECT_TRUE(pressed);
  EXPECT_EQ(ticks, 4);
  // The nested wait ticks once as it begins (at 50), then at 100 and 150.
  EXPECT_EQ(r.clock.now, 150);
}

TEST(HeadlessEventPump, InterruptEndsEveryWait) {
  PumpRig r;
  bool inner_returned = false;
  r.pump.set_handlers(
      [&] {
        r.interrupt = true;
        r.pump.run_until([] { return false; });  // a wait that would never end
        inner_returned = true;
      },
      nullptr);
  r.pump.run_until([] { return false; });
  EXPECT_TRUE(inner_returned);
  EXPECT_TRUE(r.pump.quitting());
}

TEST(HeadlessHost, PrintsEachNewTitleOnce) {
  test::FakeClock clock{0};
  HeadlessEventPump pump(clock, [](int32_t) {});
  std::ostringstream out;
  HeadlessHost host(out, pump);
  for (const char* t : {"Noctra (a.avi - 0) 2", "Noctra (a.avi - 0) 2", "Noctra (a.avi - 0) 1"})
    host.set_title(t);
  EXPECT_EQ(out.str(), "Noctra (a.avi - 0) 2\nNoctra (a.avi - 0) 1\n");
}

TEST(CommandLine, ModesOverridesAndErrors) {
  using Mode = CommandLine::Mode;
  struct Case {
    std::vector<std::string> args;
    std::optional<Mode> mode;
  };  // nothing: refused
  const Case cases[] = {
      {{}, Mode::Gui},
      {{"--config", "/tmp/x.ini"}, Mode::Gui},
      {{"--headless", "--count", "3", "--exposure", "100", "--trace-port"}, Mode::Headless},
      {{"--list-devices"}, Mode::ListDevices},
      {{"--headless", "--help"}, Mode::Help},
      {{"--version"}, Mode::Version},
      {{"--exposure", "100"}, std::nullopt},  // overrides only for headless runs
      {{"--headless", "--exposure", "-1"}, std::nullopt},
      {{"--headless", "--exposure", "12abc"}, std::nullopt},
      {{"--headless", "--count", "2147483648"}, std::nullopt},
      {{"--headless", "--delay"}, std::nullopt},
      {{"--bogus"}, std::nullopt},
      {{"--repair", "m42.ser"}, Mode::Repair},
      {{"--repair"}, std::nullopt},
      {{"--repair", "m42.ser", "--headless"}, std::nullopt},  // a repair is all the run does
      {{"--no-save", "--repair", "m42.ser"}, std::nullopt},
      // A run does one thing: what it would drop is refused.
      {{"--list-devices", "--count", "3"}, std::nullopt},
      {{"--headless", "--count", "1050", "--measure", "a.ser"}, std::nullopt},
      {{"--headless", "--list-devices"}, std::nullopt},
      {{"--headless", "--calibrate", "dark", "--count", "16"}, Mode::Calibrate},
      {{"--calibrate", "bias"}, std::nullopt},  // a capture of masters runs headless
      {{"--headless", "--calibrate", "light"}, std::nullopt},
      {{"--headless", "--calibrate", "flat", "--count", "0"}, std::nullopt},
      {{"--headless", "--calibrate", "flat", "--output", "/tmp/a.avi"}, std::nullopt},
  };
  for (const Case& c : cases) {
    const Result<CommandLine> cl = parse_command_line(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(cl.ok() ? std::optional(cl->mode) : std::nullopt, c.mode) << joined << cl.message();
    EXPECT_EQ(cl.message().empty(), cl.ok()) << joined;
  }
  const Result<CommandLine> parsed = parse_command_line(
      {"--headless", "--count", "3", "--exposure", "0", "--output", "/tmp/a.avi", "--no-save"});
  ASSERT_TRUE(parsed.ok()) << parsed.message();
  const CommandLine& cl = *parsed;
  EXPECT_EQ(cl.options.count, 3);
  EXPECT_EQ(cl.options.exposure, 0);
  EXPECT_FALSE(cl.options.delay);
  EXPECT_EQ(cl.options.output, "/tmp/a.avi");
  EXPECT_FALSE(cl.options.save_settings);
  // --count is the master's frames, never the recording count of the settings.
  const Result<CommandLine> flat = parse_command_line({"--headless", "--calibrate", "flat"});
  ASSERT_TRUE(flat.ok()) << flat.message();
  EXPECT_EQ(std::tie(flat->calibrate, flat->calibrate_frames, flat->options.count),
            std::tuple(std::optional(MasterKind::Flat), 16, std::optional<int32_t>()));
}

}  // namespace
}  // namespace noctra
