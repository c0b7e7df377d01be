#pragma once
// What the windows need from the capture core. The program wires it to the
// sequencer, the command router and the camera; tests wire it to fakes.

#include <functional>
#include <string>
#include <vector>

#include "app/sequencer.h"
#include "config/settings.h"
#include "imaging/frame_image.h"

namespace noctra {

// One entry of the Video Source dialog: what is stored in the settings
// ("sim", "v4l2:/dev/video0", "ppdev:/dev/parport0", ...) and what is shown.
struct DeviceChoice {
  std::string name;
  std::string label;
};

class GuiCore {
 public:
  virtual ~GuiCore() = default;

  virtual Settings& settings() = 0;
  virtual CaptureState capture_state() const = 0;
  virtual bool paused() const = 0;
  virtual const FrameHolder& main_frame() const = 0;
  // The guide window draws its markers into this frame.
  virtual FrameHolder& guide_frame() = 0;

  // True while a tick is still running, e.g. waiting for a frame.
  virtual bool tick_running() const = 0;
  virtual void sequencer_tick() = 0;

  // Every command goes through here: it is dropped while an acquisition
  // waits; Record, Stop and Pause go to the sequencer and the rest come back
  // through the window-command handler.
  virtual void route_command(int id) = 0;
  virtual void set_window_commands(std::function<bool(int)> handler) = 0;

  virtual void camera_idle() = 0;

  // Video Source dialog.
  virtual std::vector<DeviceChoice> list_sources() = 0;
  virtual std::vector<DeviceChoice> list_ports() = 0;
  // Switches to the chosen source or port; false with the reason when it
  // cannot be opened (the previous one then stays in use).
  virtual bool use_source(const std::string& spec, std::string* error) = 0;
  virtual bool use_port(const std::string& spec, std::string* error) = 0;
  // Said in the dialog when a new choice only applies from the next start.
  virtual std::string device_change_note() const { return {}; }
};

}  // namespace noctra
