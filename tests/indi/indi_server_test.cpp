// The driver under a real indiserver on the loopback interface: each test
// starts its own server on a free port with its own local socket and HOME in
// a fresh folder, and talks to it through libindiclient.

#include <arpa/inet.h>
#include <fcntl.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "imaging/guide_star.h"
#include "indi/indi_client.h"

namespace noctra::indi::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kDevice = "Noctra";

int free_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

struct TraceLine {
  uint8_t byte;
  double ms;
};

std::vector<TraceLine> read_trace(const fs::path& path) {
  std::vector<TraceLine> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    unsigned value = 0;
    double ms = 0;
    if (std::sscanf(line.c_str(), "port 0x%x at %lf ms", &value, &ms) == 2) {
      lines.push_back({static_cast<uint8_t>(value), ms});
    }
  }
  return lines;
}

std::vector<uint8_t> bytes_of(const std::vector<TraceLine>& lines, std::size_t from = 0) {
  std::vector<uint8_t> bytes;
  for (std::size_t i = from; i < lines.size(); ++i) bytes.push_back(lines[i].byte);
  return bytes;
}

// The trace's bytes as text, "27 37 34 ", for patterns of whole sequences.
std::string text_of(const std::vector<TraceLine>& lines, std::size_t from) {
  std::string text;
  char hex[4];
  for (uint8_t byte : bytes_of(lines, from)) text.append(hex, std::snprintf(hex, 4, "%02X ", byte));
  return text;
}

double mono_ms(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

std::vector<ReceivedBlob> frames_on(const DeviceView& view, const std::string& property) {
  std::vector<ReceivedBlob> frames = view.blobs;
  std::erase_if(frames, [&](const ReceivedBlob& b) { return b.property != property; });
  return frames;
}

// "2026-12-07T21:04:05.123" (UTC) in microseconds since 1970.
std::optional<int64_t> parse_fits_date(const std::string& text) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&tm)) * 1'000'000 + ms * 1000;
}

