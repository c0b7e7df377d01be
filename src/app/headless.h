#pragma once
// Recording without windows: a plain event pump that delivers the 50 ms tick
// (also while an acquisition waits inside it), a host that prints every
// title as a progress line, and errors on stderr.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/app.h"
#include "app/due_ticker.h"
#include "app/sequencer.h"
#include "app/sequencer_host.h"
#include "config/platform.h"

namespace noctra {

class HeadlessEventPump : public EventPump {
 public:
  using Sleep = std::function<void(int32_t ms)>;
  // The tick runs every 50 ms of the clock; posted commands go to route
  // after each tick. sleep waits for the given milliseconds (tests fake it).
  // interrupt (Ctrl-C) makes the pump quit: a waiting acquisition ends with
  // no frame and the recording is finished by the caller.
  HeadlessEventPump(Clock& clock, Sleep sleep, const std::atomic<bool>* interrupt = nullptr)
      : clock_(clock), sleep_(std::move(sleep)), interrupt_(interrupt) {}

  // due tells the next moment something falls due (nothing: only the 50 ms
  // tick); the pump ticks at that instant too, once for each moment.
  void set_handlers(std::function<void()> tick, std::function<void(Command)> route,
                    DueTicker::NextDue due = nullptr) {
    ticker_ = DueTicker(std::move(tick), std::move(due));
    route_ = std::move(route);
  }
  // Off: only the 50 ms tick, as a plain window timer gives (the benchmark's
  // baseline).
  void set_due_ticks(bool on) { due_ticks_ = on; }
  void post(Command id) { posted_.push_back(id); }

  void run_until(const std::function<bool()>& done) override;
  bool quitting() const override { return interrupt_ && interrupt_->load(); }

 private:
  void deliver_posted();

  Clock& clock_;
  Sleep sleep_;
  const std::atomic<bool>* interrupt_;
  DueTicker ticker_{nullptr, nullptr};
  std::function<void(Command)> route_;
  struct Nesting {
    explicit Nesting(int& depth) : depth_(depth) { ++depth_; }
    ~Nesting() { --depth_; }
    int& depth_;
  };
  int depth_ = 0;
  bool due_ticks_ = true;
  std::deque<Command> posted_;
  bool have_deadline_ = false;
  int32_t next_tick_ = 0;
};

class HeadlessHost : public SequencerHost {
 public:
  HeadlessHost(std::ostream& out, HeadlessEventPump& pump, bool titles = true)
      : out_(out), pump_(pump), titles_(titles) {}
  void set_title(const std::string& title) override;
  void set_ui_state(UiState, bool) override {}
  void repaint_main(const FrameHolder&) override {}
  void repaint_guide(const FrameHolder&) override {}
  void post_command(Command id) override { pump_.post(id); }
  void layout_if_idle() override {}
  void beep() override {}

 private:
  std::ostream& out_;
  HeadlessEventPump& pump_;
  bool titles_;
  std::string last_title_;
};

class StreamErrorReporter : public ErrorReporter {
 public:
  explicit StreamErrorReporter(std::ostream& out) : out_(out) {}
  void show_error(const std::string& text) override { out_ << "Error: " << text << std::endl; }

 private:
  std::ostream& out_;
};

// The program's parts for a run without windows: the real clock, the pump
// (short naps, so that Ctrl-C is seen within a few milliseconds) with its
// ticks, commands and due moments routed to the sequencer, the host and
// errors on `log`.
class HeadlessProgram {
 public:
  // titles: whether the host prints the recording's titles as progress lines.
  HeadlessProgram(const std::atomic<bool>& interrupt, std::ostream& log, bool titles = true);
  // False, the reason on the log, when the port or source named in the
  // settings cannot be opened. The port is idled.
  bool open(const AppOptions& options);
  App& app() { return *app_; }
  HeadlessEventPump& pump() { return pump_; }
  Clock& clock() { return clock_; }

 private:
  std::ostream& log_;
  SteadyClock clock_;
  HeadlessEventPump pump_;
  HeadlessHost host_;
  StreamErrorReporter reporter_;
  std::unique_ptr<App> app_;
};

// Records until the count is reached or interrupt becomes true (Ctrl-C),
// then finishes the file and saves the settings. Returns the exit status:
// 0, or 2 when the port or source named in the settings cannot be opened.
int run_headless(const AppOptions& options, const std::atomic<bool>& interrupt, std::ostream& log);

}  // namespace noctra
