#pragma once
// The calibration items of the Options menu and what they switch:
// "Calibrate the view" (the main view shows each frame calibrated with the
// library's masters, the masters and k named in the status bar) and the
// Calibration submenu (calibrated FITS recordings, hot pixels of the guide
// frames, the dark's scale fitted per frame, and the simulated camera's cover
// and flat light). The frames are calibrated off the window thread by the
// program's CalibrationSession; this only hands them over and shows them.

#include <QObject>
#include <cstdint>
#include <memory>

#include "app/calibration_session.h"
#include "app/sequencer.h"
#include "camera/camera_setup.h"
#include "config/settings.h"

class QAction;
class QMenu;

namespace noctra {

class MainWindow;

// Status bar notes stay this long; the view's own line until the next frame.
inline constexpr int kCalibrationNoteMs = 10000;

class CalibrationMenu : public QObject {
  Q_OBJECT

 public:
  // Made after the window and gone before it.
  CalibrationMenu(MainWindow& window, Settings& settings, CalibrationSession& session,
                  CameraSetup& camera, Sequencer& sequencer);
  ~CalibrationMenu() override;

  QAction* view_action() const { return view_; }
  QAction* recordings_action() const { return recordings_; }
  QAction* guide_action() const { return guide_; }
  QAction* fit_scale_action() const { return fit_scale_; }
  QAction* cover_action() const { return cover_; }
  QAction* flat_light_action() const { return flat_light_; }
  // The calibrated frame the view shows while "Calibrate the view" is on.
  const FrameHolder& calibrated_frame() const { return shown_; }

 private:
  void set_view(bool on);
  void set_recordings(bool on);
  void hand_over_main_frame();
  // On the window thread, once the worker has something.
  void take_results();
  void update_simulation_items();

  MainWindow& window_;
  Settings& settings_;
  CalibrationSession& session_;
  CameraSetup& camera_;
  Sequencer& sequencer_;
  QMenu* submenu_ = nullptr;
  QAction* view_ = nullptr;
  QAction* recordings_ = nullptr;
  QAction* guide_ = nullptr;
  QAction* fit_scale_ = nullptr;
  QAction* cover_ = nullptr;
  QAction* flat_light_ = nullptr;
  FrameHolder shown_;
  int64_t guide_waiting_ = -1;  // the guide frame being corrected
  // The sequencer outlives this: its frame listener asks here first.
  std::shared_ptr<CalibrationMenu*> alive_ = std::make_shared<CalibrationMenu*>(this);
};

}  // namespace noctra
