#include "camera/port_backends.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "camera/camera_port.h"
#include "camera/hardware.h"
#include "camera/port_crash_guard.h"
#include "camera_fakes.h"

namespace noctra {
namespace {

using test::LogLines;
using Bytes = std::vector<uint8_t>;

std::string text(const SerialLineMap& m) {
  return "dtr=" + std::to_string(m.dtr_bit) + ",rts=" + std::to_string(m.rts_bit) +
         (m.invert ? ",invert" : "");
}

TEST(SerialPortAddress, Parsing) {
  const struct {
    const char* text;
    const char* path;
    const char* lines;
  } accepted[] = {
      {"/dev/ttyUSB0,dtr=2,rts=0,invert", "/dev/ttyUSB0", "dtr=2,rts=0,invert"},
      {"/dev/ttyUSB1", "/dev/ttyUSB1", "dtr=2,rts=0"},
      {"/dev/ttyACM0,rts=7,dtr=4", "/dev/ttyACM0", "dtr=4,rts=7"},
  };
  for (const auto& c : accepted) {
    const auto address = parse_serial_port_address(c.text);
    ASSERT_TRUE(address.ok()) << c.text << ": " << address.message();
    EXPECT_EQ(address->path, c.path);
    EXPECT_EQ(text(address->lines), c.lines);
    EXPECT_EQ(text(unpack_serial_line_map(pack_serial_line_map(address->lines))), c.lines);
  }
  for (const char* refused : {"/dev/ttyUSB0,dtr=8", "/dev/ttyUSB0,dtr=", "/dev/ttyUSB0,dtr=12",
                              "/dev/ttyUSB0,cts=1", "/dev/ttyUSB0,invert=1", ",dtr=1", ""}) {
    const auto address = parse_serial_port_address(refused);
    EXPECT_FALSE(address.ok()) << refused;
    EXPECT_FALSE(address.message().empty()) << refused;
  }
}

TEST(SerialPortAddress, ModemLinesFollowTheChosenBits) {
  const SerialLineMap plain{2, 0, false}, inverted{2, 0, true}, high{7, 4, false};
  EXPECT_EQ(modem_lines_for(0x37, plain), (ModemLines{true, true}));
  EXPECT_EQ(modem_lines_for(0x34, plain), (ModemLines{true, false}));
  EXPECT_EQ(modem_lines_for(0x30, plain), (ModemLines{false, false}));
  EXPECT_EQ(modem_lines_for(0x34, inverted), (ModemLines{false, true}));
  EXPECT_EQ(modem_lines_for(0x90, high), (ModemLines{true, true}));
  EXPECT_EQ(modem_lines_for(0x10, high), (ModemLines{false, true}));
}

class FakeLines : public PortLines {
 public:
  explicit FakeLines(Bytes& out) : out_(out) {}
  Status put(uint8_t byte) override {
    if (fail) return failure("Input/output error");
    out_.push_back(byte);
    return {};
  }
  std::optional<uint8_t> sense() override {
    if (!senses) return std::nullopt;
    return static_cast<uint8_t>(out_.back() & stuck_low_mask);
  }
  bool fail = false;
  bool senses = false;
  uint8_t stuck_low_mask = 0xFF;

