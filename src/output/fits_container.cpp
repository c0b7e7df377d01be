#include "output/fits_container.h"

#include <fitsio.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "config/version.h"
#include "output/checked_write.h"
#include "output/naming.h"
#include "output/unique_fd.h"

namespace noctra {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFitsBlock = 2880;
constexpr std::string_view kTemporarySuffix = ".part";

bool equals_any_case(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && ends_with_any_case(text, lower);
}

// The folder, the name before the extension, and the extension (with its
// dot, as written; ".fits" when the name has none).
struct RecordingName {
  fs::path folder;
  std::string stem;
  std::string extension;
};

RecordingName split_recording_name(const std::string& recording_path) {
  const fs::path path(recording_path);
  RecordingName name;
  name.folder = path.parent_path();
  if (name.folder.empty()) name.folder = ".";
  const std::string file = path.filename().string();
  const std::size_t dot = file.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    name.stem = file;
    name.extension = ".fits";
  } else {
    name.stem = file.substr(0, dot);
    name.extension = file.substr(dot);
  }
  return name;
}

// A frame file's name of this recording: stem, '_', six digits, a FITS
// extension, and perhaps the temporary suffix.
bool is_frame_file_of(std::string_view file, const std::string& stem) {
  if (file.size() < stem.size() + 1 + kFitsFrameDigits || file.substr(0, stem.size()) != stem ||
      file[stem.size()] != '_') {
    return false;
  }
  std::size_t at = stem.size() + 1;
  for (int k = 0; k < kFitsFrameDigits; ++k, ++at) {
    if (file[at] < '0' || file[at] > '9') return false;
  }
  std::string_view extension = file.substr(at);
  if (extension.size() > kTemporarySuffix.size() &&
      extension.substr(extension.size() - kTemporarySuffix.size()) == kTemporarySuffix) {
    extension.remove_suffix(kTemporarySuffix.size());
  }
  return equals_any_case(extension, ".fits") || equals_any_case(extension, ".fit");
}

// FITS header text is printable ASCII.
std::string header_text(const std::string& text) {
  std::string clean = text;
  for (char& c : clean) {
    if (c < 32 || c > 126) c = '?';
  }
  return clean;
}

// DATE-OBS wants ISO 8601 without the zone letter; TIMESYS says it is UTC.
// The instant is rounded to the millisecond.
std::string fits_date(int64_t utc_us) {
  std::string text = format_utc((utc_us + 500) / 1000 * 1000, 3);
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  return text;
}

const char* mode_text(CaptureMode mode) {
  return mode == CaptureMode::HighRes ? "High Res" : "Low Res";
}

const char* field_text(KeptField field) {
  switch (field) {
    case KeptField::Even:
      return "EVEN";
    case KeptField::Odd:
      return "ODD";
    case KeptField::Both:
      break;
  }
  return "BOTH";
}

// fits_write_key_* of the key's type.
void write_key(fitsfile* file, const FitsKey& key, int* status) {
  const char* name = key.name.c_str();
  const char* comment = key.comment.c_str();
  if (const auto* text = std::get_if<std::string>(&key.value)) {
    fits_write_key_str(file, name, text->c_str(), comment, status);
  } else if (const auto* real = std::get_if<double>(&key.value)) {
    fits_write_key_fixdbl(file, name, *real, kFitsRealDecimals, comment, status);
  } else if (const auto* integer = std::get_if<int64_t>(&key.value)) {
    fits_write_key_lng(file, name, static_cast<LONGLONG>(*integer), comment, status);
  } else {
    fits_write_key_log(file, name, std::get<bool>(key.value) ? 1 : 0, comment, status);
  }
}

class FitsContainer final : public RecordingContainer {
 public:
  explicit FitsContainer(WriterIo& io, CalibrateRecordedFrame calibrate = {})
      : io_(io), calibrate_(std::move(calibrate)) {}
  ~FitsContainer() override { close(false); }

