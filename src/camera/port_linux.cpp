// The system calls behind the parallel and serial camera ports. Kept thin:
// the byte handling lives in port_backends.cpp.
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "camera/port_backends.h"
#include "camera/port_crash_guard.h"

namespace noctra {

namespace {

Failure system_error(const std::string& what, int error_number) {
  return failure(what + ": " + std::strerror(error_number));
}

void ppdev_crash_write(int fd, uint8_t byte, uint32_t) noexcept {
  unsigned char data = byte;
  ioctl(fd, PPWDATA, &data);
}

void serial_crash_write(int fd, uint8_t byte, uint32_t param) noexcept {
  const ModemLines lines = modem_lines_for(byte, unpack_serial_line_map(param));
  int bits = TIOCM_DTR;
  ioctl(fd, lines.dtr ? TIOCMBIS : TIOCMBIC, &bits);
  bits = TIOCM_RTS;
  ioctl(fd, lines.rts ? TIOCMBIS : TIOCMBIC, &bits);
}

class PpdevLines : public PortLines {
 public:
  explicit PpdevLines(int fd) : fd_(fd) {}
  ~PpdevLines() override {
    ioctl(fd_, PPRELEASE);
    close(fd_);
  }
  Status put(uint8_t byte) override {
    unsigned char data = byte;
    if (ioctl(fd_, PPWDATA, &data) != 0) return failure(std::strerror(errno));
    return {};
  }
  int register_for_crash(uint8_t current) override {
    return port_crash_guard::register_port(fd_, ppdev_crash_write, 0, current);
  }

 private:
  int fd_;
};

class SerialLines : public PortLines {
 public:
  SerialLines(int fd, SerialLineMap map) : fd_(fd), map_(map) {}
  ~SerialLines() override { close(fd_); }
  Status put(uint8_t byte) override {
    const ModemLines lines = modem_lines_for(byte, map_);
    int status = 0;
    if (ioctl(fd_, TIOCMGET, &status) != 0) return failure(std::strerror(errno));
    status = lines.dtr ? (status | TIOCM_DTR) : (status & ~TIOCM_DTR);
    status = lines.rts ? (status | TIOCM_RTS) : (status & ~TIOCM_RTS);
    if (ioctl(fd_, TIOCMSET, &status) != 0) return failure(std::strerror(errno));
    return {};
  }
  int register_for_crash(uint8_t current) override {
    return port_crash_guard::register_port(fd_, serial_crash_write, pack_serial_line_map(map_),
                                           current);
  }

 private:
  int fd_;
  SerialLineMap map_;
};

Result<int> open_claimed_ppdev(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return system_error("ppdev:" + path, errno);
  if (ioctl(fd, PPCLAIM) != 0) {
    const int claim_error = errno;
    close(fd);
    return system_error("ppdev:" + path + " (claiming the port)", claim_error);
  }
  return fd;
}

}  // namespace

Result<std::unique_ptr<PortDevice>> open_ppdev_port(const std::string& path, LogSink log) {
  const Result<int> claimed = open_claimed_ppdev(path);
  if (!claimed) return failure(claimed.message());
  const int fd = *claimed;
  int mode = IEEE1284_MODE_COMPAT;
  ioctl(fd, PPSETMODE, &mode);
  int forward = 0;
  ioctl(fd, PPDATADIR, &forward);
  // The data register reads back what is on the lines now.
  unsigned char current = 0;
  if (ioctl(fd, PPRDATA, &current) != 0) current = 0;
  return std::unique_ptr<PortDevice>(std::make_unique<ShadowPortDevice>(
      "ppdev:" + path, std::make_unique<PpdevLines>(fd), current, std::move(log)));
}

Status probe_ppdev_port(const std::string& path) {
  const Result<int> claimed = open_claimed_ppdev(path);
  if (!claimed) return claimed.status();
  ioctl(*claimed, PPRELEASE);
  close(*claimed);
  return {};
}

Result<std::unique_ptr<PortDevice>> open_serial_port(const SerialPortAddress& address,
                                                     LogSink log) {
  const std::string name = "serial:" + address.path;
  // Non-blocking so that the open never waits for a carrier.
  const int fd = open(address.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return system_error(name, errno);
  // Closes the descriptor after taking the system's reason for the failure.
  auto give_up = [fd](const std::string& what) {
    const int error_number = errno;
    close(fd);
    return system_error(what, error_number);
  };
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return give_up(name + " (not a serial port?)");
  // Ignore the modem status lines, and keep DTR and RTS as Noctra left them
  // when the port is closed (no hang-up).
  settings.c_cflag |= CLOCAL;
  settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return give_up(name + " (setting CLOCAL)");
  int status = 0;
  if (ioctl(fd, TIOCMGET, &status) != 0) return give_up(name + " (no modem control lines)");
  // The lines cannot say which byte was last written; start from the idle
  // pattern's value, which the first camera_idle writes anyway.
  return std::unique_ptr<PortDevice>(std::make_unique<ShadowPortDevice>(
      name, std::make_unique<SerialLines>(fd, address.lines), uint8_t{0x3F}, std::move(log)));
}

}  // namespace noctra
