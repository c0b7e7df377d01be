#include "app/calibration_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace noctra {

namespace {

// Choices kept prepared: the view's frames and the guide frames, each in a
// field or two, without preparing again as they take turns.
constexpr std::size_t kCachedChoices = 4;

bool same_identity(const MasterIdentity& a, const MasterIdentity& b) {
  return a.width == b.width && a.height == b.height && a.device == b.device &&
         a.format == b.format && a.mode == b.mode && a.field == b.field &&
         a.amp_switching == b.amp_switching;
}

std::string file_name(const StoredMaster* master) {
  return master != nullptr ? master->file.filename().string() : std::string();
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g s", seconds);
  return text;
}

double integration_of(const FrameTiming& timing, const FrameMetadata& how) {
  return exposure_times(timing, how.amp_switching).integration_s;
}

// Into a holder of that size, reusing its block.
FrameImage& frame_of_size(FrameHolder& holder, int32_t width, int32_t height) {
  if (!holder || holder->width() != width || holder->height() != height) {
    holder = FrameImage::create(width, height);
  }
  return *holder;
}

}  // namespace

MasterIdentity frame_identity(int32_t width, int32_t height, const FrameMetadata& how,
                              const SourceIdentity& source) {
  return {width, height, source.device, source.format, how.mode, how.field, how.amp_switching};
}

bool CalibrationChoice::applies() const {
  return calibrator && (calibrator->has_bias() || calibrator->has_dark() || calibrator->has_flat());
}

std::string calibration_status(const CalibrationChoice& choice, const CalibrationReport& report,
                               double integration_s) {
  std::string text;
  if (report.dark_applied || report.flat_applied) {
    text = "Calibrated:";
    if (report.dark_applied) {
      char k[32];
      std::snprintf(k, sizeof k, " (k %.3f)", report.k);
      text += " dark " + choice.dark + k;
    }
    if (report.flat_applied)
      text += std::string(report.dark_applied ? "," : "") + " flat " + choice.flat;
    const int32_t hot = report.hot_pixels_corrected + report.lone_hot_pixels_corrected;
    text += ", " + std::to_string(hot) + " hot pixels";
  } else {
    text = "Raw frames";
  }
  if (!choice.problem.empty()) text += "; masters not used: " + choice.problem;
  for (const std::string& missing : choice.missing) text += "; " + missing;
  if (!choice.missing.empty()) text += " (exposure " + seconds_text(integration_s) + ")";
  return text;
}

std::vector<FitsKey> calibration_fits_keys(const CalibrationChoice& choice,
                                           const CalibrationReport& report) {
  const bool bias = report.dark_applied || report.flat_applied ? !choice.bias.empty() : false;
  const int32_t hot = report.hot_pixels_corrected + report.lone_hot_pixels_corrected;
  std::string done;
  if (bias) done += 'B';
  if (report.dark_applied) done += 'D';
  if (report.flat_applied) done += 'F';
  if (hot > 0) done += 'H';
  std::vector<FitsKey> keys;
  keys.push_back({"CALSTAT", done.empty() ? std::string("NONE") : done,
                  "calibration applied: B bias, D dark, F flat, H hot pixels"});
  if (bias) keys.push_back({"CALBIAS", choice.bias, "master bias taken off"});
  if (report.dark_applied) {
    keys.push_back({"CALDARK", choice.dark, "master dark taken off"});
    keys.push_back({"DARKSCAL", report.k, "k: the dark's thermal signal scaled by k x DARKRAT"});
    keys.push_back({"DARKRAT", report.time_ratio, "integration ratio of frame and dark"});
  }
  if (report.flat_applied) keys.push_back({"CALFLAT", choice.flat, "master flat divided out"});
  keys.push_back({"HOTPIX", int64_t{hot}, "hot pixels corrected"});
  return keys;
}

CalibrationSession::CalibrationSession(std::filesystem::path library_folder,
                                       std::function<void()> ready)
    : ready_(std::move(ready)), library_(std::move(library_folder)),
      hand_over_([this](std::size_t lane, const FrameImage& frame, int64_t number,
                        const Handed& handed) { work(lane, frame, number, handed); }) {}

CalibrationSession::~CalibrationSession() = default;

void CalibrationSession::set_ready(std::function<void()> ready) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ready_ = std::move(ready);
}

void CalibrationSession::rescan() { rescan_wanted_ = true; }

void CalibrationSession::note_frame(const FrameMetadata& how, const SourceIdentity& source) {
  const std::lock_guard<std::mutex> lock(mutex_);
  noted_how_ = how;
  if (noted_source_ != source) noted_source_ = source;
}

void CalibrationSession::note(const std::string& message) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (said_.insert(message).second) messages_.push_back(message);
}

std::vector<std::string> CalibrationSession::take_messages() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(messages_, {});
}

std::shared_ptr<const CalibrationChoice> CalibrationSession::choose(const MasterIdentity& identity,
                                                                    double integration_s) {
  const std::lock_guard<std::mutex> lock(library_mutex_);
  if (rescan_wanted_.exchange(false)) {
    for (const std::string& skipped : library_.scan()) note(skipped);
    cache_.clear();
  }
  const CalibrationLibrary::Selection selection = library_.find(identity, integration_s);
  const auto chosen = [&](const CalibrationChoice& c) {
    return same_identity(c.identity, identity) && c.bias == file_name(selection.bias) &&
           c.dark == file_name(selection.dark) && c.flat == file_name(selection.flat);
  };
  for (const auto& cached : cache_) {
    if (chosen(*cached)) return cached;
  }
  auto choice = std::make_shared<CalibrationChoice>();
  choice->identity = identity;
  choice->bias = file_name(selection.bias);
  choice->dark = file_name(selection.dark);
  choice->flat = file_name(selection.flat);
  choice->missing = selection.missing;
  choice->calibrator = prepare_calibrator(selection, &choice->problem);
  if (!choice->problem.empty()) note("Calibration masters not used: " + choice->problem);
  if (cache_.size() == kCachedChoices) cache_.erase(cache_.begin());
  cache_.push_back(choice);
  return choice;
}