 private:
  Bytes& out_;
};

TEST(ShadowPortDevice, ReadsBackTheLastByteAndIdlesOnClose) {
  Bytes lines;
  {
    ShadowPortDevice port("test", std::make_unique<FakeLines>(lines), 0x00, nullptr);
    EXPECT_EQ(port.read(), 0x00);
    CameraPort camera(port);
    camera.write_camera_port(0xC4);
    EXPECT_EQ(camera.read_camera_port(), 0xC4);
    camera.amplifier_off();
    EXPECT_EQ(camera.read_camera_port(), 0xC0);
  }
  // The idle pattern from 0xC0 on close: bit 4 low first, top bits kept.
  EXPECT_EQ(lines, (Bytes{0xC4, 0xC0, 0xEF, 0xFF}));
}

TEST(ShadowPortDevice, FailuresAndWrongReadBackAreLoggedOnce) {
  Bytes lines;
  LogLines log;
  auto fake = std::make_unique<FakeLines>(lines);
  FakeLines* raw = fake.get();
  {
    ShadowPortDevice port("ftdi:A1", std::move(fake), 0x3F, log.sink());
    raw->senses = true;
    raw->stuck_low_mask = 0xFB;  // bit 2 held low by the wiring
    port.write(0x34);
    port.write(0x37);
    ASSERT_EQ(log.lines.size(), 1U);
    EXPECT_NE(log.lines[0].find("0x30"), std::string::npos);
    raw->senses = false;
    raw->fail = true;
    port.write(0x27);
    port.write(0x37);
    EXPECT_EQ(port.read(), 0x37);  // the shadow follows the writes regardless
    ASSERT_EQ(log.lines.size(), 2U);
    EXPECT_NE(log.lines[1].find("ftdi:A1"), std::string::npos);
    EXPECT_NE(log.lines[1].find("Input/output error"), std::string::npos);
  }
  EXPECT_EQ(log.lines.size(), 2U);
}

void pipe_writer(int fd, uint8_t byte, uint32_t param) noexcept {
  const uint8_t both[2] = {byte, static_cast<uint8_t>(param)};
  [[maybe_unused]] const auto written = ::write(fd, both, 2);
}

TEST(PortCrashGuard, IdlePatternReachesEveryOpenPort) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int a = port_crash_guard::register_port(fds[1], pipe_writer, 0xA, 0x00);
  const int b = port_crash_guard::register_port(fds[1], pipe_writer, 0xB, 0x00);
  const int c = port_crash_guard::register_port(fds[1], pipe_writer, 0xC, 0x00);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_GE(c, 0);
  port_crash_guard::note_write(a, 0xC4);
  port_crash_guard::note_write(b, 0x37);
  port_crash_guard::unregister_port(c);
  port_crash_guard::write_idle_to_open_ports();
  port_crash_guard::unregister_port(a);
  port_crash_guard::unregister_port(b);
  uint8_t got[8] = {};
  ASSERT_EQ(::read(fds[0], got, sizeof got), 8);
  EXPECT_EQ(Bytes(got, got + 8), (Bytes{0xEF, 0xA, 0xFF, 0xA, 0x2F, 0xB, 0x3F, 0xB}));
  close(fds[0]);
  close(fds[1]);
}

TEST(PortCrashGuard, AFatalSignalLeavesThePortIdle) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    const int slot = port_crash_guard::register_port(fds[1], pipe_writer, 0, 0x30);
    port_crash_guard::note_write(slot, 0x34);
    port_crash_guard::install_crash_handlers();
    std::raise(SIGTERM);
    _exit(0);  // not reached
  }
  close(fds[1]);
  uint8_t got[8] = {};
  ssize_t n = 0;
  for (ssize_t r; (r = ::read(fds[0], got + n, sizeof got - static_cast<std::size_t>(n))) > 0;)
    n += r;
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(got[0], 0x2F);
  EXPECT_EQ(got[2], 0x3F);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(PortOpeners, ExplicitDevicesThatFailNameDeviceAndReason) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"ppdev:/dev/no-such-parport", "ppdev:/dev/no-such-parport: No such file or directory"},
      {"serial:/dev/no-such-tty,dtr=1", "serial:/dev/no-such-tty: No such file or directory"},
      {"serial:/dev/null", "serial:/dev/null (not a serial port?)"},
      {"serial:/dev/ttyUSB0,dtr=9", "serial:/dev/ttyUSB0,dtr=9: serial port option dtr=9"},
      {"parallel", "unknown camera port \"parallel\""},
      // A back end's name alone where it needs an address, or with one where it takes none.
      {"ppdev", "unknown camera port \"ppdev\""},
      {"serial", "unknown camera port \"serial\""},
      {"sim:0", "unknown camera port \"sim:0\""},
      {"ftdix", "unknown camera port \"ftdix\""},
  };
  for (const Case& c : cases) {
    const Result<PortChoice> choice = open_port(c.name, nullptr);
    EXPECT_FALSE(choice.ok()) << c.name;
    EXPECT_NE(choice.message().find(c.expected), std::string::npos)
        << c.name << " -> " << choice.message();
  }
}

