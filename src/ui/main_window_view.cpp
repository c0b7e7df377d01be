// The main window's view controls, status line and remembered layout.

#include <QAction>
#include <QCheckBox>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QToolBar>
#include <QWindow>

#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "ui/star_window.h"
#include "ui/status_bar.h"
#include "ui/window_layout.h"

namespace noctra {

namespace {

// The disk and the file the next recording would replace are looked at no
// more often than this while nothing else asks for it.
constexpr int kStatusCheckMs = 3000;

QMenu* menu_holding(QMenuBar& bar, QAction* action) {
  for (QAction* entry : bar.actions()) {
    if (entry->menu() != nullptr && entry->menu()->actions().contains(action)) return entry->menu();
  }
  return nullptr;
}

}  // namespace

void MainWindow::add_view_controls() {
  QMenu* capture = menu_holding(*menuBar(), action(Command::Record));
  QAction* preview = add_command(capture, QStringLiteral("Pre&view"), Command::Preview);
  preview->setCheckable(true);
  preview->setIcon(QIcon(QPixmap::fromImage(preview_button_image())));
  preview->setToolTip(QStringLiteral("Preview"));
  toolbar_->addAction(preview);
  const std::pair<Command, int> keys[] = {{Command::Preview, kPreviewKey},
                                          {Command::Record, kRecordKey},
                                          {Command::Pause, kPauseKey},
                                          {Command::Stop, kStopKey}};
  for (const auto& [id, key] : keys) action(id)->setShortcut(QKeySequence(key));

  view_actions_ = add_view_menu(*menuBar(), capture->menuAction(), *frame_view_, {});

  QMenu* options = menu_holding(*menuBar(), star_action_);
  night_action_ = options->addAction(QStringLiteral("&Night mode"));
  night_action_->setCheckable(true);
  connect(night_action_, &QAction::toggled, this, [this](bool on) { set_night_mode(on); });

  status_line_ =
      new StatusLine(*statusBar(), settings_, [this] { return simulated_ && simulated_(); });
  status_timer_.setInterval(kStatusCheckMs);
  connect(&status_timer_, &QTimer::timeout, this, [this] {
    // Never just before an exposure's moment: the disk may be slow.
    if (const std::optional<int32_t> wait = ticker_.wait_ms(); wait && *wait < kViewWorkMs) return;
    status_line_->refresh();
  });
  status_timer_.start();

  // A click on a star makes it the focus star of the Star window; a right
  // click gives the choice up for the brightest unsaturated star.
  connect(frame_view_, &FrameView::star_chosen, this, [this](double x, double y) {
    analysis_->choose_focus_point(FocusPoint{x, y});
    frame_view_->set_focus_mark(QPointF(x, y));
    if (star_window_->isVisible()) analyse_main_frame();
  });
  connect(frame_view_, &FrameView::star_choice_cleared, this, [this] {
    analysis_->choose_focus_point(std::nullopt);
    frame_view_->set_focus_mark(std::nullopt);
    if (star_window_->isVisible()) analyse_main_frame();
  });
}

void MainWindow::set_simulated_probe(std::function<bool()> simulated) {
  simulated_ = std::move(simulated);
  status_line_->refresh(true);
}

void MainWindow::set_status(const RunStatus& status) {
  if (!closing_) status_line_->show_status(status);
}

void MainWindow::set_night_mode(bool on) {
  const QSignalBlocker quiet(night_action_);
  night_action_->setChecked(on);
  apply_night_mode(on, day_palette_, *toolbar_, star_window_->charts());
}

void MainWindow::restore_layout() {
  frame_view_->set_zoom(settings_.zoom);
  if (QAction* step = view_actions_.zoom[frame_view_->zoom()]) step->setChecked(true);
  view_actions_.centre_cross->setChecked(settings_.centre_cross != 0);
  star_window_->stretch_box()->setChecked(settings_.stretch != 0);
  if (settings_.night_mode != 0) set_night_mode(true);

  const QRect screen = this->screen()->availableGeometry();
  // The window manager's frame is as wide around every window.
  const QSize margins = frameGeometry().size() - size();
  const int controls = mapToGlobal(frame_area_->pos()).y() - frameGeometry().top();
  const auto first = [&](QPoint main_at) {
    return first_places(screen, main_at, frameGeometry().size(), controls, guide_.size() + margins,
                        star_window_->sizeHint() + margins);
  };
  // A shown window whose place is asked for anew: the window manager has
  // placed it already, where Qt may not know, so the place is said to it
  // even when Qt thinks the window is there (the screen's corner).
  const auto place_main = [this](QPoint at) {
    move(at);
    if (QWindow* window = windowHandle()) window->setFramePosition(at);
  };
  WindowPlaces places;
  if (saved_places(settings_, screen, places)) {
    place_main(places.main.topLeft());
    resize(places.main.size());
    if (places.star.width() > 0) {
      star_window_->move(places.star.topLeft());
      star_window_->resize(places.star.size());
    } else {
      // Saved before the Star window was ever open: its first place beside
      // the main window where it was saved, not the screen's corner.
      star_window_->move(first(places.main.topLeft()).star.topLeft());
    }
  } else {
    places = first(screen.topLeft());
    place_main(places.main.topLeft());
    star_window_->move(places.star.topLeft());
  }
  guide_.move(places.guide);
  if (settings_.star_open != 0) star_action_->trigger();
  status_line_->refresh(true);
}

void MainWindow::remember_layout() {
  remember_places(settings_, *this, guide_, *star_window_);
  settings_.zoom = frame_view_->zoom();
  settings_.centre_cross = frame_view_->centre_cross() ? 1 : 0;
  settings_.stretch = frame_view_->stretch() ? 1 : 0;
  settings_.night_mode = night_action_->isChecked() ? 1 : 0;
}

}  // namespace noctra
