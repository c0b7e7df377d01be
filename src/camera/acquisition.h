#pragma once
// Frame acquisition: one blocking request to the frame source per frame,
// copied into a fresh frame image, and the still trigger that presses the
// capture button of the window the source shows while it waits.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/camera_port.h"
#include "camera/frame_acquirer.h"
#include "camera/frame_source.h"
#include "camera/still_window.h"
#include "config/status.h"
#include "imaging/frame_image.h"

namespace noctra {

// Copies a delivered packed DIB into a new frame image: the header, the rows
// and as many of the four trailing bytes as the block holds. Nothing when the
// block is too short for its header and rows or describes a frame Noctra does
// not handle (size, bit count, colour table, overflowing geometry); the
// failure says what was wrong. Never reads outside the block.
Result<FrameImage> copy_delivered_image(std::span<const uint8_t> block);

class Acquisition : public FrameAcquirer {
 public:
  Acquisition(CameraPort& port, StillWindowRegistry& windows, LogSink log);

  // Takes over a source (the Video Source choice); ignored while busy.
  void set_source(std::unique_ptr<FrameSource> source);
  FrameSource* source() const { return source_.get(); }

  bool source_available() override;
  void acquire_frame(FrameHolder& holder, TriggerCode code) override;
  void still_trigger() override;
  bool busy() const override { return busy_; }
  FrameTiming last_timing() const override { return last_timing_; }

  // The code the next press writes; nothing once a press has written it.
  const std::optional<TriggerCode>& pending_trigger() const { return pending_trigger_; }
  void set_pending_trigger(std::optional<TriggerCode> code) { pending_trigger_ = code; }

 private:
  void release_held_image() { held_image_.reset(); }

  CameraPort& port_;
  StillWindowRegistry& windows_;
  LogSink log_;
  std::unique_ptr<FrameSource> source_;
  // The block the source delivered last, until it has been copied.
  std::optional<std::vector<uint8_t>> held_image_;
  std::optional<TriggerCode> pending_trigger_;
  FrameTiming last_timing_;
  bool busy_ = false;
};

}  // namespace noctra