TEST(HardwareNames, PortAndSourceNamesAreCheckedByTheBackEndsRules) {
  struct Case {
    const char* name;
    const char* port_problem;    // "" when the port name is good
    const char* source_problem;  // "" when the source name is good
  };
  const Case cases[] = {
      {"", "", ""},
      {"auto", "", ""},
      {"sim", "", ""},
      {"ppdev:/dev/parport0", "", "unknown video source \"ppdev:/dev/parport0\""},
      {"ppdev:", "ppdev: needs a device path (ppdev:/dev/parport0)", "unknown video source"},
      {"ppdev", "unknown camera port \"ppdev\"", "unknown video source"},
      {"serial:/dev/ttyUSB0,dtr=2,rts=0", "", "unknown video source"},
      {"serial:/dev/ttyUSB0,dtr=9", "serial:/dev/ttyUSB0,dtr=9: serial port option dtr=9",
       "unknown video source"},
      {"serial:", "serial: needs a device path (serial:/dev/ttyUSB0,dtr=2,rts=0)",
       "unknown video source"},
      {"ftdi", "", "unknown video source"},
      {"ftdi:A1B2C3", "", "unknown video source"},
      {"v4l2:/dev/video0", "unknown camera port \"v4l2:/dev/video0\"", ""},
      {"v4l2:", "unknown camera port", "v4l2: needs a device path (v4l2:/dev/video0)"},
      {"v4l2", "unknown camera port", "unknown video source \"v4l2\""},
      {"sim:0", "unknown camera port \"sim:0\"", "unknown video source \"sim:0\""},
      {"SIM", "unknown camera port \"SIM\"", "unknown video source \"SIM\""},
      {"parport9", "unknown camera port \"parport9\" (use auto, sim, ppdev:/dev/parport0",
       "unknown video source \"parport9\" (use auto, sim or v4l2:/dev/video0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Status port = check_port_name(c.name);
    const Status source = check_source_name(c.name);
    EXPECT_EQ(port.ok(), *c.port_problem == '\0') << port.message();
    EXPECT_EQ(source.ok(), *c.source_problem == '\0') << source.message();
    EXPECT_NE(port.message().find(c.port_problem), std::string::npos) << port.message();
    EXPECT_NE(source.message().find(c.source_problem), std::string::npos) << source.message();
  }
  // Opening says the same as the check, before it touches any device.
  EXPECT_EQ(open_port("ppdev:", nullptr).message(),
            "ppdev: needs a device path (ppdev:/dev/parport0)");
}

TEST(PortOpeners, ATerminalWithoutModemLinesIsRefusedWithoutWaiting) {
  // A pseudo-terminal opens like a serial port but has no DTR or RTS.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  const Result<PortChoice> choice = open_port("serial:" + slave + ",dtr=1,rts=2", nullptr);
  EXPECT_FALSE(choice.ok());
  EXPECT_NE(choice.message().find("serial:" + slave + " (no modem control lines)"),
            std::string::npos)
      << choice.message();
  close(master);
}

// Two parallel ports of which only `working` opens; the others are busy.
PortSystem two_parallel_ports(std::vector<std::string>& attempts, const std::string& working) {
  return {[] {
            return std::vector<std::string>{"/dev/parport0", "/dev/parport1"};
          },
          [&attempts, working](const std::string& path,
                               LogSink) -> Result<std::unique_ptr<PortDevice>> {
            attempts.push_back(path);
            if (path == working)
              return std::unique_ptr<PortDevice>(std::make_unique<SimPortDevice>());
            return failure("ppdev:" + path + ": Device or resource busy");
          }};
}

TEST(PortOpeners, AutoTakesTheFirstParallelPortThatOpensElseSim) {
  std::vector<std::string> attempts;
  const PortSystem none_work = two_parallel_ports(attempts, "");
  Result<PortChoice> fallback_result = open_port("auto", nullptr, none_work);
  ASSERT_TRUE(fallback_result.ok());
  PortChoice& fallback = *fallback_result;
  ASSERT_NE(fallback.device, nullptr);
  EXPECT_TRUE(fallback.simulated);
  EXPECT_EQ(fallback.device->name(), "sim");
  EXPECT_EQ(attempts.size(), 2U);
  EXPECT_NE(fallback.note.find("/dev/parport1: Device or resource busy"), std::string::npos);
  EXPECT_NE(fallback.note.find("sim"), std::string::npos);

  const PortSystem second_works = two_parallel_ports(attempts, "/dev/parport1");
  Result<PortChoice> taken_result = open_port("auto", nullptr, second_works);
  ASSERT_TRUE(taken_result.ok());
  PortChoice& taken = *taken_result;
  ASSERT_NE(taken.device, nullptr);
  EXPECT_FALSE(taken.simulated);
  EXPECT_NE(taken.note.find("auto took"), std::string::npos);

  // Named explicitly, a failing port is an error even though sim exists.
  Result<PortChoice> named = open_port("ppdev:/dev/parport0", nullptr, none_work);
  EXPECT_FALSE(named.ok());
  EXPECT_NE(named.message().find("busy"), std::string::npos);
}

}  // namespace
}  // namespace noctra
