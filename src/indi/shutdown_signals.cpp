#include "indi/shutdown_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "camera/port_crash_guard.h"

namespace noctra::indi::shutdown_signals {

namespace {

std::atomic<int> g_write_fd{-1};
int g_read_fd = -1;
bool g_installed = false;

void on_termination(int signal_number) {
  port_crash_guard::write_idle_to_open_ports();
  const int fd = g_write_fd.load();
  if (fd < 0) die_of(signal_number);
  const auto byte = static_cast<unsigned char>(signal_number);
  const int saved_errno = errno;
  [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  errno = saved_errno;
}

}  // namespace

int install() noexcept {
  if (g_installed) return g_read_fd;
  g_installed = true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_read_fd = fds[0];
    g_write_fd.store(fds[1]);
  }
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    struct sigaction action {};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
  }
  // The fatal signals; the ones above keep their handler.
  port_crash_guard::install_crash_handlers();
  return g_read_fd;
}

int take(int fd) noexcept {
  unsigned char byte = 0;
  return read(fd, &byte, 1) == 1 ? byte : 0;
}

void die_of(int signal_number) noexcept {
  std::signal(signal_number, SIG_DFL);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal_number);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  std::raise(signal_number);
  _exit(128 + signal_number);
}

}  // namespace noctra::indi::shutdown_signals