CalibrationReport CalibrationSession::calibrate(const FrameImage& frame, const FrameTiming& timing,
                                                const FrameMetadata& how,
                                                const SourceIdentity& source, FloatPlanes& out,
                                                std::shared_ptr<const CalibrationChoice>* chosen) {
  const ExposureTimes times = exposure_times(timing, how.amp_switching);
  std::shared_ptr<const CalibrationChoice> choice =
      choose(frame_identity(frame.width(), frame.height(), how, source), times.integration_s);
  CalibrationReport report;
  if (choice->applies()) {
    CalibrationOptions options;
    if (!fit_scale_) options.fixed_k = 1;
    report = choice->calibrator->calibrate(frame, times, options, out);
  } else {
    frame_to_planes(frame, out);
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    last_choice_ = choice;
  }
  if (chosen != nullptr) *chosen = std::move(choice);
  return report;
}

void CalibrationSession::calibrate_view(const FrameImage& frame, const FrameTiming& timing,
                                        const FrameMetadata& how, const SourceIdentity& source) {
  hand_over_.hand_over(kViewLane, frame, {timing, how, source, 0});
}

int64_t CalibrationSession::correct_guide(const FrameImage& frame, const FrameMetadata& how,
                                          const SourceIdentity& source, double exposure_s) {
  return hand_over_.hand_over(kGuideLane, frame, {{}, how, source, exposure_s});
}

std::optional<std::string> CalibrationSession::take_view(FrameHolder& shown) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!std::exchange(view_fresh_, false)) return std::nullopt;
  std::swap(shown, view_ready_);
  return view_status_;
}

bool CalibrationSession::take_guide(FrameHolder& guide, int64_t number) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (guide_number_ < 0) return false;
  if (std::exchange(guide_number_, -1) != number) return false;
  std::swap(guide, guide_ready_);
  return true;
}

void CalibrationSession::work(std::size_t lane, const FrameImage& frame, int64_t number,
                              const Handed& handed) {
  if (lane == kViewLane) {
    work_view(frame, handed);
  } else {
    work_guide(frame, number, handed);
  }
  std::function<void()> ready;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ready = ready_;
  }
  if (ready) ready();
}

void CalibrationSession::work_view(const FrameImage& frame, const Handed& handed) {
  std::shared_ptr<const CalibrationChoice> choice;
  const CalibrationReport report =
      calibrate(frame, handed.timing, handed.how, handed.source, view_planes_, &choice);
  FrameImage& shown = frame_of_size(view_render_, frame.width(), frame.height());
  if (report.dark_applied || report.flat_applied) {
    render_display_frame(view_planes_, shown);
  } else {
    std::memcpy(shown.pixels(), frame.pixels(), frame.rows_size());
  }
  std::string status =
      calibration_status(*choice, report, integration_of(handed.timing, handed.how));
  const std::lock_guard<std::mutex> lock(mutex_);
  std::swap(view_render_, view_ready_);
  view_status_ = std::move(status);
  view_fresh_ = true;
}

void CalibrationSession::work_guide(const FrameImage& frame, int64_t number, const Handed& handed) {
  const std::shared_ptr<const CalibrationChoice> choice = choose(
      frame_identity(frame.width(), frame.height(), handed.how, handed.source), handed.exposure_s);
  FrameImage& corrected = frame_of_size(guide_render_, frame.width(), frame.height());
  std::memcpy(corrected.pixels(), frame.pixels(), frame.rows_size());
  if (choice->calibrator && choice->calibrator->has_dark()) {
    correct_hot_pixels_in_frame(corrected, choice->calibrator->hot_pixels(),
                                neighbour_row_step(choice->identity));
  } else {
    note("Guide frames keep their hot pixels: " +
         (choice->missing.empty() ? choice->problem : choice->missing.front()));
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  std::swap(guide_render_, guide_ready_);
  guide_number_ = number;
}

CalibrateRecordedFrame CalibrationSession::recording_calibration() {
  return [this](const FrameImage& frame, const FrameTiming& timing, const FrameMetadata& how,
                FloatPlanes& out, std::vector<FitsKey>& keys) {
    SourceIdentity source;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      source = noted_source_;
    }
    std::shared_ptr<const CalibrationChoice> choice;
    const CalibrationReport report = calibrate(frame, timing, how, source, out, &choice);
    keys = calibration_fits_keys(*choice, report);
  };
}

StackCalibrationParts CalibrationSession::stack_calibration() {
  StackCalibrationParts parts;
  parts.calibrate = [this](const FrameImage& raw, const FrameTiming& timing, FloatPlanes& out,
                           std::optional<double>& dark_scale) {
    FrameMetadata how;
    SourceIdentity source;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      how = noted_how_;
      source = noted_source_;
    }
    const CalibrationReport report = calibrate(raw, timing, how, source, out);
    if (!(report.dark_applied || report.flat_applied)) return false;
    if (report.dark_applied) dark_scale = report.k;
    return true;
  };
  const std::lock_guard<std::mutex> lock(mutex_);
  if (last_choice_) {
    parts.dark = last_choice_->dark;
    parts.flat = last_choice_->flat;
  }
  if (!fit_scale_) parts.dark_scale = 1;
  return parts;
}

}  // namespace noctra
