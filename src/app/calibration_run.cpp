#include "app/calibration_run.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "camera/camera_setup.h"
#include "camera/v4l2_choice.h"
#include "camera/v4l2_source.h"

namespace noctra {

namespace {

struct KindWord {
  MasterKind kind;
  const char* word;
};
constexpr KindWord kKindWords[] = {
    {MasterKind::Dark, "dark"}, {MasterKind::Flat, "flat"}, {MasterKind::Bias, "bias"}};

// The dark signal of the flats' own exposure, from the library's masters of
// the same identity: the bias plus the thermal signal scaled by the
// integration times, the one master there is, or nothing at all.
std::optional<FloatPlanes> flat_dark(const CalibrationLibrary::Selection& chosen,
                                     double integration_s) {
  const StoredMaster* bias = chosen.bias;
  const StoredMaster* dark = chosen.dark;
  if (bias == nullptr && dark == nullptr) return std::nullopt;
  if (dark == nullptr || bias == nullptr) return (dark != nullptr ? dark : bias)->master.image;
  const FloatPlanes& b = bias->master.image;
  const FloatPlanes& d = dark->master.image;
  if (b.width != d.width || b.height != d.height || b.channels != d.channels) return d;
  const double span = dark->master.times.integration_s - bias->master.times.integration_s;
  const double ratio =
      span > 1e-6 ? std::max(0.0, (integration_s - bias->master.times.integration_s) / span) : 1.0;
  FloatPlanes scaled = b;
  const auto r = static_cast<float>(ratio);
  for (std::size_t i = 0; i < scaled.samples.size(); ++i) {
    scaled.samples[i] += r * (d.samples[i] - b.samples[i]);
  }
  return scaled;
}

}  // namespace

CaptureDevice capture_device(CameraSetup& camera) {
  CaptureDevice device{camera.source_name(), "sim"};
  if (const auto* v4l2 = dynamic_cast<const V4l2Source*>(camera.acquisition().source())) {
    const std::optional<VideoFormat> format = v4l2->format();
    // The format the device captures in, when libv4lconvert turns it into another.
    device.format = !format                        ? std::string("unknown")
                    : format->captured_format != 0 ? pixel_format_name(format->captured_format)
                                                   : pixel_format_name(format->pixel_format);
  }
  return device;
}

const char* master_kind_word(MasterKind kind) {
  for (const KindWord& k : kKindWords) {
    if (k.kind == kind) return k.word;
  }
  return "dark";
}

std::optional<MasterKind> master_kind_from_word(const std::string& word) {
  for (const KindWord& k : kKindWords) {
    if (word == k.word) return k.kind;
  }
  return std::nullopt;
}

CalibrationRun::CalibrationRun(Context context)
    : context_(std::move(context)), io_(context_.io != nullptr ? *context_.io : posix_writer_io()) {
  context_.sequencer.add_frame_listener([this](const TakenFrame& taken) { on_frame(taken); });
  worker_ = std::thread([this] { work(); });
}

CalibrationRun::~CalibrationRun() {
  shut_down();
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void CalibrationRun::shut_down() {
  cancel();
  end_sequencer_run();
  put_settings_back();
}

bool CalibrationRun::busy() const {
  std::lock_guard lock(mutex_);
  return run_started_ || progress_.state == CalibrationProgress::State::Capturing ||
         progress_.state == CalibrationProgress::State::Combining;
}

Status CalibrationRun::start(MasterKind kind, int32_t frames) {
  const std::string what = std::string(master_kind_word(kind)) + " frames";
  Sequencer& sequencer = context_.sequencer;
  if (sequencer.capture_state() != CaptureState::Idle && sequencer.run_kind() == RunKind::Recording)
    return failure("A recording is running: stop it before taking " + what + ".");
  if (busy()) return failure("Calibration frames are being taken already.");
  if (sequencer.tick_running()) return failure("A frame is being acquired: try again.");
  if (frames < 1) return failure("The number of frames must be at least 1.");
  if (!context_.acquirer.source_available())
    return failure("There is no frame source to take " + what + " from.");

  device_ = context_.device ? context_.device() : CaptureDevice{};
  if (kind == MasterKind::Bias) {
    // The shortest exposure the camera takes: started and read out in the same tick.
    user_settings_ = SavedSettings{context_.settings.exposure, context_.settings.delay};
    context_.settings.exposure = 0;
    context_.settings.delay = 0;
  }
  {
    std::lock_guard lock(mutex_);
    ++capture_;
    progress_ = CalibrationProgress{};
    progress_.state = CalibrationProgress::State::Capturing;
    progress_.kind = kind;
    progress_.frames_wanted = frames;
    run_started_ = true;
  }
  told_ = false;
  last_frame_ms_ = context_.clock.now_ms();
  cycle_ms_ = std::max(0, context_.settings.exposure) + std::max(0, context_.settings.delay);
  sequencer.start_run(RunKind::Calibration, frames);
  return {};
}

void CalibrationRun::fail(const std::string& why) {
  ++capture_;  // the worker drops what is queued for this capture
  progress_.state = CalibrationProgress::State::Failed;
  progress_.error = why;
}

void CalibrationRun::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (progress_.state != CalibrationProgress::State::Capturing) return;
    fail("Cancelled after " + std::to_string(progress_.frames_in) + " of " +
         std::to_string(progress_.frames_wanted) + " frames: no master was saved.");
  }
  end_sequencer_run();
  put_settings_back();
}

