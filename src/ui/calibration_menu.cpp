#include "ui/calibration_menu.h"

#include <QAction>
#include <QMenu>
#include <QStatusBar>

#include "output/formats.h"
#include "ui/main_window.h"

namespace noctra {

namespace {

QAction* checkable(QMenu* menu, const QString& text, bool checked) {
  QAction* action = menu->addAction(text);
  action->setCheckable(true);
  action->setChecked(checked);
  return action;
}

}  // namespace

CalibrationMenu::CalibrationMenu(MainWindow& window, Settings& settings,
                                 CalibrationSession& session, CameraSetup& camera,
                                 Sequencer& sequencer)
    : window_(window), settings_(settings), session_(session), camera_(camera),
      sequencer_(sequencer) {
  QMenu* options = window.options_menu();
  options->addSeparator();
  view_ = checkable(options, QStringLiteral("&Calibrate the view"), settings.calib_view != 0);
  submenu_ = options->addMenu(QStringLiteral("Ca&libration"));
  recordings_ = checkable(submenu_, QStringLiteral("Calibrated FITS &recordings"),
                          settings.calib_recordings != 0);
  guide_ = checkable(submenu_, QStringLiteral("&Hot pixels in guide frames"),
                     settings.calib_guide_hot_pixels != 0);
  fit_scale_ =
      checkable(submenu_, QStringLiteral("&Fit the dark's scale k"), settings.calib_fit_scale != 0);
  submenu_->addSeparator();
  cover_ = checkable(submenu_, QStringLiteral("&Cover the telescope"), settings.sim_covered != 0);
  flat_light_ = checkable(submenu_, QStringLiteral("F&lat light"), settings.sim_flat_light != 0);
  update_simulation_items();
  connect(submenu_, &QMenu::aboutToShow, this, [this] { update_simulation_items(); });

  connect(view_, &QAction::toggled, this, [this](bool on) { set_view(on); });
  connect(recordings_, &QAction::toggled, this, [this](bool on) { set_recordings(on); });
  connect(guide_, &QAction::toggled, this,
          [this](bool on) { settings_.calib_guide_hot_pixels = on ? 1 : 0; });
  connect(fit_scale_, &QAction::toggled, this, [this](bool on) {
    settings_.calib_fit_scale = on ? 1 : 0;
    session_.set_fit_scale(on);
  });
  connect(cover_, &QAction::toggled, this, [this](bool on) {
    settings_.sim_covered = on ? 1 : 0;
    camera_.set_sim_covered(on);
  });
  connect(flat_light_, &QAction::toggled, this, [this](bool on) {
    settings_.sim_flat_light = on ? 1 : 0;
    camera_.set_sim_flat_light(on);
  });

  // The worker only posts: the results are taken on this thread.
  session_.set_ready([this] {
    QMetaObject::invokeMethod(
        this, [this] { take_results(); }, Qt::QueuedConnection);
  });
  sequencer_.add_frame_listener([alive = alive_](const TakenFrame& taken) {
    CalibrationMenu* menu = *alive;
    if (menu == nullptr || menu->settings_.calib_view == 0) return;
    menu->session_.calibrate_view(taken.frame, taken.timing, taken.how,
                                  menu->camera_.source_identity());
  });
  window_.set_guide_detour([this] {
    const FrameHolder& guide = sequencer_.guide_frame();
    if (settings_.calib_guide_hot_pixels == 0 || !guide) {
      guide_waiting_ = -1;  // a result still to come is for an older frame
      return false;
    }
    guide_waiting_ =
        session_.correct_guide(*guide, sequencer_.guide_how(), camera_.source_identity(),
                               settings_.guide_interval / 1000.0);
    return true;
  });
  if (settings.calib_view != 0) set_view(true);
}

CalibrationMenu::~CalibrationMenu() {
  *alive_ = nullptr;
  session_.set_ready({});
  window_.set_guide_detour({});
  window_.set_calibrated_view(nullptr);
}

void CalibrationMenu::set_view(bool on) {
  settings_.calib_view = on ? 1 : 0;
  if (!on) {
    window_.set_calibrated_view(nullptr);
    window_.statusBar()->clearMessage();
    return;
  }
  // The frame on the screen now, calibrated, without waiting for the next.
  hand_over_main_frame();
}

void CalibrationMenu::hand_over_main_frame() {
  const FrameHolder& frame = sequencer_.main_frame();
  if (frame) {
    session_.calibrate_view(*frame, sequencer_.main_timing(), sequencer_.main_how(),
                            camera_.source_identity());
  }
}

void CalibrationMenu::set_recordings(bool on) {
  if (on && format_of_path(settings_.image_file_path).make_calibrated_container == nullptr) {
    const RecordingFormat& format = format_of_path(settings_.image_file_path);
    window_.statusBar()->showMessage(
        QStringLiteral("Calibrated recordings need a FITS file: %1 frames hold 8-bit samples, "
                       "too few for calibrated values. Choose a .fits file first.")
            .arg(QString::fromUtf8(format.name.data(), static_cast<int>(format.name.size()))),
        kCalibrationNoteMs);
    const QSignalBlocker quiet(recordings_);
    recordings_->setChecked(false);
    on = false;
  }
  settings_.calib_recordings = on ? 1 : 0;
}

void CalibrationMenu::take_results() {
  if (window_.closing()) return;
  if (std::optional<std::string> status = session_.take_view(shown_);
      status && settings_.calib_view != 0) {
    window_.set_calibrated_view(&shown_);
    window_.statusBar()->showMessage(QString::fromStdString(*status));
  }
  if (guide_waiting_ >= 0 && session_.take_guide(sequencer_.guide_frame(), guide_waiting_)) {
    guide_waiting_ = -1;
    window_.show_guide_frame();
  }
  for (const std::string& note : session_.take_messages()) {
    window_.statusBar()->showMessage(QString::fromStdString(note), kCalibrationNoteMs);
  }
}

void CalibrationMenu::update_simulation_items() {
  const bool simulated = camera_.simulated();
  cover_->setEnabled(simulated);
  flat_light_->setEnabled(simulated);
}

}  // namespace noctra
