#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/calibration_run.h"
#include "app/headless.h"
#include "app/repair.h"
#include "config/paths.h"
#include "config/settings.h"
#include "config/temp_folder.h"

namespace noctra {
namespace {

using test::TempFolder;
using test::write_file;

AppOptions options_in(const TempFolder& dir) {
  AppOptions o;
  o.settings_file = dir / "Noctra.ini";
  return o;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

TEST(HeadlessRun, RecordsTheCountWithOneTriggerPerExposureAndStops) {
  TempFolder dir;
  write_file(dir / "Noctra.ini", "[Hardware]\nPort=sim\nSource=sim\n");
  AppOptions o = options_in(dir);
  o.count = 3;
  o.exposure = 60;
  o.output = (dir / "sky.avi").string();
  o.trace_port = true;
  std::atomic<bool> interrupt{false};
  std::ostringstream log;
  ASSERT_EQ(run_headless(o, interrupt, log), 0) << log.str();
  // Each port line carries the monotonic time after its byte; the times
  // never go back. The bytes alone are compared below.
  std::string text;
  std::istringstream lines(log.str());
  double last_ms = 0;
  for (std::string line; std::getline(lines, line);) {
    unsigned byte = 0;
    double ms = 0;
    char tail[4] = {};
    if (line.rfind("port ", 0) == 0) {
      ASSERT_EQ(std::sscanf(line.c_str(), "port 0x%2X at %lf %3s", &byte, &ms, tail), 3) << line;
      EXPECT_STREQ(tail, "ms") << line;
      EXPECT_GE(ms, last_ms) << line;
      last_ms = ms;
      line = line.substr(0, 9);
    }
    text += line + "\n";
  }
  EXPECT_EQ(count_of(text, "port 0x27\nport 0x37\nport 0x34\nport 0x14\nport 0x34\n"), 3u) << text;
  // amplifier on, then the trigger code, once per exposure
  EXPECT_EQ(count_of(text, "port 0x34\nport 0x37\n"), 3u) << text;
  EXPECT_NE(text.find("Noctra (sky.avi - 3/3)"), std::string::npos) << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "sky.avi"));
  // the run's overrides are never saved
  const Settings saved = load_settings(dir / "Noctra.ini", "/home/x");
  EXPECT_EQ(saved.exposure, 2000);
  EXPECT_EQ(saved.count, 0);
  EXPECT_EQ(saved.image_file_path, home_folder() + "/Images.AVI");
  EXPECT_EQ(saved.port, "sim");
}

TEST(HeadlessRun, NumberedPathCarriesOnIntoTheSavedSettings) {
  TempFolder dir;
  const std::string path = (dir / "m42.avi").string();
  write_file(dir / "Noctra.ini",
             "[Hardware]\nPort=sim\nSource=sim\n[Flags]\nAutoIncrement=1\n"
             "[Capture]\nExposure=0\nCount=1\n[Filenames]\nImageFile=" +
                 path + "\n");
  std::atomic<bool> interrupt{false};
  std::ostringstream log;
  for (int run = 0; run < 2; ++run)
    ASSERT_EQ(run_headless(options_in(dir), interrupt, log), 0) << log.str();
  EXPECT_TRUE(std::filesystem::exists(dir / "m42_000.avi"));
  EXPECT_TRUE(std::filesystem::exists(dir / "m42_001.avi"));
  EXPECT_EQ(load_settings(dir / "Noctra.ini", "/h").image_file_path,
            (dir / "m42_001.avi").string());
}

TEST(HeadlessRun, SaysOnceWhenItReplacesARecording) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "[Hardware]\nPort=sim\nSource=sim\n[Capture]\nExposure=0\nCount=1\n");
  AppOptions o = options_in(dir);
  o.output = (dir / "m42.avi").string();
  std::atomic<bool> interrupt{false};
  for (const std::size_t replaced : {0u, 1u}) {
    std::ostringstream log;
    ASSERT_EQ(run_headless(o, interrupt, log), 0) << log.str();
    EXPECT_EQ(count_of(log.str(), "noctra: replacing " + *o.output + "\n"), replaced) << log.str();
  }
}