  ContainerStatus open(const std::string& path, const FrameImage&, const FrameTiming&,
                       const RecordingInfo& info) override {
    close(false);
    const RecordingName name = split_recording_name(path);
    // A folder the frames cannot go into fails here, as a file that cannot
    // be created fails the other formats' open.
    if (::access(name.folder.c_str(), W_OK | X_OK) != 0) return ContainerStatus::open_failed(errno);
    UniqueFd folder(io_.open_folder(name.folder.c_str()), io_);
    if (!folder) return ContainerStatus::open_failed(errno);
    // A new recording under an old name replaces the old one whole: frames
    // of it left beyond the new one's last would read as part of it.
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(name.folder, ignored)) {
      if (is_frame_file_of(entry.path().filename().string(), name.stem)) {
        io_.remove_file(entry.path().c_str());
      }
    }
    folder_ = std::move(folder);
    path_ = path;
    info_ = info;
    frames_ = 0;
    if (calibrate_) {
      writer_failure_ = ContainerStatus::success();
      writer_stopping_ = false;
      writer_ = std::thread([this] { write_queued(); });
    }
    return ContainerStatus::success();
  }

  ContainerStatus append(const FrameImage& frame, const FrameTiming& timing,
                         const FrameMetadata& metadata) override {
    if (!folder_) return ContainerStatus::write_failed(EBADF);
    if (frames_ >= kMostFitsFrames) {
      return ContainerStatus::refused("the recording's frame numbers are all used");
    }
    const std::string final_path = fits_frame_path(path_, frames_);
    if (calibrate_) return queue(frame, timing, metadata, final_path);
    std::string error;
    const std::optional<std::vector<uint8_t>> bytes =
        encode_fits_frame(frame, timing, metadata, info_, frames_, &error);
    if (!bytes) return ContainerStatus::write_failed(0, final_path, error);
    const ContainerStatus written = write_file(final_path, *bytes);
    if (written.ok()) ++frames_;
    return written;
  }

  int64_t frames() const override { return frames_; }

  ContainerStatus flush() override {
    // Each frame's data reached the disk before its rename; this puts the
    // renames there too.
    if (folder_ && io_.fdatasync(folder_.get()) != 0) return ContainerStatus::write_failed(errno);
    return take_writer_failure();
  }

  ContainerStatus close(bool sync) override {
    if (!folder_) return ContainerStatus::success();
    stop_writer();
    ContainerStatus status = take_writer_failure();
    if (sync) {
      if (ContainerStatus flushed = flush(); !flushed.ok() && status.ok()) status = flushed;
    }
    if (const int error = folder_.close(); error != 0 && status.ok()) {
      status = ContainerStatus::write_failed(error);
    }
    return status;
  }

 private:
  struct QueuedFrame {
    FrameImage frame;
    FrameTiming timing;
    FrameMetadata metadata;
    int64_t number = 0;
    std::string path;
  };

  // The file under a temporary name, on the disk, then renamed.
  ContainerStatus write_file(const std::string& final_path, const std::vector<uint8_t>& bytes) {
    const std::string temporary = final_path + std::string(kTemporarySuffix);
    UniqueFd fd(io_.create_file(temporary.c_str()), io_);
    if (!fd) return ContainerStatus::write_failed(errno, final_path);
    const struct iovec whole = iovec_of(bytes.data(), bytes.size());
    bool ok = write_fully(io_, fd.get(), std::span(&whole, 1), 0) && io_.fdatasync(fd.get()) == 0;
    int failure = ok ? 0 : errno;
    if (const int error = fd.close(); error != 0 && ok) {
      ok = false;
      failure = error;
    }
    if (ok && io_.rename_file(temporary.c_str(), final_path.c_str()) != 0) {
      ok = false;
      failure = errno;
    }
    if (!ok) {
      io_.remove_file(temporary.c_str());
      return ContainerStatus::write_failed(failure, final_path);
    }
    return ContainerStatus::success();
  }

  // The frame copied into the writer's queue, into a block of a frame
  // written before when one is free. Its number is taken now, so the files
  // keep the order and the numbers of the timing record even when one of
  // them fails. The frame is queued even when an earlier one failed: that
  // failure is what this call returns.
  ContainerStatus queue(const FrameImage& frame, const FrameTiming& timing,
                        const FrameMetadata& metadata, const std::string& path) {
    std::optional<FrameImage> block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      writer_moved_.wait(lock, [this] { return queued_.size() < kCalibratedQueueFrames; });
      if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (block && block->width() == frame.width() && block->height() == frame.height()) {
      std::memcpy(block->pixels(), frame.pixels(), frame.rows_size());
    } else {
      block = frame.clone();
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queued_.push_back({std::move(*block), timing, metadata, frames_, path});
    }
    writer_wake_.notify_one();
    ++frames_;
    return take_writer_failure();
  }

  void write_queued() {
    FloatPlanes planes;
    std::vector<FitsKey> keys;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      writer_wake_.wait(lock, [this] { return writer_stopping_ || !queued_.empty(); });
      if (queued_.empty()) return;
      QueuedFrame job = std::move(queued_.front());
      queued_.pop_front();
      lock.unlock();
      keys.clear();
      calibrate_(job.frame, job.timing, job.metadata, planes, keys);
      std::string error;
      const std::optional<std::vector<uint8_t>> bytes = encode_fits_float_frame(
          planes, job.timing, job.metadata, info_, job.number, keys, &error);
      const ContainerStatus status =
          bytes ? write_file(job.path, *bytes) : ContainerStatus::write_failed(0, job.path, error);
      lock.lock();
      if (!status.ok() && writer_failure_.ok()) writer_failure_ = status;
      spare_.push_back(std::move(job.frame));
      writer_moved_.notify_all();
    }
  }

  // Writes what is queued, then ends the writer thread.
  void stop_writer() {
    if (!writer_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      writer_stopping_ = true;
    }
    writer_wake_.notify_one();
    writer_.join();
  }

  ContainerStatus take_writer_failure() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(writer_failure_, ContainerStatus::success());
  }

  WriterIo& io_;
  CalibrateRecordedFrame calibrate_;
  UniqueFd folder_;
  std::string path_;
  RecordingInfo info_;
  int64_t frames_ = 0;

  std::mutex mutex_;
  std::condition_variable writer_wake_, writer_moved_;
  std::deque<QueuedFrame> queued_;
  std::vector<FrameImage> spare_;
  ContainerStatus writer_failure_;
  bool writer_stopping_ = false;
  std::thread writer_;
};

}  // namespace

