#pragma once
// Capture > "Dark frames...", "Flat frames..." and "Bias frames...": a small
// dialog that takes the frames of one master. It shows what the frames will
// be taken with (exposure, mode, amplifier), tells the user how to prepare
// the telescope, and follows the capture with a cheap timer: the frames are
// combined on the capture's own worker, never on the window thread.

#include <QDialog>
#include <QString>
#include <QTimer>
#include <functional>

#include "app/calibration_run.h"
#include "config/settings.h"

class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace noctra {

class CalibrationDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kDefaultFrames = 16;
  static constexpr int kPollMs = 100;

  CalibrationDialog(CalibrationRun& run, MasterKind kind, const Settings& settings,
                    QWidget* parent);

  QSpinBox* frames_box() const { return frames_; }
  QPushButton* start_button() const { return start_; }
  QPushButton* cancel_button() const { return cancel_; }
  QProgressBar* progress_bar() const { return progress_; }
  QLabel* result_label() const { return result_; }

  // Cancel, Escape and the window's close: a capture going is cancelled
  // (no master); the dialog stays until the master being saved is saved.
  void reject() override;

 private:
  void start();
  void show_progress();

  CalibrationRun& run_;
  MasterKind kind_;
  QSpinBox* frames_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* result_ = nullptr;
  QTimer poll_;
  bool started_ = false;  // this dialog started the capture shown
};

// The three items at the end of the window's Capture menu (the menu named
// "capture_menu"), and a timer that
// looks after the capture while no dialog is open (a bias's exposure put
// back, the saved master told to the run's listeners). Passing notes go to
// the window's status bar.
void add_calibration_items(QMainWindow& window, CalibrationRun& run, const Settings& settings);

}  // namespace noctra