int64_t utc_us(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

struct FitsFacts {
  int bitpix = 0;
  int naxis = 0;
  long naxes[3] = {0, 0, 0};
  double exptime = -1;
  long frameno = -1;
  std::string date_obs, date_end, roworder, imagetyp, swcreate, mode, field;
  std::vector<uint8_t> planes;  // R, G, B
  std::string error;
};

std::string read_key(fitsfile* file, const char* name, int* status) {
  char value[FLEN_VALUE] = {};
  fits_read_key_str(file, name, value, nullptr, status);
  return value;
}

FitsFacts read_fits(std::vector<uint8_t> bytes) {
  FitsFacts facts;
  fitsfile* file = nullptr;
  int status = 0;
  void* memory = bytes.data();
  std::size_t size = bytes.size();
  fits_open_memfile(&file, "blob.fits", READONLY, &memory, &size, 0, nullptr, &status);
  if (status == 0) fits_get_img_param(file, 3, &facts.bitpix, &facts.naxis, facts.naxes, &status);
  if (status == 0) fits_read_key_dbl(file, "EXPTIME", &facts.exptime, nullptr, &status);
  if (status == 0) facts.date_obs = read_key(file, "DATE-OBS", &status);
  if (status == 0) facts.date_end = read_key(file, "DATE-END", &status);
  if (status == 0) facts.roworder = read_key(file, "ROWORDER", &status);
  if (status == 0) facts.imagetyp = read_key(file, "IMAGETYP", &status);
  if (status == 0) facts.swcreate = read_key(file, "SWCREATE", &status);
  if (status == 0) facts.mode = read_key(file, "NOCMODE", &status);
  if (status == 0) facts.field = read_key(file, "NOCFIELD", &status);
  if (status == 0) fits_read_key_lng(file, "FRAMENO", &facts.frameno, nullptr, &status);
  if (status == 0 && facts.naxis == 3) {
    facts.planes.resize(static_cast<std::size_t>(facts.naxes[0] * facts.naxes[1] * facts.naxes[2]));
    fits_read_img(file, TBYTE, 1, static_cast<LONGLONG>(facts.planes.size()), nullptr,
                  facts.planes.data(), nullptr, &status);
  }
  if (status != 0) {
    char reason[FLEN_STATUS] = {};
    fits_get_errstatus(status, reason);
    facts.error = reason;
  }
  int ignored = 0;
  if (file != nullptr) fits_close_file(file, &ignored);
  return facts;
}

class IndiServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/noctra-indi-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    trace_ = dir_ / "port.trace";
    port_ = free_loopback_port();
    ASSERT_GT(port_, 0);
    const std::string port_text = std::to_string(port_);
    const std::string socket_path = (dir_ / "indiserver.sock").string();
    const std::string log_path = (dir_ / "indiserver.log").string();
    server_ = fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      // The driver saves its configuration under HOME: keep it in the folder.
      setenv("HOME", dir_.c_str(), 1);
      const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
      }
      execlp("indiserver", "indiserver", "-p", port_text.c_str(), "-u", socket_path.c_str(),
             NOCTRA_INDI_DRIVER, static_cast<char*>(nullptr));
      _exit(127);
    }
    client_ = std::make_unique<IndiClient>(kDevice);
    client_->setServer("127.0.0.1", static_cast<unsigned>(port_));
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    bool connected = false;
    while (!connected && std::chrono::steady_clock::now() < give_up) {
      connected = client_->connectServer();
      if (!connected) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(connected) << "indiserver did not start on port " << port_;
    ASSERT_TRUE(wait([](const DeviceView& v) { return v.has("CONNECTION") && v.has("HARDWARE"); }));
    client_->setBLOBMode(B_ALSO, kDevice, nullptr);
  }

  void TearDown() override {
    if (client_) client_->disconnectServer();
    client_.reset();
    if (server_ > 0) {
      kill(server_, SIGTERM);
      int status = 0;
      waitpid(server_, &status, 0);
    }
    std::error_code ignored;
    // A failed test, or NOCTRA_INDI_KEEP=1, keeps the server log and the port trace.
    if (!HasFailure() && std::getenv("NOCTRA_INDI_KEEP") == nullptr) fs::remove_all(dir_, ignored);
  }

  bool wait(const std::function<bool(const DeviceView&)>& condition,
            std::chrono::milliseconds timeout = 5s) {
    return client_->wait_for(condition, timeout);
  }

  void set_hardware(const std::string& port, const std::string& source) {
    client_->sendNewText(kDevice, "HARDWARE", "Port", port.c_str());
    ASSERT_TRUE(wait([&](const DeviceView& v) { return v.value("HARDWARE.Port") == port; }));
    client_->sendNewText(kDevice, "HARDWARE", "Source", source.c_str());
    ASSERT_TRUE(wait([&](const DeviceView& v) { return v.value("HARDWARE.Source") == source; }));
  }

  void connect_sim() {
    set_hardware("sim", "sim");
    client_->sendNewText(kDevice, "PORT_TRACE", "FILE", trace_.c_str());
    ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("PORT_TRACE") == IPS_OK; }));
    client_->connectDevice(kDevice);
    ASSERT_TRUE(wait([](const DeviceView& v) {
      return v.value("CONNECTION.CONNECT") == "On" && v.state("CONNECTION") == IPS_OK &&
             v.has("CCD_EXPOSURE") && v.has("CCD1");
    }));
  }

  void switch_on(const char* property, const char* element) {
    ASSERT_TRUE(wait([&](const DeviceView& v) { return v.has(property); })) << property;
    // One of many: the others go off in the same request.
    INDI::PropertySwitch switches = client_->getDevice(kDevice).getSwitch(property);
    ASSERT_TRUE(switches.isValid()) << property;
    switches.reset();
    auto* on = switches.findWidgetByName(element);
    ASSERT_NE(on, nullptr) << element;
    on->setState(ISS_ON);
    client_->sendNewSwitch(switches);
    ASSERT_TRUE(wait([&](const DeviceView& v) {
      return v.value(std::string(property) + "." + element) == "On";
    }));
  }

  std::size_t blob_count() { return client_->snapshot().blobs.size(); }

  // A request as any client may send it, also one libindiclient would not
  // make (an element the property lacks, a number that is not one).
  void send_raw(const std::string& xml) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
    std::this_thread::sleep_for(100ms);
    close(fd);
  }

  // Ends the driver as `end` does while both chips expose, with amp-off (the
  // port carries 0x30): the trace must end with the idle pattern.
  void expect_idle_port_after(const std::function<void()>& end) {
    connect_sim();
    switch_on("AMP_OFF", "INDI_ENABLED");
    client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 5.0);
    client_->sendNewNumber(kDevice, "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 5.0);
    ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("GUIDER_EXPOSURE") == IPS_BUSY; }));
    end();
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (!text_of(read_trace(trace_), 0).ends_with("2F 3F ") &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(text_of(read_trace(trace_), 0), "2F 3F 27 37 34 14 34 30 34 14 34 30 2F 3F ");
  }

  // One exposure from the client's request to its BLOB; the frame and the
  // wall-clock window around it.
  struct Exposure {
    ReceivedBlob blob;
    int64_t asked_us = 0;
    int64_t received_us = 0;
  };
  Exposure expose(double seconds) {
    Exposure exposure;
    const std::size_t before = blob_count();
    exposure.asked_us = utc_us(std::chrono::system_clock::now());
    client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", seconds);
    const bool arrived = wait([&](const DeviceView& v) { return v.blobs.size() > before; },
                              std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 5000));
    EXPECT_TRUE(arrived) << "no frame after " << seconds << " s";
    if (arrived) exposure.blob = client_->snapshot().blobs[before];
    exposure.received_us = utc_us(exposure.blob.arrived);
    return exposure;
  }

  fs::path dir_;
  fs::path trace_;
  int port_ = 0;
  pid_t server_ = -1;
  std::unique_ptr<IndiClient> client_;
};