std::unique_ptr<RecordingContainer> make_fits_container(WriterIo& io) {
  return std::make_unique<FitsContainer>(io);
}

std::unique_ptr<RecordingContainer> make_calibrated_fits_container(
    WriterIo& io, CalibrateRecordedFrame calibrate) {
  return std::make_unique<FitsContainer>(io, std::move(calibrate));
}

std::string fits_frame_path(const std::string& recording_path, int64_t index) {
  const RecordingName name = split_recording_name(recording_path);
  char digits[32];
  std::snprintf(digits, sizeof digits, "_%0*lld", kFitsFrameDigits, static_cast<long long>(index));
  const fs::path folder = fs::path(recording_path).parent_path();
  return (folder / (name.stem + digits + name.extension)).string();
}

bool fits_recording_exists(const std::string& recording_path) {
  if (output_file_exists(recording_path)) return true;
  const RecordingName name = split_recording_name(recording_path);
  // The usual case, the first frame still there, needs no folder listing.
  if (output_file_exists(fits_frame_path(recording_path, 0))) return true;
  std::error_code error;
  for (fs::directory_iterator it(name.folder, error), end; !error && it != end;
       it.increment(error)) {
    if (is_frame_file_of(it->path().filename().string(), name.stem)) return true;
  }
  return false;
}

