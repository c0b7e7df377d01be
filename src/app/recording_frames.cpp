#include "app/recording_frames.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "output/timing_log.h"

namespace noctra {

struct RecordingFrames::Source {
  const RecordingFormat* format = nullptr;
  std::unique_ptr<RecordingReader> reader;
  std::map<int64_t, TimingRecordRow> timing_record;
};

Result<RecordingFrames> RecordingFrames::open(const std::string& path) {
  const RecordingFormat& format = claimed_format(path);
  Result<std::unique_ptr<RecordingReader>> reader = format.open_reader(path);
  if (!reader) return failure(reader.message());
  auto source = std::make_unique<Source>();
  source->format = &format;
  source->reader = std::move(*reader);
  source->timing_record = read_timing_record(timing_path_for(path));
  return RecordingFrames(std::move(source));
}

RecordingFrames::RecordingFrames(std::unique_ptr<Source> source) : source_(std::move(source)) {}
RecordingFrames::RecordingFrames(RecordingFrames&&) noexcept = default;
RecordingFrames& RecordingFrames::operator=(RecordingFrames&&) noexcept = default;
RecordingFrames::~RecordingFrames() = default;

const RecordingFormat& RecordingFrames::format() const { return *source_->format; }
std::size_t RecordingFrames::count() const { return source_->reader->count(); }

Status RecordingFrames::read(std::size_t index, RecordedFrame& out) {
  Status read = source_->reader->read_frame(index, out);
  if (!read) return read;
  // The timing record, when there is one, is what the exposure really was.
  const auto row = source_->timing_record.find(static_cast<int64_t>(index));
  if (row != source_->timing_record.end()) {
    out.timing = {};
    if (row->second.start_utc) out.timing.start = Instant{*row->second.start_utc, 0};
    if (row->second.end_utc) out.timing.end = Instant{*row->second.end_utc, 0};
  }
  return read;
}

FrameHolder frame_image_of(RecordedFrame& frame) {
  if (frame.image) return std::move(frame.image);
  const PlaneBuffer& planes = frame.planes;
  auto image = FrameImage::create(planes.width(), planes.height());
  if (!image) return std::nullopt;
  const auto width = static_cast<std::size_t>(planes.width());
  for (int32_t q = 0; q < planes.height(); ++q) {
    uint8_t* out = image->row(q);
    for (std::size_t k = 0; k < width; ++k) {
      for (std::size_t b = 0; b < kBytesPerPixel; ++b) {
        const int channel = planes.channels() == 1 ? 0 : static_cast<int>(b);
        const float v = planes.plane(channel)[static_cast<std::size_t>(q) * width + k];
        out[k * kBytesPerPixel + b] =
            static_cast<uint8_t>(std::lround(std::clamp(v, 0.0F, 255.0F)));
      }
    }
  }
  return image;
}

}  // namespace noctra