const std::vector<uint8_t> kStart = {0x27, 0x37, 0x34, 0x14, 0x34};

// The bytes of one whole Low Res exposure without amp-off, as a one-frame
// recording writes them: start, amplifier on, trigger 0x37, idle.
const std::vector<uint8_t> kLowResExposure = {0x27, 0x37, 0x34, 0x14, 0x34, 0x34, 0x37, 0x2F, 0x3F};

TEST_F(IndiServerTest, ExposureSendsFitsFrameWithInstantsAndDocumentedBytes) {
  connect_sim();
  // Connecting idles the port.
  EXPECT_EQ(bytes_of(read_trace(trace_)), (std::vector<uint8_t>{0x2F, 0x3F}));
  const DeviceView connected = client_->snapshot();
  EXPECT_EQ(connected.value("CCD_INFO.CCD_MAX_X"), "640.000000");
  EXPECT_EQ(connected.value("CCD_INFO.CCD_MAX_Y"), "480.000000");
  EXPECT_EQ(connected.value("CCD_FRAME.WIDTH"), "640.000000");
  EXPECT_EQ(connected.value("CCD_FRAME.HEIGHT"), "480.000000");

  for (int exposure_number = 0; exposure_number < 2; ++exposure_number) {
    SCOPED_TRACE("exposure " + std::to_string(exposure_number + 1));
    const std::size_t trace_from = read_trace(trace_).size();
    const Exposure exposure = expose(1.0);
    EXPECT_EQ(exposure.blob.format, ".fits");
    const FitsFacts fits = read_fits(exposure.blob.bytes);
    ASSERT_EQ(fits.error, "");
    EXPECT_EQ(fits.bitpix, 8);
    EXPECT_EQ(fits.naxis, 3);
    EXPECT_EQ(fits.naxes[0], 640);
    EXPECT_EQ(fits.naxes[1], 480);
    EXPECT_EQ(fits.naxes[2], 3);
    EXPECT_EQ(fits.roworder, "BOTTOM-UP");
    EXPECT_EQ(fits.imagetyp, "Light");
    EXPECT_EQ(fits.mode, "Low Res");
    EXPECT_TRUE(fits.field == "EVEN" || fits.field == "ODD") << fits.field;
    // The frames a client receives are numbered from Connect on.
    EXPECT_EQ(fits.frameno, exposure_number);
    EXPECT_EQ(fits.swcreate.rfind("Noctra ", 0), 0U) << fits.swcreate;
    // The simulated sky is grey, so the three planes agree; Low Res kept one
    // field, so the rows of each pair agree; and the picture is not black.
    const std::size_t row = 640, plane = row * 480;
    ASSERT_EQ(fits.planes.size(), 3 * plane);
    EXPECT_TRUE(
        std::equal(fits.planes.begin(), fits.planes.begin() + plane, fits.planes.begin() + plane));
    EXPECT_TRUE(std::equal(fits.planes.begin(), fits.planes.begin() + plane,
                           fits.planes.begin() + 2 * plane));
    bool pairs_agree = true;
    for (std::size_t r = 0; r + 1 < 480; r += 2) {
      pairs_agree = pairs_agree &&
                    std::equal(fits.planes.begin() + r * row, fits.planes.begin() + (r + 1) * row,
                               fits.planes.begin() + (r + 1) * row);
    }
    EXPECT_TRUE(pairs_agree);
    EXPECT_GT(*std::max_element(fits.planes.begin(), fits.planes.end()), 100);

    const auto start = parse_fits_date(fits.date_obs);
    const auto end = parse_fits_date(fits.date_end);
    ASSERT_TRUE(start && end) << fits.date_obs << " / " << fits.date_end;
    // DATE-OBS is rounded to the millisecond: it may read 0.5 ms early.
    EXPECT_GE(*start, exposure.asked_us - 500);
    EXPECT_LE(*end, exposure.received_us);
    EXPECT_LE(*start, *end);

    const std::vector<TraceLine> trace = read_trace(trace_);
    ASSERT_EQ(bytes_of(trace, trace_from), kLowResExposure);
    const double traced_ms = trace[trace_from + 6].ms - trace[trace_from].ms;
    std::printf("exposure %d: 0x27 to 0x37 %.3f ms, EXPTIME %.6f s\n", exposure_number + 1,
                traced_ms, fits.exptime);
    // An exposure never runs short, and EXPTIME is what the port saw.
    EXPECT_GE(traced_ms, 1000.0);
    EXPECT_LT(traced_ms, 1500.0);
    EXPECT_NEAR(fits.exptime * 1000, traced_ms, 1.0);
    EXPECT_TRUE(wait([](const DeviceView& v) { return v.state("CCD_EXPOSURE") == IPS_OK; }));
  }
}