std::vector<FitsKey> fits_frame_keys(const FrameTiming& timing, const FrameMetadata& metadata,
                                     const RecordingInfo& info, int64_t frame_number) {
  std::vector<FitsKey> keys;
  const auto text = [&](const char* key, const std::string& value, const char* comment) {
    keys.push_back({key, header_text(value), comment});
  };
  const auto integer = [&](const char* key, int64_t value, const char* comment) {
    keys.push_back({key, value, comment});
  };
  text("ROWORDER", "BOTTOM-UP", "first row is the bottom line of the picture");
  if (timing.start && timing.end) {
    const double seconds = static_cast<double>(timing.end->utc_us - timing.start->utc_us) / 1e6;
    keys.push_back({"EXPTIME", seconds, "[s] from exposure start to trigger"});
  }
  if (timing.start) {
    text("DATE-OBS", fits_date(timing.start->utc_us), "exposure start: first control byte written");
  }
  if (timing.end) {
    text("DATE-END", fits_date(timing.end->utc_us), "exposure end: trigger byte written");
  }
  text("TIMESYS", "UTC", "time scale of the dates");
  text("IMAGETYP", "Light", "type of image");
  text("INSTRUME", info.instrument, "camera");
  if (!info.telescope.empty()) text("TELESCOP", info.telescope, "telescope");
  if (!info.observer.empty()) text("OBSERVER", info.observer, "observer");
  text("SWCREATE", std::string("Noctra ") + kVersion, "program that wrote the file");
  integer("XBINNING", metadata.x_binning, "binning factor along the rows");
  integer("YBINNING", metadata.y_binning, "binning factor along the columns");
  integer("FRAMENO", frame_number, "position of the frame in the recording, from 0");
  text("NOCMODE", mode_text(metadata.mode), "Noctra capture mode");
  text("NOCFIELD", field_text(metadata.field), "interlaced field kept (BOTH: none dropped)");
  keys.push_back(
      {"NOCAMPSW", metadata.amp_switching, "amplifier switched off during the exposure"});
  return keys;
}

namespace {

// One image HDU in memory: `planes` planes of width x height samples of the
// CFITSIO image type, the keys, then each plane's samples from write_plane.
// Nothing, with the reason, when CFITSIO fails.
template <typename WritePlane>
std::optional<std::vector<uint8_t>> encode_fits_image(std::size_t width, std::size_t height,
                                                      int planes, int bitpix,
                                                      std::size_t sample_bytes,
                                                      const std::vector<FitsKey>& keys,
                                                      WritePlane write_plane, std::string* error) {
  const std::size_t plane_samples = width * height;
  const std::size_t data_bytes =
      (plane_samples * sample_bytes * static_cast<std::size_t>(planes) + kFitsBlock - 1) /
      kFitsBlock * kFitsBlock;
  // Room for the header and the data, so CFITSIO need not grow the buffer.
  std::size_t memory_size = 2 * kFitsBlock + data_bytes;
  void* memory = std::malloc(memory_size);
  if (memory == nullptr) {
    if (error) *error = "out of memory";
    return std::nullopt;
  }
  int status = 0;
  fitsfile* file = nullptr;
  const auto grow = [](void* block, std::size_t bytes) { return std::realloc(block, bytes); };
  fits_create_memfile(&file, &memory, &memory_size, kFitsBlock, grow, &status);
  long axes[3] = {static_cast<long>(width), static_cast<long>(height), planes};
  fits_create_img(file, bitpix, planes == 1 ? 2 : 3, axes, &status);
  for (const FitsKey& key : keys) write_key(file, key, &status);
  for (int p = 0; p < planes && status == 0; ++p) {
    write_plane(file, p, static_cast<LONGLONG>(1 + p * plane_samples),
                static_cast<LONGLONG>(plane_samples), &status);
  }
  LONGLONG header_at = 0, data_at = 0, data_end = 0;
  fits_get_hduaddrll(file, &header_at, &data_at, &data_end, &status);
  const int written_status = status;
  status = 0;
  if (file != nullptr) fits_close_file(file, &status);
  if (written_status != 0) status = written_status;

  std::optional<std::vector<uint8_t>> bytes;
  const std::size_t file_bytes =
      (static_cast<std::size_t>(data_end) + kFitsBlock - 1) / kFitsBlock * kFitsBlock;
  if (status == 0 && file_bytes <= memory_size) {
    const auto* begin = static_cast<const uint8_t*>(memory);
    bytes.emplace(begin, begin + file_bytes);
  } else if (error) {
    *error = status != 0 ? cfitsio_message(status) : "CFITSIO: the file is larger than its buffer";
  }
  std::free(memory);
  return bytes;
}

}  // namespace

