#pragma once
// A capture core for window tests: records what reaches it, drops commands
// while "busy" like the real router, and hands window commands back.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/gui_core.h"
#include "ui/save_file_chooser.h"

namespace noctra::testing {

class FakeCore : public GuiCore {
 public:
  Settings values;
  CaptureState state = CaptureState::Idle;
  bool is_paused = false;
  bool busy = false;
  bool in_tick = false;
  FrameHolder main;
  FrameHolder guide;
  std::vector<Command> sequencer_commands;  // Record, Stop and Pause that got through
  std::vector<Command> dropped;
  int ticks = 0;
  int idles = 0;
  std::vector<std::string> switched_sources;

  Settings& settings() override { return values; }
  CaptureState capture_state() const override { return state; }
  bool paused() const override { return is_paused; }
  const FrameHolder& main_frame() const override { return main; }
  FrameHolder& guide_frame() override { return guide; }
  bool tick_running() const override { return in_tick; }
  void sequencer_tick() override { ++ticks; }
  void route_command(Command id) override {
    if (busy) {
      dropped.push_back(id);
      return;
    }
    if (id == Command::Record || id == Command::Stop || id == Command::Pause) {
      sequencer_commands.push_back(id);
      if (on_sequencer_command) on_sequencer_command(id);
      return;
    }
    if (window_commands) window_commands(id);
  }
  void set_window_commands(std::function<bool(Command)> handler) override {
    window_commands = std::move(handler);
  }
  void camera_idle() override { ++idles; }
  std::vector<DeviceChoice> list_sources() override {
    return {{"sim", "Simulated sky camera"}, {"v4l2:/dev/video0", "USB capture (video0)"}};
  }
  std::vector<DeviceChoice> list_ports() override { return {{"sim", "Simulated port"}}; }
  bool use_source(const std::string& spec, std::string* error) override {
    if (spec != "sim") {
      if (error) *error = "cannot open " + spec;
      return false;
    }
    switched_sources.push_back(spec);
    values.source = spec;
    return true;
  }
  bool use_port(const std::string& spec, std::string*) override {
    values.port = spec;
    return true;
  }

  std::function<bool(Command)> window_commands;
  std::function<void(Command)> on_sequencer_command;
};

// Answers the file dialog with a fixed reply and remembers what it was asked.
class ScriptedChooser : public SaveFileChooser {
 public:
  std::optional<std::string> reply;
  std::vector<std::string> asked;
  std::optional<std::string> browse_output_path(QWidget*, const std::string& initial) override {
    asked.push_back(initial);
    return reply;
  }
};

// Runs action from inside whichever event loop is current once cond holds
// (a modal dialog's, or the wait of an acquisition).
inline void when(std::function<bool()> cond, std::function<void()> action) {
  auto* poll = new QTimer;
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, [poll, cond, action] {
    if (!cond()) return;
    poll->stop();
    poll->deleteLater();
    action();
  });
  poll->start();
}

// Runs action on the next modal dialog as soon as it is up.
inline void when_modal_opens(std::function<void(QWidget*)> action) {
  when([] { return QApplication::activeModalWidget() != nullptr; },
       [action] { action(QApplication::activeModalWidget()); });
}

}  // namespace noctra::testing
