#include "output/ser_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "output/checked_write.h"
#include "output/ser_header.h"

namespace noctra {

std::optional<SerReader> SerReader::open(const std::string& path, std::string& error) {
  error.clear();
  SerReader reader(path);
  if (!reader.open_file(error)) return std::nullopt;
  std::vector<uint8_t> header(kSerHeaderBytes);
  std::string unread;
  if (reader.file_size_ < kSerHeaderBytes ||
      !reader.read_at(0, header.data(), header.size(), unread)) {
    header.clear();
  }
  const Result<SerHeader> parsed = parse_ser_header(header);
  if (!parsed) {
    error = path + " " + parsed.message();
    return std::nullopt;
  }
  const int32_t colour = parsed->colour;
  if (colour != kSerColourBgr && colour != kSerColourRgb && colour != kSerColourMono) {
    error = path + ": SER colour " + std::to_string(colour) +
            " is not supported (only BGR, RGB and monochrome)";
    return std::nullopt;
  }
  // Depths 1 to 8 all store one byte per sample.
  if (parsed->depth > 8) {
    error = path + ": SER samples of " + std::to_string(parsed->depth) +
            " bits are not supported (only 8-bit)";
    return std::nullopt;
  }
  reader.width_ = parsed->width;
  reader.height_ = parsed->height;
  reader.top_down_ = true;
  reader.samples_ = colour == kSerColourMono  ? Samples::Indexed
                    : colour == kSerColourRgb ? Samples::Rgb
                                              : Samples::Bgr;
  reader.frame_bytes_ = parsed->frame_bytes();
  const uint64_t whole = (reader.file_size_ - kSerHeaderBytes) / reader.frame_bytes_;
  reader.frame_count_ = static_cast<std::size_t>(std::min<uint64_t>(parsed->frame_count, whole));
  reader.truncated_ = parsed->frame_count > whole;
  return reader;
}

bool SerReader::claims(const std::string& path) {
  WriterIo& io = posix_writer_io();
  const UniqueFd fd(io.open_file(path.c_str(), false), io);
  uint8_t id[ser_layout::kFileIdBytes];
  return fd && read_fully(io, fd.get(), id, sizeof id, 0) &&
         std::memcmp(id, ser_layout::kFileId, sizeof id) == 0;
}

RecordedFrames::StoredFrame SerReader::stored_frame(std::size_t index) const {
  return {kSerHeaderBytes + frame_bytes_ * index, frame_bytes_};
}

Result<std::unique_ptr<RecordingReader>> open_ser_recording(const std::string& path) {
  std::string error;
  std::optional<SerReader> reader = SerReader::open(path, error);
  if (!reader) return failure(error);
  return recording_reader_of(std::make_unique<SerReader>(std::move(*reader)));
}

}  // namespace noctra