void CalibrationRun::on_frame(const TakenFrame& taken) {
  if (taken.run != RunKind::Calibration) return;
  {
    std::lock_guard lock(mutex_);
    if (progress_.state != CalibrationProgress::State::Capturing) return;
  }
  // The copy is made outside the lock: the worker never waits for it.
  Taken copy{taken.frame.clone(), taken.timing, taken.how};
  last_frame_ms_ = context_.clock.now_ms();
  {
    std::lock_guard lock(mutex_);
    if (progress_.state != CalibrationProgress::State::Capturing) return;
    jobs_.push_back({capture_, std::move(copy)});
    if (++progress_.frames_in >= progress_.frames_wanted) {
      jobs_.push_back({capture_, std::nullopt});
      progress_.state = CalibrationProgress::State::Combining;
    }
  }
  wake_.notify_one();
}

CalibrationProgress CalibrationRun::poll() {
  Sequencer& sequencer = context_.sequencer;
  const bool ours_on = sequencer.capture_state() != CaptureState::Idle &&
                       sequencer.run_kind() == RunKind::Calibration;
  CalibrationProgress now;
  {
    std::lock_guard lock(mutex_);
    if (progress_.state == CalibrationProgress::State::Capturing) {
      const int32_t silent = wrap_sub(context_.clock.now_ms(), last_frame_ms_);
      const std::string taken = std::to_string(progress_.frames_in) + " of " +
                                std::to_string(progress_.frames_wanted) + " frames";
      if (!ours_on) {
        fail("The capture was stopped after " + taken + ": no master was saved.");
      } else if (!context_.acquirer.source_available()) {
        fail("The frame source went away after " + taken + ": no master was saved.");
      } else if (silent > cycle_ms_ + context_.frame_timeout_ms) {
        fail("No frame came from the source for " + std::to_string(silent / 1000) + " s, after " +
             taken + ": no master was saved.");
      }
    }
    now = progress_;
  }
  if (now.state != CalibrationProgress::State::Capturing) end_sequencer_run();
  if (now.state == CalibrationProgress::State::Saved && !told_) {
    told_ = true;
    for (const SavedListener& listener : saved_listeners_) listener(*now.result);
  }
  return now;
}

