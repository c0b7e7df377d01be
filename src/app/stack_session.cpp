#include "app/stack_session.h"

#include <cstring>
#include <utility>

#include "config/platform.h"
#include "imaging/stack_stretch.h"

namespace noctra {

namespace {

// The frame into the slot's holder, reusing its block when the size is the
// same.
void copy_frame(const FrameImage& frame, FrameHolder& into) {
  if (into && into->width() == frame.width() && into->height() == frame.height()) {
    std::memcpy(into->pixels(), frame.pixels(), frame.rows_size());
  } else {
    into = frame.clone();
  }
}

}  // namespace

StackSession::StackSession() : StackSession(Options{}) {}

StackSession::StackSession(Options options)
    : options_(std::move(options)), engine_(options_.engine) {
  options_.queue_frames = std::max<std::size_t>(options_.queue_frames, 1);
  // One slot for the frame being stacked, the others for those waiting.
  slots_.resize(options_.queue_frames + 1);
  for (std::size_t i = 0; i < slots_.size(); ++i) free_slots_.push_back(i);
  worker_ = std::thread([this] { work(); });
}

StackSession::~StackSession() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void StackSession::begin_stack(std::unique_lock<std::mutex>&) {
  // Saves still waiting keep the stack they were asked for, with its frames
  // queued before them.
  for (Job& job : jobs_) {
    if (job.slot == kSaveJob && job.stack_id == stack_id_ && !job.book) {
      job.book = current_;
    }
  }
  ++stack_id_;
  running_ = true;
  StackHeader fresh;
  fresh.dark = current_.header.dark;
  fresh.flat = current_.header.flat;
  fresh.dark_scale = current_.header.dark_scale;
  current_.header = fresh;
  counts_ = {};
  current_.reports.clear();
  recent_.clear();
  std::lock_guard view_lock(view_mutex_);
  view_.reset();
  ++view_generation_;
}

void StackSession::start(const std::string& recording_path) {
  std::unique_lock lock(mutex_);
  begin_stack(lock);
  current_.recording = recording_path;
}

void StackSession::reset() {
  std::unique_lock lock(mutex_);
  begin_stack(lock);
}

void StackSession::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
}

void StackSession::set_calibration(StackCalibration calibrate, std::string dark, std::string flat,
                                   std::optional<double> dark_scale) {
  std::lock_guard lock(mutex_);
  calibrate_ = std::move(calibrate);
  current_.header.dark = std::move(dark);
  current_.header.flat = std::move(flat);
  current_.header.dark_scale = dark_scale;
}

void StackSession::note(const StackFrameReport& report, const FrameTiming& timing) {
  counts_.add(report.verdict);
  add_to_book(current_, report, timing);
  recent_.push_back(report);
  while (recent_.size() > options_.recent_frames) recent_.pop_front();
}

bool StackSession::feed(const FrameImage& frame, const FrameTiming& timing, int64_t frame_number) {
  std::size_t slot = 0;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return false;
    if (free_slots_.empty()) {
      StackFrameReport dropped;
      dropped.frame = frame_number;
      dropped.verdict = FrameVerdict::Dropped;
      note(dropped, timing);
      return false;
    }
    slot = free_slots_.back();
    free_slots_.pop_back();
    slots_[slot].timing = timing;
    slots_[slot].number = frame_number;
    slots_[slot].stack_id = stack_id_;
  }
  // Nobody else touches a slot between the free list and the job queue.
  copy_frame(frame, slots_[slot].frame);
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back({slot, {}, nullptr, 0, std::nullopt});
  }
  wake_.notify_one();
  return true;
}

std::future<Result<StackPaths>> StackSession::save(const std::string& fits_path) {
  auto saved = std::make_shared<std::promise<Result<StackPaths>>>();
  std::future<Result<StackPaths>> result = saved->get_future();
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back({kSaveJob, fits_path, saved, stack_id_, std::nullopt});
  }
  wake_.notify_one();
  return result;
}

void StackSession::work() {
  give_way_to_exposure_timing();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quitting_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    if (job.slot == kSaveJob) {
      job.saved->set_value(save_now(job));
    } else {
      stack_one(slots_[job.slot]);
    }
    lock.lock();
    if (job.slot != kSaveJob) free_slots_.push_back(job.slot);
  }
}

