#include "camera/acquisition.h"

#include <algorithm>
#include <cstring>

namespace noctra {

Result<FrameImage> copy_delivered_image(std::span<const uint8_t> block) {
  if (block.size() < kBitmapHeaderSize) return failure("the image is shorter than its header");
  const BitmapInfoHeader header = read_bitmap_header(block.data());
  if (header.width <= 0 || header.height <= 0) return failure("the image has no width or height");
  if (header.bit_count != 24) return failure("the image is not 24 bits per pixel");
  if (header.clr_used != 0) return failure("the image carries a colour table");
  std::optional<FrameImage> frame = FrameImage::from_header(block.data());
  if (!frame) return failure("the image geometry is out of range");
  const std::size_t wanted = frame->block_size();
  const std::size_t needed = wanted - kFrameTrailingBytes;
  if (block.size() < needed) return failure("the image is shorter than its pixel rows");
  // Trailing bytes the block does not hold stay as the new frame has them.
  const std::size_t copied = std::min(block.size(), wanted);
  std::memcpy(frame->pixels(), block.data() + kBitmapHeaderSize, copied - kBitmapHeaderSize);
  return std::move(*frame);
}

Acquisition::Acquisition(CameraPort& port, StillWindowRegistry& windows, LogSink log)
    : port_(port), windows_(windows), log_(std::move(log)) {}

void Acquisition::set_source(std::unique_ptr<FrameSource> source) {
  if (busy_) return;
  source_ = std::move(source);
}

bool Acquisition::source_available() { return source_ != nullptr && source_->available(); }

void Acquisition::acquire_frame(FrameHolder& holder, TriggerCode code) {
  pending_trigger_ = code;
  if (!source_available()) return;
  release_held_image();

  busy_ = true;
  held_image_ = source_->acquire();
  busy_ = false;

  holder.reset();
  if (!held_image_) return;
  FrameTiming timing;
  if (InstantClock* clock = port_.clock()) timing.delivered = clock->now();
  timing.end = port_.last_trigger();
  timing.source_mono_us = source_->last_buffer_mono_us();

  if (Result<FrameImage> copied = copy_delivered_image(*held_image_); copied) {
    holder = std::move(*copied);
    last_timing_ = timing;
  } else if (log_) {
    log_(source_->name() + ": frame refused: " + copied.message());
  }
  release_held_image();
}

void Acquisition::still_trigger() {
  if (!pending_trigger_) return;
  const std::optional<StillWindowRegistry::Press> press = windows_.find_capture_button();
  if (!press) return;
  port_.write_trigger_code(*pending_trigger_);
  pending_trigger_.reset();
  if (*press) (*press)();
}

}  // namespace noctra
