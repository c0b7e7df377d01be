#pragma once
// The live stack of a recording, on a worker thread of its own, so that the
// window thread (which runs the sequencer and times the exposures) only ever
// copies a frame into a free slot.
//
// The sequencer's thread calls feed() with every frame the recording gets.
// Up to `queue_frames` frames wait for the worker; when all slots are full
// (the stacking is behind, a slow machine with short exposures) the frame
// being fed is dropped: it never waits, it is counted, and the stack's CSV
// lists it with the reason "dropped". The stack's view and panel read
// copies: status(), recent_frames() and copy_view() never wait for a frame
// being stacked.
//
// Nothing here knows Qt; the desktop program's stack view and panel use it
// as is.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/calibration.h"
#include "imaging/frame_image.h"
#include "imaging/stack_engine.h"
#include "output/stack_files.h"

namespace noctra {

// What a Stack panel shows.
struct StackSessionStatus {
  bool running = false;                  // started and not yet stopped
  VerdictCounts counts;                  // frames stacked and left out, by reason (dropped too)
  double integration_s = 0;              // the stacked frames' exposures, summed
  std::optional<StackFrameReport> last;  // the last frame judged: its shift, rotation, residual
  int64_t waiting = 0;                   // frames queued for the worker
  std::string recording;                 // the recording the stack belongs to
};

// Turns a raw frame into calibrated planes (a dark taken off, a flat divided
// out, hot pixels mended) and gives the dark's k when a dark was taken off;
// false leaves the frame to be stacked raw.
using StackCalibration = std::function<bool(const FrameImage& raw, const FrameTiming& timing,
                                            FloatPlanes& out, std::optional<double>& dark_scale)>;

class StackSession {
 public:
  struct Options {
    StackOptions engine;
    std::size_t queue_frames = 2;
    std::size_t recent_frames = 500;  // reports kept for the panel's plot of the shifts
  };

  StackSession();
  explicit StackSession(Options options);
  ~StackSession();  // stacks what is queued, then stops the worker
  StackSession(const StackSession&) = delete;
  StackSession& operator=(const StackSession&) = delete;

  // A new, empty stack for the recording at that path (its files go beside
  // it); frames still queued for the old one are dropped. Starting a
  // recording starts one.
  void start(const std::string& recording_path);
  // A new, empty stack for the same recording (the Reset button).
  void reset();
  // No more frames: those queued are still stacked (Stop ends it).
  void stop();

  // From the sequencer's thread: queues a copy of the frame; false when it
  // was dropped (no stack started, or every slot is waiting).
  bool feed(const FrameImage& frame, const FrameTiming& timing, int64_t frame_number);

  // Writes the stack's three files (beside the recording, or the FITS at
  // fits_path with the PNG and CSV beside it) on the worker, after the frames
  // queued before it. The paths written, or why not. A start() or reset()
  // that comes before the files are written does not change what they hold:
  // the stack as it was then (Stop, then Record at once). A stack without a
  // frame stacked writes only its CSV and fails, saying so.
  std::future<Result<StackPaths>> save(const std::string& fits_path = {});

  // Calibration for the frames fed from now on, and what the FITS header
  // says of it (the masters' names and k).
  void set_calibration(StackCalibration calibrate, std::string dark, std::string flat,
                       std::optional<double> dark_scale);

  StackSessionStatus status() const;
  // The last `count` frames judged, oldest first (for the plot of the shifts).
  std::vector<StackFrameReport> recent_frames(std::size_t count) const;
  // The stack stretched for the view (8-bit, the frame's size): copied into
  // out when it changed since `seen` (which is brought up to date), out
  // emptied when the stack was reset; false when there is nothing new.
  bool copy_view(FrameHolder& out, uint64_t& seen) const;

 private:
  struct Slot {
    FrameHolder frame;
    FrameTiming timing;
    int64_t number = 0;
    uint64_t stack_id = 0;
  };
  // What a save writes besides the stack's planes.
  struct Book {
    std::string recording;
    StackHeader header;
    std::vector<StackFrameReport> reports;
  };
  struct Job {
    std::size_t slot;  // or kSaveJob
    std::string fits_path;
    std::shared_ptr<std::promise<Result<StackPaths>>> saved;
    uint64_t stack_id = 0;
    // Taken when the stack was replaced before the save came to its turn.
    std::optional<Book> book;
  };
  static constexpr std::size_t kSaveJob = static_cast<std::size_t>(-1);

  void work();
  void stack_one(Slot& slot);
  Result<StackPaths> save_now(Job& job);
  void begin_stack(std::unique_lock<std::mutex>& lock);
  void note(const StackFrameReport& report, const FrameTiming& timing);
  // Whether a save of a replaced stack still waits for its frames (under
  // mutex_); the frame's report, when given, goes into each such save.
  bool add_to_waiting_saves(uint64_t stack_id, const StackFrameReport* report,
                            const FrameTiming& timing);
  static void add_to_book(Book& book, const StackFrameReport& report, const FrameTiming& timing);

  Options options_;
  // The worker's only.
  StackEngine engine_;
  FloatPlanes calibrated_;
  FrameHolder drawn_;
  std::vector<float> stretch_scratch_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> free_slots_;
  std::deque<Job> jobs_;
  bool quitting_ = false;
  bool running_ = false;
  uint64_t stack_id_ = 0;         // grows with every start and reset
  uint64_t engine_stack_id_ = 0;  // the stack the engine holds (worker's)
  StackCalibration calibrate_;
  Book current_;  // the recording, header and rows of the stack being fed
  VerdictCounts counts_;
  std::deque<StackFrameReport> recent_;

  mutable std::mutex view_mutex_;
  FrameHolder view_;
  uint64_t view_generation_ = 0;

  std::thread worker_;
};

}  // namespace noctra
