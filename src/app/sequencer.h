#pragma once
// The capture sequencer: driven by the 50 ms tick and the Record, Stop and
// Pause commands, it times each exposure against the millisecond clock,
// writes the camera's control bytes, acquires and cleans up a frame when an
// exposure ends, appends it to the output file, keeps the title current and
// runs the separate guide cycle.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/sequencer_host.h"
#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "config/paths.h"
#include "config/platform.h"
#include "config/settings.h"
#include "imaging/frame_image.h"
#include "output/frame_writer.h"

namespace noctra {

enum class CaptureState : int32_t { Idle = 0, Waiting = 1, Exposing = 2 };
enum class GuideState : int32_t { Off = 0, Pending = 1, Running = 2 };

// What a run of exposures is for. A recording writes its frames; a preview
// (framing, focusing) and a calibration run (dark, flat or bias frames)
// take exposures in exactly the same way, with the same control bytes and
// timing, but write nothing. A calibration run ends by itself after its
// number of frames, as a recording does after its count.
enum class RunKind : uint8_t { Recording, Preview, Calibration };

// Each new main frame of a run, after the recording has written it (or not):
// the frame, its timing and kind, and the run it belongs to. Called on the
// window thread inside the tick, before the next exposure is scheduled:
// a listener only copies what it needs and does its work elsewhere.
struct TakenFrame {
  const FrameImage& frame;
  const FrameTiming& timing;
  const FrameMetadata& how;
  RunKind run;
  bool written;  // a recording's frame that went to the file (not paused)
};
using FrameListener = std::function<void(const TakenFrame&)>;

class Sequencer {
 public:
  Sequencer(Settings& settings, Clock& clock, CameraPort& port, FrameAcquirer& acquirer,
            FrameWriter& writer, SequencerHost* host,
            PathFlavour title_flavour = kNativePathFlavour);

  // The windows are made after the sequencer they show and go before it:
  // while no host is attached, there is nobody to tell.
  void set_host(SequencerHost* host) { host_ = host; }

  // Record: a run that writes its frames.
  void start_recording() { start_run(RunKind::Recording); }
  // A run of this kind; frames > 0 ends a calibration run after that many
  // frames (a recording takes its count from the settings, a preview runs
  // until stopped). A preview or calibration run that is on ends first, as
  // Stop ends it.
  void start_run(RunKind kind, int32_t frames = 0);
  // Stop: ends whatever run is on.
  void stop_recording();
  void toggle_pause();
  void sequencer_tick();

  // True when a new frame came (the holder may keep the previous one).
  bool capture_main_frame();
  void capture_guide_frame();
  void show_countdown(int32_t remaining_ms);

  CaptureState capture_state() const { return capture_state_; }
  // The kind of the run that is on (or was last, when idle).
  RunKind run_kind() const { return run_kind_; }
  // Frames taken in this run, written or not.
  int32_t frames_taken() const { return frames_taken_; }
  // Listeners are told of every new main frame (see TakenFrame).
  void add_frame_listener(FrameListener listener) { listeners_.push_back(std::move(listener)); }
  GuideState guide_state() const { return guide_state_; }
  bool paused() const { return paused_; }
  int32_t frames_written() const { return frames_written_; }
  bool tick_running() const { return timer_busy_; }
  // When the current or next exposure begins (ms clock).
  int32_t exposure_base() const { return exposure_base_; }

  // The next moment something falls due: the exposure's base while waiting,
  // its end while exposing, the next guide frame. A moment is what it is
  // due for, its instant on the ms clock, the recording and the exposure it
  // belongs to, so a tick that acts on it moves the sequencer on to another
  // one (an exposure of 0 ms with no delay starts the next at the instant
  // of the last: it is the next exposure's moment all the same). Nothing
  // while idle or while a tick runs (the tick looks again when it is done).
  // The event pumps tick at that instant (see DueTicker), so an exposure
  // starts and ends on time instead of on the next 50 ms tick.
  enum class DueKind : uint8_t { Start, End, Guide };
  struct Moment {
    DueKind kind;
    int32_t at;
    uint32_t recording;
    uint32_t exposure;
    friend bool operator==(const Moment&, const Moment&) = default;
  };
  struct Due {
    int32_t wait_ms;  // from now; 0 when it has come
    Moment moment;
    friend bool operator==(const Due&, const Due&) = default;
  };
  std::optional<Due> next_due();

