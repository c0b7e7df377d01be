#pragma once
// Last-resort idle pattern for the camera ports that are open when the
// program dies on a signal: an exposure line left active would keep the
// camera integrating (and the amplifier glowing) until someone notices.
//
// This is the one place with process-wide mutable state: a signal handler
// can reach nothing else. The table is fixed-size and lock-free; the handler
// only reads atomics and makes plain system calls.

#include <cstdint>

namespace noctra::port_crash_guard {

// Writes one byte to a device from inside a signal handler. Must be
// async-signal-safe: system calls only, no allocation, no locks.
using IdleWriter = void (*)(int fd, uint8_t byte, uint32_t param) noexcept;

inline constexpr int kSlots = 8;

// Returns a slot number, or -1 when the table is full (the port then works,
// only without the last-resort idle).
int register_port(int fd, IdleWriter writer, uint32_t param, uint8_t current) noexcept;
// Keeps the slot's copy of the last byte written, from which the idle
// pattern is made.
void note_write(int slot, uint8_t byte) noexcept;
void unregister_port(int slot) noexcept;

// Writes the idle pattern (bits 0..5 to 1 with bit 4 going through 0 first,
// bits 6 and 7 kept) to every registered port. Async-signal-safe.
void write_idle_to_open_ports() noexcept;

// Installs a handler for the fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGQUIT, SIGTERM, SIGHUP) that writes the idle pattern and then
// lets the signal take its default course. Signals that already have a
// handler (a sanitizer's, the program's own) are left alone, so install the
// program's own handlers first.
void install_crash_handlers() noexcept;

}  // namespace noctra::port_crash_guard
