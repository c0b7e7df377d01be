#include "output/recording.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "output/recording_naming.h"

namespace noctra {

MakeContainer standard_containers(WriterIo& io) {
  return [&io](const RecordingFormat& format) { return format.make_container(io); };
}

NumberRecordingPath recording_numbering(const Settings& settings) {
  return [&settings](std::string& path) {
    const NumberingResult result = number_recording_path(path, settings.auto_increment);
    if (may_open_output(result)) return std::string();
    return numbering_failure_message(result, path, format_of_path(path).name);
  };
}

Recording::Recording(Settings& settings, ErrorReporter& reporter)
    : Recording(settings, reporter, recording_numbering(settings), standard_containers()) {}

Recording::Recording(Settings& settings, ErrorReporter& reporter, NumberRecordingPath number_path,
                     MakeContainer make_container, WriterIo& io, RecordingOptions options)
    : settings_(settings), reporter_(reporter), number_path_(std::move(number_path)),
      make_container_(std::move(make_container)), io_(io), options_(options), timing_(io) {}

Recording::~Recording() { finish_quietly(); }

void Recording::set_calibration(std::function<bool()> wanted, CalibrateRecordedFrame calibrate) {
  calibration_wanted_ = std::move(wanted);
  calibrate_ = std::move(calibrate);
}

void Recording::write_frame(const FrameImage* frame, const FrameTiming& timing,
                            const FrameMetadata& how) {
  if (frame == nullptr) return;
  if (!container_ && !open(*frame, timing)) return;

  // The row goes first: a crash between the two leaves one row more, never one less.
  const int64_t frames_before = container_->frames();
  bool row_written = false;
  write_timing_row(frames_before, timing, how, row_written);
  const ContainerStatus status = container_->append(*frame, timing, how);
  if (!status.ok()) {
    if (row_written && container_->frames() == frames_before) timing_.cut_back_last_row();
    report(status);
    return;
  }
  flush_if_due();
  // The reporter may run an event loop: the last thing the call does.
  if (!calibration_refusal_.empty()) reporter_.show_error(std::exchange(calibration_refusal_, {}));
}

bool Recording::open(const FrameImage& first, const FrameTiming& timing) {
  std::string& path = settings_.image_file_path;
  if (number_path_) {
    const std::string refusal = number_path_(path);
    if (!refusal.empty()) {
      reporter_.show_error(refusal);
      return false;
    }
  }
  const RecordingFormat& format = format_of_path(path);
  std::unique_ptr<RecordingContainer> container;
  if (calibrate_ && calibration_wanted_ && calibration_wanted_()) {
    if (format.make_calibrated_container != nullptr) {
      container = format.make_calibrated_container(io_, calibrate_);
    } else {
      calibration_refusal_ = calibrated_refusal_message(format, path);
    }
  }
  if (!container) container = make_container_(format);
  const RecordingInfo info{settings_.observer, settings_.instrument, settings_.telescope,
                           mono_recording(settings_)};
  if (info.mono && !format.takes_mono) {
    reporter_.show_error(mono_refusal_message(format, path));
    return false;
  }
  const ContainerStatus status = container->open(path, first, timing, info);
  if (!status.ok()) {
    const std::string text = container_failure_message(format, status, path);
    // A refused frame is said once, as every refusal is; a recording that
    // cannot be created is tried and said again at every frame, as a missing
    // folder always was.
    if (status.failure == ContainerFailure::Refused) {
      report_once(refusal_reported_, text);
    } else {
      reporter_.show_error(text);
    }
    return false;
  }
  container_ = std::move(container);
  format_ = &format;
  open_path_ = path;
  last_flush_ms_ = io_.now_ms();
  return true;
}

void Recording::write_timing_row(int64_t frame, const FrameTiming& timing, const FrameMetadata& how,
                                 bool& written) {
  if (!timing_.is_open() && !timing_failure_reported_) {
    if (const int error = timing_.open(timing_path_for(open_path_)); error != 0)
      report_timing(error);
  }
  if (!timing_.is_open()) return;
  const int error = timing_.append(frame, timing, capture_mode_text(how.mode));
  written = error == 0;
  if (error != 0) report_timing(error);
}

void Recording::flush_if_due() {
  if (!flush_running_.load() && flusher_.joinable()) {
    const ContainerStatus status = finish_background_flush();
    if (!status.ok()) {
      report(status);
      return;
    }
  }
  if (options_.flush_interval_ms < 0 || flush_running_.load()) return;
  const int64_t now = io_.now_ms();
  if (now - last_flush_ms_ < options_.flush_interval_ms) return;
  last_flush_ms_ = now;
  RecordingContainer* container = container_.get();
  const int timing_fd = timing_.fd();
  if (options_.flush_in_background) {
    flush_running_.store(true);
    try {
      // The timing record goes to the disk with the frames it describes.
      flusher_ = std::thread([this, container, timing_fd] {
        flush_status_ = container->flush();
        if (timing_fd >= 0) io_.fdatasync(timing_fd);
        flush_running_.store(false);
      });
      return;
    } catch (const std::system_error&) {
      flush_running_.store(false);  // no thread to be had: flush here
    }
  }
  const ContainerStatus status = container->flush();
  timing_.flush();
  if (!status.ok()) report(status);
}

ContainerStatus Recording::finish_background_flush() {
  if (flusher_.joinable()) flusher_.join();
  return std::exchange(flush_status_, ContainerStatus::success());
}

void Recording::report(const ContainerStatus& status) {
  const std::string text = container_failure_message(*format_, status, open_path_);
  if (status.failure == ContainerFailure::Refused) {
    report_once(refusal_reported_, text);
  } else {
    report_once(write_failure_reported_, text);
  }
}

void Recording::report_timing(int error) {
  report_once(timing_failure_reported_, "Can't write the timing record " +
                                            timing_path_for(open_path_) + ": " +
                                            std::generic_category().message(error));
}

void Recording::report_once(bool& reported, const std::string& text) {
  if (reported) return;
  reported = true;
  // The reporter may run an event loop in which Stop closes this recording,
  // so this is the last thing a call does.
  reporter_.show_error(text);
}

void Recording::close_recording() {
  calibration_refusal_.clear();
  const bool already_reported = write_failure_reported_;
  write_failure_reported_ = false;
  refusal_reported_ = false;
  if (!container_) {
    timing_failure_reported_ = false;
    return;
  }
  ContainerStatus status = finish_background_flush();
  const bool sync = options_.flush_interval_ms >= 0;
  if (ContainerStatus closed = container_->close(sync); !closed.ok() && status.ok())
    status = closed;
  const RecordingFormat& format = *format_;
  const std::string path = std::move(open_path_);
  open_path_.clear();
  container_.reset();
  if (timing_.is_open()) {
    int timing_error = options_.flush_interval_ms >= 0 ? timing_.flush() : 0;
    if (const int closed = timing_.close(); timing_error == 0) timing_error = closed;
    if (timing_error != 0 && !timing_failure_reported_) {
      reporter_.show_error("Can't write the timing record " + timing_path_for(path) + ": " +
                           std::generic_category().message(timing_error));
    }
  }
  timing_failure_reported_ = false;
  if (!status.ok() && !already_reported) {
    reporter_.show_error(container_failure_message(format, status, path));
  }
}

void Recording::finish_quietly() {
  finish_background_flush();
  if (container_) container_->close(false);
  container_.reset();
  timing_.close();
}

}  // namespace noctra