  // The timing and kind of the frame in main_frame(), as the writer gets it.
  const FrameTiming& main_timing() const { return main_timing_; }
  const FrameMetadata& main_how() const { return main_how_; }

  const FrameHolder& main_frame() const { return main_frame_; }
  const FrameHolder& first_hi_res_frame() const { return first_hi_res_frame_; }
  // The guide window draws its markers into this frame.
  FrameHolder& guide_frame() { return guide_frame_; }
  // How the guide frame in guide_frame() was taken.
  const FrameMetadata& guide_how() const { return guide_how_; }

 private:
  // The two halves of a tick, in this order: the exposure (start, end and
  // the frame's capture and writing) and the guide frames. main_cycle is
  // false when a Stop given during the frame's writing ended the recording:
  // the tick then ends there.
  bool main_cycle(int32_t now);
  void guide_cycle(int32_t now);
  // A guide frame that falls due within kGuideYieldMs before the exposure's
  // end waits for it: its capture (up to a frame's time on a grabber) would
  // hold the end back. The end's tick then comes first, as it does when both
  // fall into one 50 ms tick, and its frame restarts the guide cycle.
  static constexpr int32_t kGuideYieldMs = 50;
  bool guide_waits_for_end(int32_t guide_at) const;
  void set_frame_title();
  // Tells the host where the run stands (RunStatus).
  void report_status();

  Settings& settings_;
  Clock& clock_;
  CameraPort& port_;
  FrameAcquirer& acquirer_;
  FrameWriter& writer_;
  SequencerHost* host_;
  PathFlavour title_flavour_;

  CaptureState capture_state_ = CaptureState::Idle;
  int32_t exposure_base_ = 0;
  GuideState guide_state_ = GuideState::Off;
  int32_t guide_base_ = 0;
  int32_t frames_written_ = 0;
  RunKind run_kind_ = RunKind::Recording;
  int32_t run_frames_ = 0;  // a calibration run's number of frames
  int32_t frames_taken_ = 0;
  std::vector<FrameListener> listeners_;
  bool paused_ = false;
  bool timer_busy_ = false;
  // Changes at every Record and Stop: a tick whose recording ended while it
  // ran stops there, and due moments of different recordings never match.
  uint32_t recording_generation_ = 0;
  // Exposures begun since Record.
  uint32_t exposures_begun_ = 0;
  int32_t last_title_seconds_ = -1;
  int32_t last_title_frames_ = -1;

  // Updated with each new main frame; a High Res exposure whose first grab
  // failed keeps the previous frame and so its timing.
  FrameTiming main_timing_;
  FrameMetadata main_how_;
  FrameHolder main_frame_;
  FrameHolder first_hi_res_frame_;
  FrameHolder guide_frame_;
  FrameMetadata guide_how_;
};

// Routes command identifiers (menu, toolbar, accelerators, posted commands)
// to the sequencer and the windows. Every command is dropped while an
// acquisition waits: it has no effect and must be given again afterwards.
class CommandRouter {
 public:
  // Commands that only the windows can carry out (About, Exit, Setup, Video
  // Source, Save images in..., Autoincrement); returns false if not handled.
  using WindowCommands = std::function<bool(Command id)>;

  CommandRouter(Sequencer& sequencer, FrameAcquirer& acquirer, WindowCommands window_commands)
      : sequencer_(sequencer), acquirer_(acquirer), window_commands_(std::move(window_commands)) {}

  // True when the command was recognised and acted on (or dropped as the rules say).
  bool route(Command id);
  void set_window_commands(WindowCommands window_commands) {
    window_commands_ = std::move(window_commands);
  }

 private:
  Sequencer& sequencer_;
  FrameAcquirer& acquirer_;
  WindowCommands window_commands_;
};

}  // namespace noctra