TEST_F(IndiServerTest, HighResWithAmpOffWritesBothTriggersAndSwitchesTheAmplifier) {
  connect_sim();
  switch_on("RESOLUTION", "HIGH_RES");
  switch_on("AMP_OFF", "INDI_ENABLED");
  const std::size_t trace_from = read_trace(trace_).size();
  const Exposure exposure = expose(0.2);
  const FitsFacts fits = read_fits(exposure.blob.bytes);
  ASSERT_EQ(fits.error, "");
  EXPECT_EQ(fits.mode, "High Res");
  EXPECT_EQ(fits.field, "BOTH");
  // Start, amplifier off (0x30), on (0x34), first frame 0x35, main frame
  // 0x37, amplifier off (0x33), idle.
  EXPECT_EQ(bytes_of(read_trace(trace_), trace_from),
            (std::vector<uint8_t>{0x27, 0x37, 0x34, 0x14, 0x34, 0x30, 0x34, 0x35, 0x37, 0x33, 0x2F,
                                  0x3F}));
  // The 0x35 goes out early by about a grab, the 0x37 not before the end:
  // with the first guess of what a grab takes, then with what they took.
  for (int n = 1; n <= 2; ++n) {
    const std::vector<TraceLine> t = read_trace(trace_);
    const std::size_t at = t.size() - 12;
    std::printf("High Res %d: 0x27 to 0x35 %.3f ms, to 0x37 %.3f ms\n", n, t[at + 7].ms - t[at].ms,
                t[at + 8].ms - t[at].ms);
    EXPECT_GE(t[at + 8].ms - t[at].ms, 200.0);
    // After the end too: libindiclient may otherwise send the value 0 the end has just set.
    ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("CCD_EXPOSURE") == IPS_OK; }));
    if (n == 1) expose(0.2);
  }
}