TEST(HeadlessRun, InterruptFinishesTheFileAndSavesTheSettings) {
  TempFolder dir;
  write_file(dir / "Noctra.ini", "[Hardware]\nPort=sim\nSource=sim\n[Capture]\nExposure=0\n");
  AppOptions o = options_in(dir);
  o.output = (dir / "a.avi").string();
  std::atomic<bool> interrupt{false};
  std::ostringstream log;
  // No count: only the interrupt ends it. A second thread plays Ctrl-C.
  std::thread ctrl_c([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    interrupt = true;
  });
  const int status = run_headless(o, interrupt, log);
  ctrl_c.join();
  EXPECT_EQ(status, 0) << log.str();
  ASSERT_TRUE(std::filesystem::exists(dir / "a.avi"));
  // a finished file: the RIFF size covers the whole file
  std::ifstream in(dir / "a.avi", std::ios::binary);
  char head[8] = {};
  in.read(head, 8);
  const uint32_t riff_size = static_cast<uint8_t>(head[4]) | static_cast<uint8_t>(head[5]) << 8 |
                             static_cast<uint8_t>(head[6]) << 16 |
                             static_cast<uint32_t>(static_cast<uint8_t>(head[7])) << 24;
  EXPECT_EQ(riff_size + 8, std::filesystem::file_size(dir / "a.avi"));
}

TEST(HeadlessRun, ExplicitPortOrSourceThatCannotOpenIsAnError) {
  struct Case {
    const char* hardware;
    const char* names;
  };
  const Case cases[] = {
      {"Port=ppdev:/dev/noctra-no-such-port\nSource=sim\n", "/dev/noctra-no-such-port"},
      {"Port=sim\nSource=v4l2:/dev/noctra-no-such-video\n", "/dev/noctra-no-such-video"},
      {"Port=serial:/dev/noctra-no-such-tty,dtr=2,rts=0\nSource=sim\n", "/dev/noctra-no-such-tty"},
  };
  for (const Case& c : cases) {
    TempFolder dir;
    write_file(dir / "Noctra.ini", std::string("[Hardware]\n") + c.hardware);
    std::atomic<bool> interrupt{false};
    std::ostringstream log;
    EXPECT_EQ(run_headless(options_in(dir), interrupt, log), 2) << c.hardware;
    EXPECT_NE(log.str().find(c.names), std::string::npos) << log.str();
    EXPECT_EQ(log.str().find("using the simulated"), std::string::npos) << log.str();
  }
}

}  // namespace
}  // namespace noctra

namespace noctra {
namespace {

std::string command_output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  return out;
}

// --output picks the format by its extension; every format's file is read
// by its own readers, with the timing record beside it, and --repair knows
// a whole SER file from anything else.
TEST(HeadlessRun, EachFormatIsRecordedAndReadBackAndRepairTellsSerFromOtherFiles) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "[Hardware]\nPort=sim\nSource=sim\n[Recording]\nInstrument=Sim camera\n");
  for (const char* name : {"sky.avi", "sky.ser", "sky.fits"}) {
    SCOPED_TRACE(name);
    AppOptions o = options_in(dir);
    o.count = 2;
    o.exposure = 60;
    o.output = (dir / name).string();
    o.save_settings = false;
    std::atomic<bool> interrupt{false};
    std::ostringstream log;
    ASSERT_EQ(run_headless(o, interrupt, log), 0) << log.str();
    const std::filesystem::path timing = (dir / name).replace_extension(".timing.csv");
    std::ifstream rows(timing);
    std::string header, first, second, extra;
    std::getline(rows, header);
    std::getline(rows, first);
    std::getline(rows, second);
    EXPECT_EQ(header.rfind("frame,start_utc,end_utc,exposure_ms", 0), 0u) << timing;
    EXPECT_EQ(first.rfind("0,", 0), 0u);
    EXPECT_EQ(second.rfind("1,", 0), 0u);
    EXPECT_FALSE(std::getline(rows, extra));

    if (std::string(name) == "sky.fits") {
      const std::string script =
          "import sys\nfrom astropy.io import fits\n"
          "for n in sys.argv[1:]:\n"
          "    h = fits.getheader(n)\n"
          "    print(h[\"NAXIS1\"], h[\"NAXIS2\"], h[\"NAXIS3\"], h[\"INSTRUME\"], h[\"FRAMENO\"], "
          "h[\"EXPTIME\"] > 0)\n";
      const std::string out = command_output("/usr/bin/python3 -c '" + script + "' " +
                                             (dir / "sky_000000.fits").string() + " " +
                                             (dir / "sky_000001.fits").string() + " 2>&1");
      EXPECT_EQ(out, "640 480 3 Sim camera 0 True\n640 480 3 Sim camera 1 True\n");
      EXPECT_EQ(run_repair((dir / "sky_000000.fits").string(), log, log), 2);
      continue;
    }
    const std::string probe = command_output(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=pix_fmt,width,height,nb_read_frames -of csv=p=0 " +
        (dir / name).string());
    EXPECT_EQ(probe, "640,480,bgr24,2\n");
    std::ostringstream out, err;
    const int repaired = run_repair((dir / name).string(), out, err);
    if (std::string(name) == "sky.ser") {
      EXPECT_EQ(repaired, 0) << err.str();
      EXPECT_NE(out.str().find("already has its 2 frames and their timestamps"), std::string::npos)
          << out.str();
    } else {
      EXPECT_EQ(repaired, 2);
      EXPECT_NE(err.str().find("is not a SER file"), std::string::npos) << err.str();
    }
  }
  std::ostringstream out, err;
  EXPECT_EQ(run_repair((dir / "missing.ser").string(), out, err), 1);
  EXPECT_NE(err.str().find("Can't open"), std::string::npos) << err.str();
}

