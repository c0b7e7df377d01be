#include "camera/v4l2_source.h"

#include <algorithm>

#include "imaging/frame_image.h"

namespace noctra {

namespace {

std::string size_text(int32_t width, int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Any two successive fields make a frame; the buffer says which field it is.
std::optional<bool> top_field(const CapturedBuffer& buffer, FieldOrder order) {
  const FieldOrder field = order == FieldOrder::Alternate ? buffer.field : order;
  if (field == FieldOrder::Top) return true;
  if (field == FieldOrder::Bottom) return false;
  return std::nullopt;
}

// Takes the input or standard asked for (nothing when none is), then looks
// again at what the device offers now.
template <typename Choose, typename Set>
Status choose_and_set(VideoDevice& device, Result<DeviceOffer>& offer, const std::string& option,
                      const std::string& asked, Choose choose, Set set) {
  if (asked.empty()) return {};
  const auto chosen = choose(asked, *offer);
  if (!chosen) return failure(chosen.message());
  if (Status made = set(*chosen); !made) {
    return failure(option + "=" + asked + ": " + made.message());
  }
  offer = device.describe();
  if (!offer) return failure(offer.message());
  return {};
}

}  // namespace

V4l2Source::V4l2Source(V4l2Address address, std::unique_ptr<VideoDevice> device, Clock& clock,
                       EventPump& pump, StillWindowRegistry& windows, LogSink log,
                       V4l2Options options)
    : address_(std::move(address)), device_(std::move(device)), clock_(clock), pump_(pump),
      windows_(windows), log_(std::move(log)), options_(std::move(options)) {}

V4l2Source::~V4l2Source() { shut_down(); }

void V4l2Source::shut_down() {
  held_.reset();
  if (stream_) device_->close();
  stream_.reset();
}

void V4l2Source::fail(const std::string& reason) {
  // A device that stays missing would otherwise say so at every exposure.
  if (reason == last_logged_) return;
  last_logged_ = reason;
  if (log_) log_(reason);
}

void V4l2Source::note(const std::string& text) {
  if (noted_.insert(text).second && log_) log_(prefix() + text);
}

std::optional<VideoFormat> V4l2Source::format() const {
  if (!stream_) return std::nullopt;
  return stream_->format;
}

std::optional<FrameSize> V4l2Source::frame_size() const {
  if (!stream_) return std::nullopt;
  return stream_->frame;
}

Status V4l2Source::open_now() {
  const bool mono = options_.mono && options_.mono();
  if (stream_ && stream_->mono == mono) return {};
  // The recording's colour changed: the format is chosen again.
  shut_down();
  if (Status opened = device_->open(address_.path); !opened) {
    return failure(prefix() + opened.message());
  }
  Result<Stream> started = start(mono);
  if (!started) {
    device_->close();
    return failure(prefix() + started.message());
  }
  stream_ = *started;
  const FieldOrder field = stream_->format.field;
  if (field == FieldOrder::None) {
    note(
        "the device delivers progressive pictures (field order none): they are recorded as "
        "they come");
  } else if (field == FieldOrder::Top || field == FieldOrder::Bottom) {
    note("the device delivers only the " + field_order_name(field) +
         " field: each of its lines fills two lines of the frame");
  }
  return {};
}

Result<V4l2Source::Stream> V4l2Source::start(bool mono) {
  Result<DeviceOffer> offer = device_->describe();
  if (!offer) return failure(offer.message());
  if (Status input = choose_and_set(*device_, offer, "input", address_.input, choose_input,
                                    [&](uint32_t index) { return device_->set_input(index); });
      !input) {
    return failure(input.message());
  }
  if (Status standard = choose_and_set(*device_, offer, "std", address_.standard, choose_standard,
                                       [&](uint64_t id) { return device_->set_standard(id); });
      !standard) {
    return failure(standard.message());
  }
  Result<FormatChoice> choice = choose_format(address_, *offer, mono);
  if (!choice) return failure(choice.message());
  VideoFormat format = choice->request;
  if (Status set = device_->set_format(format, choice->conversion); !set) {
    return failure(set.message());
  }

  const uint32_t asked =
      choice->conversion == Conversion::None ? choice->request.pixel_format : kPixelFormatBgr24;
  if (format.pixel_format != asked) {
    return failure("the device answered with " + pixel_format_name(format.pixel_format) +
                   " pictures when asked for " + pixel_format_name(asked));
  }
  const std::optional<PixelLayout> layout = pixel_layout_for(asked, mono);
  if (!layout) return failure("Noctra cannot take " + pixel_format_name(asked) + " pictures");
  Stream stream;
  stream.mono = mono;
  stream.layout = *layout;
  if (format.field == FieldOrder::Any) format.field = FieldOrder::None;
  const bool one_field = one_field_per_buffer(format.field);
  if (format.width <= 0 || format.height <= 0 || format.width > kMaxFrameDimension ||
      format.height > kMaxFrameDimension / (one_field ? 2 : 1)) {
    return failure("the device offers an unusable picture size " +
                   size_text(format.width, format.height));
  }
  stream.frame = {format.width, format.height * (one_field ? 2 : 1)};
  const uint32_t line_bytes = static_cast<uint32_t>(source_bytes_per_pixel(stream.layout)) *
                              static_cast<uint32_t>(format.width);
  if (format.bytes_per_line == 0) format.bytes_per_line = line_bytes;
  if (format.bytes_per_line < line_bytes) {
    return failure("the device reports lines shorter than its width");
  }
  if (address_.size && *address_.size != stream.frame) {
    std::string offered;
    for (const PixelFormatOffer& f : offer->formats) {
      if (f.pixel_format == choice->request.pixel_format) offered = offered_sizes_text(f);
    }
    return failure("size=" + size_text(address_.size->width, address_.size->height) +
                   ": the device gives " + size_text(stream.frame.width, stream.frame.height) +
                   (offered.empty() ? std::string() : " (it offers " + offered + ")"));
  }
  if (address_.field && *address_.field != format.field) {
    return failure("field=" + field_order_name(*address_.field) + ": the device gives " +
                   field_order_name(format.field));
  }
  if (Status streaming = device_->start_streaming(options_.buffer_count); !streaming) {
    return failure(streaming.message());
  }
  format.frame_period_ms = std::clamp(format.frame_period_ms, 1, 10000);
  stream.format = format;
  return stream;
}

Status V4l2Source::give_back(int index) {
  if (Status requeued = device_->requeue(index); !requeued) {
    fail(prefix() + "capture failed: " + requeued.message());
    shut_down();
    return requeued;
  }
  return {};
}

void V4l2Source::release_held() {
  if (!held_) return;
  const int index = held_->index;
  held_.reset();
  (void)give_back(index);
}

Result<std::optional<std::vector<uint8_t>>> V4l2Source::take(const CapturedBuffer& buffer,
                                                             bool& hold) {
  const VideoFormat& format = stream_->format;
  const std::string what =
      size_text(format.width, format.height) + " " +
      pixel_format_name(format.captured_format != 0 ? format.captured_format : format.pixel_format);
  if (!buffer.problem.empty()) return failure(buffer.problem);
  // A picture larger than its format gives, or a field where a frame was
  // agreed (or the other way round), is not what the frame is built from.
  if ((format.size_image != 0 && buffer.bytes.size() > format.size_image) ||
      (!one_field_per_buffer(format.field) && one_field_per_buffer(buffer.field)) ||
      (format.field == FieldOrder::Alternate && !top_field(buffer, format.field))) {
    return failure("the device delivered a picture that does not fit its format " + what +
                   " (did the video format change?)");
  }
  const std::string short_picture = "the device delivered a picture shorter than its format " +
                                    what + " (" + std::to_string(buffer.bytes.size()) + " bytes)";
  const bool one_field = one_field_per_buffer(format.field);
  const bool top = one_field && *top_field(buffer, format.field);
  if (format.field == FieldOrder::Alternate && !held_) {
    // The first field after the press: it waits for the next one, its
    // partner.
    if (!holds_lines(buffer.bytes, format.bytes_per_line, stream_->layout, format.width,
                     field_lines(stream_->frame.height, top))) {
      return failure(short_picture);
    }
    held_ = HeldField{buffer.index, top, buffer.timestamp_us, buffer.bytes};
    hold = true;
    return std::optional<std::vector<uint8_t>>();
  }
  std::optional<DibFrame> frame = DibFrame::create(stream_->frame.width, stream_->frame.height);
  if (!frame) return failure("unusable frame size");
  const uint32_t line = format.bytes_per_line;
  bool whole = false;
  if (!one_field) {
    whole = put_picture(*frame, buffer.bytes, line, stream_->layout, format.field);
  } else if (format.field != FieldOrder::Alternate) {
    // The device gives one field only: it fills both fields' lines.
    whole = put_field(*frame, buffer.bytes, line, stream_->layout, top, true);
  } else {
    const HeldField first = *held_;
    const bool paired = first.top != top;
    if (!paired) {
      note("the device flagged two " + std::string(top ? "top" : "bottom") +
           " fields in a row: the frame shows the first of them on both fields' lines");
    }
    whole = put_field(*frame, first.bytes, line, stream_->layout, first.top, !paired) &&
            (!paired || put_field(*frame, buffer.bytes, line, stream_->layout, top, false));
  }
  if (!whole) return failure(short_picture);
  return std::optional(std::move(*frame).take());
}

V4l2Source::Polled V4l2Source::poll_after_press(int64_t press_us, int32_t wait_ms) {
  // One field per buffer comes at twice the frame rate.
  const int64_t period_us = int64_t{stream_->format.frame_period_ms} * 1000 /
                            (stream_->format.field == FieldOrder::Alternate ? 2 : 1);
  for (;;) {
    if (!device_->wait_until_ready(wait_ms)) return std::optional<std::vector<uint8_t>>();
    wait_ms = 0;  // an old buffer was dropped: the next one is looked at only
    Result<std::optional<CapturedBuffer>> dequeued = device_->dequeue();
    if (!dequeued) {
      fail(prefix() + dequeued.message());
      shut_down();
      return failure(dequeued.message());
    }
    if (!*dequeued) return std::optional<std::vector<uint8_t>>();
    const CapturedBuffer& buffer = **dequeued;
    // Buffers begun before the press hold video from before the read-out. A
    // stamp taken at the end of the picture is a period after its start.
    const int64_t begun_us =
        buffer.stamped_at_frame_end ? buffer.timestamp_us - period_us : buffer.timestamp_us;
    if (!held_ && begun_us <= press_us) {
      if (Status back = give_back(buffer.index); !back) return failure(back.message());
      continue;
    }
    const int64_t first_stamp_us = held_ ? held_->timestamp_us : buffer.timestamp_us;
    bool hold = false;
    Result<std::optional<std::vector<uint8_t>>> taken = take(buffer, hold);
    if (!hold) {
      release_held();
      if (!stream_) return failure("capture failed");
      if (Status back = give_back(buffer.index); !back) return failure(back.message());
    }
    if (!taken) {
      fail(prefix() + taken.message());
      return failure(taken.message());
    }
    if (!*taken) continue;  // a field waits for its partner
    last_buffer_us_ = first_stamp_us;
    return taken;
  }
}

void V4l2Source::drop_ready_buffers() {
  for (int i = 0; i < 64 && stream_ && device_->wait_until_ready(0); ++i) {
    Result<std::optional<CapturedBuffer>> dequeued = device_->dequeue();
    if (!dequeued || !*dequeued) return;
    if (!device_->requeue((*dequeued)->index)) return;  // the wait will report it
  }
}

std::optional<std::vector<uint8_t>> V4l2Source::acquire() {
  if (Status opened = open_now(); !opened) {
    fail(opened.message());
    return std::nullopt;
  }

  int64_t press_us = 0;
  const StillPress press =
      wait_for_still_press(windows_, clock_, pump_, options_.press_timeout_ms, [&] {
        press_us = device_->now_us();
        // Whatever is ready now was captured before the press, whatever its
        // stamp says (some drivers do not stamp on the monotonic clock).
        drop_ready_buffers();
      });
  if (press != StillPress::Pressed) {
    if (press == StillPress::TimedOut) {
      fail(still_press_missed_text(name(), options_.press_timeout_ms));
    }
    return std::nullopt;
  }

  const int32_t timeout_ms =
      std::max(options_.frame_timeout_periods * stream_->format.frame_period_ms,
               options_.frame_timeout_min_ms);
  const int32_t pressed_at = clock_.now_ms();
  // Nothing while waiting; then the frame, or a failure already logged.
  Polled polled = std::optional<std::vector<uint8_t>>();
  auto waiting = [&] { return polled.ok() && !*polled; };
  pump_.run_until([&] {
    if (waiting() && stream_) {
      const int32_t left = timeout_ms - wrap_sub(clock_.now_ms(), pressed_at);
      polled = poll_after_press(press_us, std::clamp(left, 0, options_.ready_wait_ms));
    }
    return !waiting() || wrap_sub(clock_.now_ms(), pressed_at) >= timeout_ms;
  });
  // A field still waiting for its partner goes back to the device.
  release_held();
  if (!waiting()) {
    if (!polled) return std::nullopt;
    last_logged_.clear();
    return std::move(*polled);
  }
  if (!pump_.quitting()) {
    fail(prefix() + "no frame within " + std::to_string(timeout_ms) +
         " ms of the still press (is the device still delivering video?)");
    shut_down();
  }
  return std::nullopt;
}

}  // namespace noctra
