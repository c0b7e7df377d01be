#pragma once
// Frames handed from the window thread to a worker thread of their own, so
// that no window ever delays an exposure. The window thread copies each
// frame into a block kept from frame to frame (a fraction of a millisecond);
// the worker takes it and does the slow part. Only the newest frame of each
// lane waits: a frame handed over while the one before still waits takes its
// place (dropped() counts those), so a slow machine shows fewer frames, never
// older ones. Lanes with a lower index are taken first.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "imaging/frame_image.h"

namespace noctra {

// Extra travels with its frame (a guide position, the frame's timing).
template <typename Extra, std::size_t kLanes>
class FrameHandOver {
 public:
  // Runs on the worker for each frame taken: its lane, the frame, how many
  // frames were handed over to that lane before it, and its extra.
  using Work = std::function<void(std::size_t lane, const FrameImage& frame, int64_t number,
                                  const Extra& extra)>;

  explicit FrameHandOver(Work work) : work_(std::move(work)), worker_([this] { run(); }) {}
  ~FrameHandOver() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
  }
  FrameHandOver(const FrameHandOver&) = delete;
  FrameHandOver& operator=(const FrameHandOver&) = delete;

  // The number the frame gets (its lane's count of frames before it).
  int64_t hand_over(std::size_t lane_index, const FrameImage& frame, Extra extra) {
    Lane& lane = lanes_[lane_index];
    std::optional<FrameImage> block;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (lane.waiting) ++dropped_;
      block = lane.waiting ? std::move(lane.waiting) : std::move(lane.spare);
      lane.waiting.reset();
      lane.spare.reset();
    }
    // The copy is made outside the lock: the worker may go on meanwhile.
    if (block && block->width() == frame.width() && block->height() == frame.height()) {
      std::memcpy(block->pixels(), frame.pixels(), frame.rows_size());
    } else {
      block = frame.clone();
    }
    int64_t number = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      lane.waiting = std::move(block);
      number = lane.waiting_number = lane.handed_over++;
      lane.extra = std::move(extra);
    }
    wake_.notify_one();
    return number;
  }

  int64_t dropped() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }

 private:
  struct Lane {
    std::optional<FrameImage> waiting, spare;
    int64_t waiting_number = 0;
    Extra extra{};
    int64_t handed_over = 0;
  };

  Lane* next_waiting() {
    for (Lane& lane : lanes_) {
      if (lane.waiting) return &lane;
    }
    return nullptr;
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || next_waiting() != nullptr; });
      if (stopping_) return;
      Lane& lane = *next_waiting();
      FrameImage frame = std::move(*lane.waiting);
      lane.waiting.reset();
      const int64_t number = lane.waiting_number;
      const Extra extra = std::move(lane.extra);
      lock.unlock();
      work_(static_cast<std::size_t>(&lane - lanes_.data()), frame, number, extra);
      lock.lock();
      // A newer frame copied into a fresh block meanwhile keeps its own.
      if (!lane.spare) lane.spare = std::move(frame);
    }
  }

  Work work_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::array<Lane, kLanes> lanes_;
  int64_t dropped_ = 0;
  bool stopping_ = false;
  std::thread worker_;  // last: it starts once everything above is made
};

}  // namespace noctra
