#include "camera/port_crash_guard.h"

#include <atomic>
#include <csignal>

#include "camera/port_device.h"

namespace noctra::port_crash_guard {

namespace {

struct Slot {
  std::atomic<IdleWriter> writer{nullptr};
  std::atomic<int> fd{-1};
  std::atomic<uint32_t> param{0};
  std::atomic<uint8_t> last{0};
};

Slot g_slots[kSlots];

void on_fatal_signal(int signal_number) {
  write_idle_to_open_ports();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

int register_port(int fd, IdleWriter writer, uint32_t param, uint8_t current) noexcept {
  if (fd < 0 || writer == nullptr) return -1;
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = g_slots[i];
    int free_fd = -1;
    if (!slot.fd.compare_exchange_strong(free_fd, fd)) continue;
    slot.param.store(param);
    slot.last.store(current);
    // The writer goes in last: the handler skips a slot without one.
    slot.writer.store(writer);
    return i;
  }
  return -1;
}

void note_write(int slot, uint8_t byte) noexcept {
  if (slot >= 0 && slot < kSlots) g_slots[slot].last.store(byte);
}

void unregister_port(int slot) noexcept {
  if (slot < 0 || slot >= kSlots) return;
  g_slots[slot].writer.store(nullptr);
  g_slots[slot].fd.store(-1);
}

void write_idle_to_open_ports() noexcept {
  for (Slot& slot : g_slots) {
    const IdleWriter writer = slot.writer.load();
    const int fd = slot.fd.load();
    if (writer == nullptr || fd < 0) continue;
    const uint8_t first = idle_first_byte(slot.last.load());
    writer(fd, first, slot.param.load());
    writer(fd, idle_second_byte(first), slot.param.load());
  }
}

void install_crash_handlers() noexcept {
  for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) continue;
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace noctra::port_crash_guard