TEST_F(IndiServerTest, AbortInTheMiddleIdlesThePortAndSendsNoFrame) {
  connect_sim();
  const std::size_t trace_from = read_trace(trace_).size();
  client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 2.0);
  ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("CCD_EXPOSURE") == IPS_BUSY; }));
  // The countdown goes on while the driver waits for the exposure's end.
  ASSERT_TRUE(wait([](const DeviceView& v) {
    const std::string left = v.value("CCD_EXPOSURE.CCD_EXPOSURE_VALUE");
    return !left.empty() && std::stod(left) < 1.9 && std::stod(left) > 0.5;
  }));
  client_->sendNewSwitch(kDevice, "CCD_ABORT_EXPOSURE", "ABORT");
  ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("CCD_EXPOSURE") != IPS_BUSY; }));
  std::this_thread::sleep_for(1500ms);  // past the end the exposure would have had
  EXPECT_EQ(blob_count(), 0U);
  std::vector<uint8_t> expected = kStart;
  expected.insert(expected.end(), {0x2F, 0x3F});
  EXPECT_EQ(bytes_of(read_trace(trace_), trace_from), expected);
  // The camera takes the next exposure as usual.
  const Exposure next = expose(0.1);
  EXPECT_EQ(read_fits(next.blob.bytes).error, "");
}

TEST_F(IndiServerTest, DisconnectIdlesThePortAndClosesTheCamera) {
  connect_sim();
  client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 5.0);
  client_->sendNewNumber(kDevice, "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 5.0);
  ASSERT_TRUE(wait([](const DeviceView& v) { return v.state("GUIDER_EXPOSURE") == IPS_BUSY; }));
  const std::size_t trace_from = read_trace(trace_).size();
  client_->disconnectDevice(kDevice);
  ASSERT_TRUE(wait([](const DeviceView& v) {
    return v.value("CONNECTION.DISCONNECT") == "On" && !v.has("CCD_EXPOSURE");
  }));
  EXPECT_EQ(bytes_of(read_trace(trace_), trace_from), (std::vector<uint8_t>{0x2F, 0x3F}));
  // Connecting again opens the devices afresh.
  client_->connectDevice(kDevice);
  ASSERT_TRUE(wait([](const DeviceView& v) {
    return v.value("CONNECTION.CONNECT") == "On" && v.has("GUIDER_EXPOSURE");
  }));
  // Nothing runs: a client waiting for either exposure's end has it.
  EXPECT_EQ(client_->snapshot().state("CCD_EXPOSURE"), IPS_IDLE);
  EXPECT_EQ(client_->snapshot().state("GUIDER_EXPOSURE"), IPS_IDLE);
  const Exposure exposure = expose(0.1);
  EXPECT_EQ(read_fits(exposure.blob.bytes).error, "");
}

