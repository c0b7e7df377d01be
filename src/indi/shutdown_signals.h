#pragma once
// How the driver ends when it is told to: SIGTERM, SIGINT, SIGHUP, or
// SIGPIPE (indiserver has gone and the driver's output leads nowhere). The
// handler writes the idle pattern to every real camera port at once, as the
// crash guard does, and wakes the driver's event loop through a pipe; there
// the driver ends its exposures, idles the port through its trace, closes the
// camera and then ends with the signal. The fatal signals get the crash
// guard's handler. Process-wide, like the crash guard: a signal handler can
// reach nothing else.

namespace noctra::indi::shutdown_signals {

// Installs the handlers (once); the read end of the pipe the event loop
// watches, or -1 when no pipe could be made (the handlers then only idle the
// real ports and end the process).
int install() noexcept;
// The signal that arrived, read from the pipe; 0 when none.
int take(int fd) noexcept;
// Ends the process as the signal would have without a handler.
[[noreturn]] void die_of(int signal_number) noexcept;

}  // namespace noctra::indi::shutdown_signals