// With the live stack on, a headless recording is stacked too and its stack
// saved beside it at the end, said in one line.
TEST(HeadlessRun, TheLiveStackIsSavedBesideTheRecording) {
  TempFolder dir;
  write_file(dir / "Noctra.ini", "[Hardware]\nPort=sim\nSource=sim\n[Stack]\nOn=1\n");
  AppOptions o = options_in(dir);
  o.count = 4;
  o.exposure = 300;
  o.output = (dir / "sky.avi").string();
  std::atomic<bool> interrupt{false};
  std::ostringstream log;
  ASSERT_EQ(run_headless(o, interrupt, log), 0) << log.str();
  EXPECT_EQ(count_of(log.str(), "Stack saved to " + (dir / "sky.stack.fits").string() + "\n"), 1u)
      << log.str();
  EXPECT_TRUE(std::filesystem::exists(dir / "sky.stack.png"));
  std::ifstream csv(dir / "sky.stack.csv");
  std::string rows((std::istreambuf_iterator<char>(csv)), std::istreambuf_iterator<char>());
  EXPECT_EQ(count_of(rows, "\n"), 5u) << rows;
  EXPECT_EQ(load_settings(dir / "Noctra.ini", "/h").stack_on, 1);
}

// A dark captured headless is one the live stack then calibrates with: the
// stack's header names it and the mean of the frames' k.
TEST(HeadlessRun, TheLiveStackIsCalibratedWithTheLibrarysDark) {
  TempFolder dir;
  ASSERT_EQ(setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1), 0);
  write_file(dir / "Noctra.ini", "[Hardware]\nPort=sim\nSource=sim\n[Simulation]\nCovered=1\n");
  AppOptions o = options_in(dir);
  o.exposure = 300;
  std::atomic<bool> interrupt{false};
  std::ostringstream log;
  ASSERT_EQ(run_headless_calibration(o, MasterKind::Dark, 4, interrupt, log), 0) << log.str();
  write_file(dir / "Noctra.ini", "[Hardware]\nPort=sim\nSource=sim\n[Stack]\nOn=1\n");
  o.count = 4;
  o.output = (dir / "sky.avi").string();
  ASSERT_EQ(run_headless(o, interrupt, log), 0) << log.str();
  unsetenv("XDG_DATA_HOME");
  std::ifstream fits(dir / "sky.stack.fits", std::ios::binary);
  std::string header(2880, '\0');
  fits.read(header.data(), 2880);
  EXPECT_NE(header.find("CALDARK = 'dark_"), std::string::npos) << header;
  EXPECT_NE(header.find("DARKSCAL= "), std::string::npos) << header;
}

}  // namespace
}  // namespace noctra