void CalibrationRun::end_sequencer_run() {
  Sequencer& sequencer = context_.sequencer;
  bool started = false;
  {
    std::lock_guard lock(mutex_);
    started = run_started_;
  }
  if (!started) return;
  if (sequencer.capture_state() != CaptureState::Idle &&
      sequencer.run_kind() == RunKind::Calibration) {
    // Inside a tick (an acquisition waiting) the run is left to end at the
    // next poll: stopping it under the tick would let the tick carry on.
    if (sequencer.tick_running()) return;
    sequencer.stop_recording();
  }
  {
    std::lock_guard lock(mutex_);
    run_started_ = false;
  }
  put_settings_back();
}

void CalibrationRun::put_settings_back() {
  if (!user_settings_) return;
  context_.settings.exposure = user_settings_->exposure;
  context_.settings.delay = user_settings_->delay;
  user_settings_.reset();
}

void CalibrationRun::work() {
  // Combining may wait; the thread that times the exposures may not.
  give_way_to_exposure_timing();
  std::optional<Combining> combining;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quitting_ || !jobs_.empty(); });
    if (quitting_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (job.capture != capture_) continue;
    if (!combining || combining->capture != job.capture) {
      combining.emplace(job.capture, progress_.kind, device_);
    }
    lock.unlock();
    if (job.taken) {
      add(*combining, *job.taken);
    } else {
      finish(*combining);
      combining.reset();
    }
    lock.lock();
  }
}

CalibrationRun::Combining::Combining(uint64_t id, MasterKind master_kind, const CaptureDevice& from)
    : capture(id), kind(master_kind), device(from), combiner(master_kind) {}

void CalibrationRun::failed(const Combining& combining, const std::string& why) {
  std::lock_guard lock(mutex_);
  if (capture_ == combining.capture) fail(why + ": no master was saved.");
}

void CalibrationRun::add(Combining& combining, const Taken& taken) {
  if (combining.broken) return;
  if (combining.combiner.frames() == 0) {
    combining.identity = {taken.frame.width(),     taken.frame.height(), combining.device.device,
                          combining.device.format, taken.how.mode,       KeptField::Both,
                          taken.how.amp_switching};
    combining.first_utc_us = taken.timing.start ? taken.timing.start->utc_us : 0;
  }
  ++combining.fields.at(static_cast<std::size_t>(taken.how.field));
  if (!combining.combiner.add(taken.frame, exposure_times(taken.timing, taken.how.amp_switching))) {
    combining.broken = true;
    failed(combining, "The frame size changed during the capture");
  }
}

void CalibrationRun::finish(Combining& combining) {
  if (combining.broken) return;
  // The field kept can differ from frame to frame where both fields are
  // alike (a bias): the master goes by the one most frames kept.
  const auto& fields = combining.fields;
  MasterIdentity identity = combining.identity;
  identity.field =
      static_cast<KeptField>(std::max_element(fields.begin(), fields.end()) - fields.begin());
  std::optional<MasterFrame> master = combining.combiner.finish();
  if (!master) return failed(combining, "No frames came");

  CalibrationLibrary library(context_.library_folder, io_);
  if (combining.kind == MasterKind::Flat) {
    library.scan();
    const double t = master->times.integration_s;
    const std::optional<FloatPlanes> dark = flat_dark(library.find(identity, t), t);
    master = make_master_flat(*master, dark ? &*dark : nullptr);
    if (!master) return failed(combining, "The flat frames hold no light above their dark");
  }
  CalibrationResult result;
  result.kind = combining.kind;
  result.noise = master->noise;
  result.frames = master->frames_combined;
  result.exposure_s = master->times.integration_s;
  if (combining.kind != MasterKind::Flat) {
    int32_t hot = 0;
    for (const auto& listed : find_hot_pixels(master->image, neighbour_row_step(identity)))
      hot += static_cast<int32_t>(listed.size());
    result.hot_pixels = hot;
  }
  Result<std::filesystem::path> saved =
      library.save(StoredMaster{std::move(*master), identity, combining.first_utc_us});
  if (!saved) return failed(combining, saved.message());
  result.file = *saved;
  std::lock_guard lock(mutex_);
  if (capture_ != combining.capture) return;
  progress_.state = CalibrationProgress::State::Saved;
  progress_.result = result;
}

}  // namespace noctra
