#include "ui/status_bar.h"

#include <QLabel>
#include <QStatusBar>
#include <filesystem>
#include <system_error>

#include "config/settings.h"
#include "output/formats.h"

namespace noctra {

namespace {

constexpr auto kDiskCheckEvery = std::chrono::seconds(3);
constexpr int64_t kFitsBlock = 2880;

QString file_name(const std::string& path) {
  return QString::fromStdString(std::filesystem::path(path).filename().string());
}

QString minutes_and_seconds(int64_t ms) {
  const int64_t seconds = (ms + 999) / 1000;
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString bytes_text(int64_t bytes) {
  constexpr double kGiB = 1024.0 * 1024 * 1024;
  constexpr double kMiB = 1024.0 * 1024;
  if (bytes >= kGiB) return QStringLiteral("%1 GB").arg(bytes / kGiB, 0, 'f', 1);
  return QStringLiteral("%1 MB").arg(bytes / kMiB, 0, 'f', 0);
}

void set_warning(QLabel* label, bool warning) {
  label->setStyleSheet(warning ? QStringLiteral("color: #ff3030; font-weight: bold;") : QString());
  label->setProperty("warning", warning);
}

}  // namespace

int64_t recorded_frame_bytes(const std::string& path, bool mono, int32_t width, int32_t height) {
  const RecordingFormat& format = format_of_path(path);
  const int64_t pixels = static_cast<int64_t>(width) * height;
  const int64_t data = pixels * (mono && format.takes_mono ? 1 : 3);
  const std::string_view name = format.name;
  // AVI: the chunk header and its index entries; SER: the frame's time stamp
  // in the trailer; FITS: a header unit and the data padded to whole blocks.
  if (name == "AVI") return data + 8 + 16 + 8;
  if (name == "SER") return data + 8;
  return kFitsBlock + (data + kFitsBlock - 1) / kFitsBlock * kFitsBlock;
}

StatusLine::StatusLine(QStatusBar& bar, const Settings& settings, std::function<bool()> simulated)
    : QObject(&bar), bar_(bar), settings_(settings), simulated_(std::move(simulated)) {
  const auto add = [this](const char* name, int stretch) {
    auto* label = new QLabel(&bar_);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    bar_.addPermanentWidget(label, stretch);
    return label;
  };
  state_ = add("status_state", 0);
  progress_ = add("status_progress", 0);
  time_ = add("status_time", 0);
  file_ = add("status_file", 0);
  disk_ = add("status_disk", 0);
  simulated_mark_ = add("status_simulated", 0);
  simulated_mark_->setText(QStringLiteral("SIMULATED"));
  set_warning(simulated_mark_, true);
  simulated_mark_->setToolTip(
      QStringLiteral("The simulated port or camera is in use: these are not real frames"));
  connect(&bar_, &QStatusBar::messageChanged, this,
          [this](const QString& message) { make_room(!message.isEmpty()); });
  show_status(RunStatus{});
  refresh(true);
}

QString StatusLine::state_text() const {
  switch (status_.state) {
    case RunStatus::State::Idle:
      return QStringLiteral("Idle");
    case RunStatus::State::Preview:
      return QStringLiteral("Preview");
    case RunStatus::State::Recording:
      return QStringLiteral("Recording");
    case RunStatus::State::Paused:
      return QStringLiteral("Paused");
    case RunStatus::State::Calibration:
      return QStringLiteral("Calibration frames");
  }
  return {};
}

void StatusLine::show_status(const RunStatus& status) {
  const bool new_frame = status.frames != status_.frames;
  const bool new_state = status.state != status_.state;
  status_ = status;
  const bool idle = status.state == RunStatus::State::Idle;
  state_->setText(state_text());
  progress_->setVisible(!idle);
  progress_->setText(status.count > 0
                         ? QStringLiteral("frame %1 of %2").arg(status.frames).arg(status.count)
                         : QStringLiteral("frame %1").arg(status.frames));
  QString time;
  if (!idle && status.exposure_left_ms > 0) {
    time = QStringLiteral("exposure %1 s left").arg((status.exposure_left_ms + 999) / 1000);
  }
  const bool recording =
      status.state == RunStatus::State::Recording || status.state == RunStatus::State::Paused;
  const bool calibration = status.state == RunStatus::State::Calibration;
  if ((recording || calibration) && status.count > 0) {
    // The exposure in progress (or the next), then the rest, each with its
    // delay before it.
    const int64_t cycle = int64_t{status.exposure_ms} + status.delay_ms;
    const int64_t frames_left = std::max<int64_t>(0, int64_t{status.count} - status.frames);
    const int64_t left =
        status.exposure_left_ms > 0
            ? status.exposure_left_ms + std::max<int64_t>(0, frames_left - 1) * cycle
            : std::max<int64_t>(0, frames_left * cycle - status.delay_ms);
    if (!time.isEmpty()) time += QStringLiteral(", ");
    time += (calibration ? QStringLiteral("calibration %1 left") : QStringLiteral("recording %1 left"))
                .arg(minutes_and_seconds(left));
  }
  time_->setText(time);
  time_->setVisible(!time.isEmpty());
  refresh(new_state || (recording && new_frame));
}

void StatusLine::set_frame_size(int32_t width, int32_t height) {
  width_ = width;
  height_ = height;
}

void StatusLine::refresh(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (force || now - checked_ >= kDiskCheckEvery) {
    checked_ = now;
    const std::string& path = settings_.image_file_path;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(folder, error);
    free_bytes_ = error ? std::nullopt : std::optional<int64_t>(space.available);
    const bool recording =
        status_.state == RunStatus::State::Recording || status_.state == RunStatus::State::Paused;
    replaces_file_ = !recording && settings_.auto_increment == 0 && !path.empty() &&
                     format_of_path(path).recording_exists(path);
  }
  simulated_mark_->setVisible(simulated_ && simulated_());
  show_file_and_disk();
}

void StatusLine::show_file_and_disk() {
  const std::string& path =
      status_.state == RunStatus::State::Idle ? settings_.image_file_path : status_.file;
  const bool recording =
      status_.state == RunStatus::State::Recording || status_.state == RunStatus::State::Paused;
  if (recording) {
    file_->setText(QStringLiteral("writing %1").arg(file_name(path)));
  } else if (replaces_file_) {
    file_->setText(QStringLiteral("next recording replaces %1").arg(file_name(path)));
  } else {
    file_->setText(QStringLiteral("next file %1").arg(file_name(path)));
  }
  file_->setToolTip(QString::fromStdString(path));
  set_warning(file_, replaces_file_ && !recording);
  if (!free_bytes_) {
    disk_->setText(QStringLiteral("free space unknown"));
    set_warning(disk_, true);
    return;
  }
  const int64_t frame = recorded_frame_bytes(path, mono_recording(settings_), width_, height_);
  const int64_t fit = *free_bytes_ / std::max<int64_t>(1, frame);
  disk_->setText(QStringLiteral("%1 free, %2 frames").arg(bytes_text(*free_bytes_)).arg(fit));
  set_warning(disk_, fit < kFewFramesLeft);
}

void StatusLine::make_room(bool message_showing) {
  file_->setVisible(!message_showing);
  disk_->setVisible(!message_showing);
}

QString StatusLine::text() const {
  QStringList parts;
  for (const QLabel* label : {state_, progress_, time_, file_, disk_, simulated_mark_}) {
    if (!label->isHidden()) parts << label->text();
  }
  return parts.join(QStringLiteral(" | "));
}

bool StatusLine::warning_shown() const {
  for (const QLabel* label : {file_, disk_}) {
    if (!label->isHidden() && label->property("warning").toBool()) return true;
  }
  return false;
}

}  // namespace noctra