void StackSession::stack_one(Slot& slot) {
  StackCalibration calibrate;
  {
    std::lock_guard lock(mutex_);
    // A frame of a stack that was reset or replaced since it was fed, unless
    // a save of that stack still waits for it.
    if (slot.stack_id != stack_id_ && !add_to_waiting_saves(slot.stack_id, nullptr, {})) return;
    calibrate = calibrate_;
  }
  if (engine_stack_id_ != slot.stack_id) {
    engine_.reset();
    engine_stack_id_ = slot.stack_id;
  }
  const FrameImage& raw = *slot.frame;
  std::optional<double> dark_scale;
  StackFrameReport report = calibrate && calibrate(raw, slot.timing, calibrated_, dark_scale)
                                ? engine_.add(calibrated_.view(), slot.number)
                                : engine_.add(raw, slot.number);
  report.dark_scale = dark_scale;
  // The view is drawn here and only copied under its lock.
  bool drawn = false;
  if (stacked(report.verdict)) {
    const PlaneFrame picture = engine_.picture();
    if (!drawn_ || drawn_->width() != picture.width || drawn_->height() != picture.height) {
      drawn_ = FrameImage::create(picture.width, picture.height);
    }
    if (drawn_) {
      render_stretched(picture, auto_stack_stretch(picture, stretch_scratch_), *drawn_);
      drawn = true;
    }
  }
  std::lock_guard lock(mutex_);
  if (slot.stack_id != stack_id_) {
    add_to_waiting_saves(slot.stack_id, &report, slot.timing);
    return;
  }
  note(report, slot.timing);
  if (drawn) {
    std::lock_guard view_lock(view_mutex_);
    copy_frame(*drawn_, view_);
    ++view_generation_;
  }
}

bool StackSession::add_to_waiting_saves(uint64_t stack_id, const StackFrameReport* report,
                                        const FrameTiming& timing) {
  bool waiting = false;
  for (Job& job : jobs_) {
    if (job.slot != kSaveJob || job.stack_id != stack_id || !job.book) continue;
    waiting = true;
    if (report) add_to_book(*job.book, *report, timing);
  }
  return waiting;
}

void StackSession::add_to_book(Book& book, const StackFrameReport& report,
                               const FrameTiming& timing) {
  count_stack_frame(book.header, report, timing);
  book.reports.push_back(report);
}

Result<StackPaths> StackSession::save_now(Job& job) {
  Book book;
  {
    std::lock_guard lock(mutex_);
    book = job.book ? std::move(*job.book) : current_;
  }
  const uint64_t id = job.stack_id;
  const std::string& fits_path = job.fits_path;
  if (book.recording.empty() && fits_path.empty()) return failure("no stack has been started");
  // A stack reset since its last frame holds nothing yet.
  if (engine_stack_id_ != id) {
    engine_.reset();
    engine_stack_id_ = id;
  }
  const StackPaths paths = fits_path.empty() ? stack_paths_for_recording(book.recording)
                                             : stack_paths_for_fits(fits_path);
  if (Status written = write_stack_files(paths, engine_.picture(), book.header, book.reports);
      !written) {
    return failure(written.message());
  }
  // Only the rows were written: saying "saved" would promise a picture.
  if (book.header.combined == 0) {
    VerdictCounts counts;
    for (const StackFrameReport& report : book.reports) counts.add(report.verdict);
    return failure("no frame could be stacked" +
                   (counts.left_out() > 0 ? " (" + counts.left_out_text() + ")" : std::string()) +
                   "; the frames' reasons are in " + paths.csv);
  }
  return paths;
}

StackSessionStatus StackSession::status() const {
  std::lock_guard lock(mutex_);
  StackSessionStatus status;
  status.running = running_;
  status.counts = counts_;
  status.integration_s = current_.header.exposure_s;
  if (!recent_.empty()) status.last = recent_.back();
  status.waiting = static_cast<int64_t>(jobs_.size());
  status.recording = current_.recording;
  return status;
}

std::vector<StackFrameReport> StackSession::recent_frames(std::size_t count) const {
  std::lock_guard lock(mutex_);
  const std::size_t from = recent_.size() > count ? recent_.size() - count : 0;
  return {recent_.begin() + static_cast<std::ptrdiff_t>(from), recent_.end()};
}

bool StackSession::copy_view(FrameHolder& out, uint64_t& seen) const {
  std::lock_guard lock(view_mutex_);
  if (view_generation_ == seen) return false;
  if (view_) {
    copy_frame(*view_, out);
  } else {
    out.reset();
  }
  seen = view_generation_;
  return true;
}

}  // namespace noctra
