#pragma once
// The windows' view of the real capture core: the sequencer, the program's
// command router (window commands come back to the windows through it) and
// the camera port.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/sequencer.h"
#include "camera/camera_port.h"
#include "ui/gui_core.h"

namespace noctra {

// Listing and switching of capture devices and camera ports. Without a
// switching function a choice is only stored in the settings, to be opened at
// the next start, and the note says so.
struct DeviceCatalog {
  std::function<std::vector<DeviceChoice>()> sources;
  std::function<std::vector<DeviceChoice>()> ports;
  std::function<bool(const std::string&, std::string*)> use_source;
  std::function<bool(const std::string&, std::string*)> use_port;
  std::string note;
};

class SequencerCore : public GuiCore {
 public:
  SequencerCore(Settings& settings, Sequencer& sequencer, CommandRouter& router,
                std::function<void()> camera_idle, DeviceCatalog catalog = {});

  Settings& settings() override { return settings_; }
  CaptureState capture_state() const override { return sequencer_.capture_state(); }
  bool paused() const override { return sequencer_.paused(); }
  const FrameHolder& main_frame() const override { return sequencer_.main_frame(); }
  FrameHolder& guide_frame() override { return sequencer_.guide_frame(); }
  bool tick_running() const override { return sequencer_.tick_running(); }
  void sequencer_tick() override { sequencer_.sequencer_tick(); }
  void route_command(Command id) override { router_.route(id); }
  void set_window_commands(std::function<bool(Command)> handler) override {
    router_.set_window_commands(std::move(handler));
  }
  void camera_idle() override { camera_idle_(); }

  std::vector<DeviceChoice> list_sources() override;
  std::vector<DeviceChoice> list_ports() override;
  bool use_source(const std::string& spec, std::string* error) override;
  bool use_port(const std::string& spec, std::string* error) override;
  std::string device_change_note() const override { return catalog_.note; }

 private:
  Settings& settings_;
  Sequencer& sequencer_;
  std::function<void()> camera_idle_;
  DeviceCatalog catalog_;
  CommandRouter& router_;
};

}  // namespace noctra