TEST_F(IndiServerTest, BadValuesGetTheAlertStateAndAMessage) {
  connect_sim();
  switch_on("RESOLUTION", "HIGH_RES");
  const std::size_t trace_from = read_trace(trace_).size();
  client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", -1.0);
  EXPECT_TRUE(wait([](const DeviceView& v) {
    return v.state("CCD_EXPOSURE") == IPS_ALERT && v.said("out of bounds");
  })) << "a negative exposure";
  // Guide exposures out of range, and requests libindiclient would not send
  // (raw, so that no update can overwrite the client's copy of the value
  // before it goes out): refused, and nothing changes.
  const auto raw = [](const char* kind, const char* property, const char* element,
                      const std::string& value) {
    return std::string("<new") + kind + "Vector device=\"Noctra\" name=\"" + property + "\"><one" +
           kind + " name=\"" + element + "\">" + value + "</one" + kind + "></new" + kind +
           "Vector>";
  };
  const std::string very_long(70'000, 'x');
  for (const auto& [property, xml, said] :
       std::vector<std::tuple<const char*, std::string, const char*>>{
           {"GUIDER_EXPOSURE", raw("Number", "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", "-1"),
            "guide exposure value (-1) seconds out of bounds"},
           {"GUIDER_EXPOSURE", raw("Number", "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", "0.01"),
            "guide exposure value (0.01) seconds out of bounds"},
           {"GUIDER_EXPOSURE", raw("Number", "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", "61"),
            "guide exposure value (61) seconds out of bounds"},
           {"CCD_EXPOSURE", raw("Number", "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", "nan"),
            "CCD_EXPOSURE_VALUE: the value is not a finite number"},
           {"RESOLUTION", raw("Switch", "RESOLUTION", "BOGUS", "On"),
            "RESOLUTION has no switch BOGUS"},
           {"AMP_OFF", raw("Switch", "AMP_OFF", "BOGUS", "On"), "AMP_OFF has no switch BOGUS"},
           {"UPLOAD_SETTINGS", raw("Text", "UPLOAD_SETTINGS", "UPLOAD_DIR", very_long),
            "UPLOAD_DIR: the text is longer than 4095 characters"},
           {"PORT_TRACE", raw("Text", "PORT_TRACE", "FILE", very_long),
            "FILE: the text is longer than 4095 characters"}}) {
    send_raw(xml);
    EXPECT_TRUE(wait([&](const DeviceView& v) {
      return v.state(property) == IPS_ALERT && v.said(said);
    })) << said;
  }
  const DeviceView refused = client_->snapshot();
  EXPECT_EQ(refused.value("CCD_EXPOSURE.CCD_EXPOSURE_VALUE").find("nan"), std::string::npos);
  EXPECT_EQ(refused.value("AMP_OFF.INDI_DISABLED"), "On");
  client_->sendNewText(kDevice, "HARDWARE", "Port", "parport9");
  EXPECT_TRUE(wait([](const DeviceView& v) {
    return v.state("HARDWARE") == IPS_ALERT && v.said("unknown camera port \"parport9\"");
  })) << "an unknown port name";
  EXPECT_EQ(client_->snapshot().value("HARDWARE.Port"), "sim");
  client_->sendNewText(kDevice, "HARDWARE", "Source", "webcam");
  EXPECT_TRUE(wait([](const DeviceView& v) { return v.said("unknown video source \"webcam\""); }));
  // None of it touched the port, and the driver still works in High Res.
  EXPECT_EQ(read_trace(trace_).size(), trace_from);
  const Exposure exposure = expose(0.1);
  EXPECT_EQ(read_fits(exposure.blob.bytes).mode, "High Res");
}

TEST_F(IndiServerTest, AnExplicitDeviceThatCannotOpenIsAnAlertNotTheSimulation) {
  struct Case {
    const char* port;
    const char* source;
    const char* named;
  };
  // A port name of 3000 characters, shortened so that the reason still shows.
  std::string long_port = "ppdev:/dev";
  while (long_port.size() < 3000) long_port += "/a";
  for (const Case& c :
       {Case{"ppdev:/dev/parport9", "sim", "/dev/parport9"},
        Case{"sim", "v4l2:/dev/video99", "/dev/video99"},
        Case{long_port.c_str(), "sim", " characters): No such file or directory"}}) {
    SCOPED_TRACE(c.named);
    set_hardware(c.port, c.source);
    client_->connectDevice(kDevice);
    EXPECT_TRUE(wait([&](const DeviceView& v) {
      return v.state("CONNECTION") == IPS_ALERT && v.state("HARDWARE") == IPS_ALERT &&
             v.said(c.named);
    }));
    const DeviceView view = client_->snapshot();
    EXPECT_NE(view.value("CONNECTION.CONNECT"), "On");
    EXPECT_FALSE(view.has("CCD_EXPOSURE"));
  }
}

// A guide exposure alone, then a guiding program's loop on the guide chip
// during a main exposure.
TEST_F(IndiServerTest, GuideExposuresAloneAndInterleavedWithAMainExposure) {
  connect_sim();
  const DeviceView connected = client_->snapshot();
  EXPECT_EQ(connected.value("GUIDER_INFO.CCD_MAX_X") + connected.value("GUIDER_FRAME.HEIGHT"),
            "640.000000480.000000");
  std::size_t trace_from = read_trace(trace_).size();
  client_->sendNewNumber(kDevice, "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 0.05);
  ASSERT_TRUE(wait([&](const DeviceView& v) { return v.state("GUIDER_EXPOSURE") == IPS_OK; }));
  std::vector<TraceLine> trace = read_trace(trace_);
  ASSERT_EQ(text_of(trace, trace_from), "34 14 34 34 35 2F 3F ");
  const FitsFacts alone = read_fits(frames_on(client_->snapshot(), "CCD2").at(0).bytes);
  EXPECT_EQ(alone.imagetyp + " " + alone.mode, "Light Low Res");
  EXPECT_NEAR(alone.exptime * 1000, trace[trace_from + 4].ms - trace[trace_from].ms, 1.0);
  std::printf("guide 0.05 s alone: EXPTIME %.6f s\n", alone.exptime);

  trace_from = trace.size();
  client_->sendNewNumber(kDevice, "CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 5.0);
  while (frames_on(client_->snapshot(), "CCD1").empty()) {
    const std::size_t guides = frames_on(client_->snapshot(), "CCD2").size();
    client_->sendNewNumber(kDevice, "GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", 1.0);
    // The end as well as the frame: libindiclient would send the next value
    // in a copy that the end's update may still overwrite.
    ASSERT_TRUE(wait(
        [&](const DeviceView& v) {
          return frames_on(v, "CCD2").size() > guides && v.state("GUIDER_EXPOSURE") == IPS_OK;
        },
        4s));
  }
  std::vector<ReceivedBlob> guides = frames_on(client_->snapshot(), "CCD2");
  guides.erase(guides.begin());
  EXPECT_EQ(frames_on(client_->snapshot(), "CCD1").size(), 1U);
  // The main exposure's own sequences once each, the guide cycle between.
  trace = read_trace(trace_);
  // Exposure start M, guide start G, guide read-out R, main read-out E, idle I.
  const std::string M = "27 37 34 14 34 ", G = "34 14 34 ", R = "34 35 ", E = "34 37 ",
                    I = "2F 3F ";
  const std::string bytes = text_of(trace, trace_from);
  EXPECT_TRUE(
      std::regex_match(bytes, std::regex(M + "(" + G + R + G + ")*(" + G + ")?" + E + "(37 35 " +
                                         I + "|" + G + R + I + "|" + I + "(" + G + R + I + ")?)")))
      << bytes;
  std::vector<double> triggers_ms;
  for (std::size_t i = trace_from; i < trace.size(); ++i) {
    if (trace[i].byte == 0x35) triggers_ms.push_back(trace[i].ms);
  }
  ASSERT_EQ(triggers_ms.size(), guides.size());
  double delays_ms = 0;
  for (std::size_t i = 0; i < guides.size(); ++i) {
    delays_ms += mono_ms(guides[i].arrived_mono) - triggers_ms[i];
    const FitsFacts fits = read_fits(guides[i].bytes);
    EXPECT_EQ(fits.frameno, static_cast<long>(i + 1));
    EXPECT_GE(fits.exptime, 1.0);  // longer when it waited for the main read-out
    std::printf("guide %zu: EXPTIME %.6f s, 0x35 to CCD2 at the client %.1f ms\n", i + 1,
                fits.exptime, mono_ms(guides[i].arrived_mono) - triggers_ms[i]);
  }
  // A loop whose frames take a third of a second to arrive (a sanitizer
  // build on a busy machine) fits fewer in.
  EXPECT_GE(guides.size(), delays_ms / guides.size() < 300 ? 4U : 3U);
  EXPECT_LE(guides.size(), 5U);

  // The last guide frame as the guide window shows it: the locator started at
  // the window's first guide position finds the star, the glow is top right.
  const FitsFacts fits = read_fits(guides.back().bytes);
  FrameImage picture = *FrameImage::create(640, 480);
  for (std::size_t i = 0; i < 640 * 480; ++i) {
    for (std::size_t b = 0; b < 3; ++b) {
      picture.row(0)[(i / 640) * picture.stride() + 3 * (i % 640) + b] =
          fits.planes[(2 - b) * 640 * 480 + i];
    }
  }
  int32_t x = -1, y = -1;
  locate_guide_star(picture, 320, 240, x, y);
  EXPECT_NEAR(x, 320, 3);
  EXPECT_NEAR(y, 240, 3);
  EXPECT_GT(picture.row(480 - y)[3 * x], 100);
  // The glow corner's 10 x 10 pixels against the opposite corner's: a second
  // of amplifier glow lifts them by several ADU.
  const auto corner_mean = [&](int32_t row0, int32_t col0) {
    int32_t sum = 0;
    for (int32_t r = row0; r < row0 + 10; ++r) {
      for (int32_t c = col0; c < col0 + 10; ++c) sum += picture.row(r)[3 * c];
    }
    return sum / 100.0;
  };
  EXPECT_GT(corner_mean(470, 630), corner_mean(0, 0) + 4.0);
}

TEST_F(IndiServerTest, EachChipAbortsOnItsOwn) {
  connect_sim();
  for (const char* kept : {"CCD", "GUIDER"}) {
    const std::string kept_exposure = std::string(kept) + "_EXPOSURE";
    const std::string other = kept_exposure == "CCD_EXPOSURE" ? "GUIDER" : "CCD";
    const std::size_t trace_from = read_trace(trace_).size();
    client_->sendNewNumber(kDevice, kept_exposure.c_str(), (kept_exposure + "_VALUE").c_str(), 0.5);
    client_->sendNewNumber(kDevice, (other + "_EXPOSURE").c_str(),
                           (other + "_EXPOSURE_VALUE").c_str(), 5.0);
    ASSERT_TRUE(
        wait([&](const DeviceView& v) { return v.state(other + "_EXPOSURE") == IPS_BUSY; }));
    client_->sendNewSwitch(kDevice, (other + "_ABORT_EXPOSURE").c_str(), "ABORT");
    EXPECT_TRUE(wait([&](const DeviceView& v) {
      return v.state(other + "_EXPOSURE") == IPS_IDLE && v.state(kept_exposure) == IPS_BUSY;
    }));
    EXPECT_TRUE(wait([&](const DeviceView& v) { return v.state(kept_exposure) == IPS_OK; }));
    EXPECT_EQ(text_of(read_trace(trace_), trace_from),
              other == "CCD" ? "34 14 34 27 37 34 14 34 34 35 2F 3F "
                             : "27 37 34 14 34 34 14 34 34 37 2F 3F ");
  }
}

TEST_F(IndiServerTest, SigtermDuringExposuresLeavesThePortIdle) {
  expect_idle_port_after([&] {
    const std::string server = std::to_string(server_);
    std::ifstream children("/proc/" + server + "/task/" + server + "/children");
    pid_t driver = -1;
    ASSERT_TRUE(children >> driver);
    kill(driver, SIGTERM);
  });
}

TEST_F(IndiServerTest, StoppingIndiserverDuringExposuresLeavesThePortIdle) {
  expect_idle_port_after([&] {
    kill(server_, SIGTERM);
    waitpid(std::exchange(server_, -1), nullptr, 0);
  });
}

}  // namespace
}  // namespace noctra::indi::test