std::optional<std::vector<uint8_t>> encode_fits_frame(const FrameImage& frame,
                                                      const FrameTiming& timing,
                                                      const FrameMetadata& metadata,
                                                      const RecordingInfo& info,
                                                      int64_t frame_number, std::string* error) {
  const auto width = static_cast<std::size_t>(frame.width());
  const auto height = static_cast<std::size_t>(frame.height());
  const int planes = info.mono ? 1 : 3;
  // Planes R, G, B from the frame's B, G, R bytes (mono: the B bytes), rows
  // in stored order.
  std::vector<uint8_t> plane(width * height);
  const auto write_plane = [&](fitsfile* file, int p, LONGLONG first, LONGLONG count, int* status) {
    if (planes == 1) {
      take_luma(frame, plane.data(), width, false);
    } else {
      const std::size_t byte = static_cast<std::size_t>(2 - p);
      for (std::size_t y = 0; y < height; ++y) {
        const uint8_t* row = frame.row(static_cast<int32_t>(y));
        uint8_t* out = plane.data() + y * width;
        for (std::size_t x = 0; x < width; ++x) out[x] = row[x * 3 + byte];
      }
    }
    fits_write_img(file, TBYTE, first, count, plane.data(), status);
  };
  return encode_fits_image(width, height, planes, BYTE_IMG, 1,
                           fits_frame_keys(timing, metadata, info, frame_number), write_plane,
                           error);
}

std::optional<std::vector<uint8_t>> encode_fits_float_frame(
    const FloatPlanes& planes, const FrameTiming& timing, const FrameMetadata& metadata,
    const RecordingInfo& info, int64_t frame_number, const std::vector<FitsKey>& calibration_keys,
    std::string* error) {
  if (planes.channels != 1 && planes.channels != 3) {
    if (error) *error = "the calibrated frame has neither one nor three planes";
    return std::nullopt;
  }
  const int count = info.mono ? 1 : planes.channels;
  std::vector<FitsKey> keys = fits_frame_keys(timing, metadata, info, frame_number);
  keys.insert(keys.end(), calibration_keys.begin(), calibration_keys.end());
  // Planes R, G, B from the blue, green and red planes; a mono recording
  // takes the blue plane, as it takes the B bytes of a raw frame.
  const auto write_plane = [&](fitsfile* file, int p, LONGLONG first, LONGLONG samples,
                               int* status) {
    const int32_t channel = count == 1 ? 0 : 2 - p;
    fits_write_img(file, TFLOAT, first, samples, const_cast<float*>(planes.plane(channel)), status);
  };
  return encode_fits_image(static_cast<std::size_t>(planes.width),
                           static_cast<std::size_t>(planes.height), count, FLOAT_IMG, sizeof(float),
                           keys, write_plane, error);
}

std::string cfitsio_message(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  fits_clear_errmsg();
  return "CFITSIO: " + std::string(text);
}

}  // namespace noctra
