#pragma once
// The main window's status line: what the run is doing (Idle, Preview,
// Recording, Paused), frame n of N, the seconds left in the exposure and in
// the recording, the file, the free space on its disk with the frames that
// still fit, and a SIMULATED mark while the simulated port or camera is in
// use. Its labels are permanent widgets at the right; the passing notes of
// QStatusBar::showMessage keep the left, and the file and disk labels make
// room for them while one shows.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "app/sequencer_host.h"

class QLabel;
class QStatusBar;

namespace noctra {

struct Settings;

// Below this many frames left on the disk the count turns into a warning.
inline constexpr int64_t kFewFramesLeft = 100;

// What one frame takes in the file of this path's format: the pixels (one
// byte a pixel for a mono recording the format takes, else three) with the
// format's own framing.
int64_t recorded_frame_bytes(const std::string& path, bool mono, int32_t width, int32_t height);

class StatusLine : public QObject {
  Q_OBJECT

 public:
  // simulated says whether the simulated port or camera is in use.
  StatusLine(QStatusBar& bar, const Settings& settings, std::function<bool()> simulated);

  void show_status(const RunStatus& status);
  void set_frame_size(int32_t width, int32_t height);
  // The checks that need the disk (free space, a file the next recording
  // would replace) and the SIMULATED mark; at Record, after a frame, after a
  // command, and every few seconds at most otherwise.
  void refresh(bool force = false);

  QString state_text() const;
  // Every label's text, " | " between them, for tests.
  QString text() const;
  bool warning_shown() const;

 private:
  void show_file_and_disk();
  void make_room(bool message_showing);

  QStatusBar& bar_;
  const Settings& settings_;
  std::function<bool()> simulated_;
  RunStatus status_;
  int32_t width_ = 640, height_ = 480;
  std::optional<int64_t> free_bytes_;
  bool replaces_file_ = false;
  std::chrono::steady_clock::time_point checked_{};
  QLabel* state_ = nullptr;
  QLabel* progress_ = nullptr;
  QLabel* time_ = nullptr;
  QLabel* file_ = nullptr;
  QLabel* disk_ = nullptr;
  QLabel* simulated_mark_ = nullptr;
};

}  // namespace noctra
