#pragma once
// The main window: menu, four-button toolbar, the last main frame below the
// toolbar, and the 50 ms timer that drives the capture sequencer. It is also
// what the sequencer reports to.

#include <QDialog>
#include <QImage>
#include <QMainWindow>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>

#include "app/due_ticker.h"
#include "app/sequencer.h"
#include "app/sequencer_host.h"
#include "config/settings.h"
#include "imaging/levels.h"
#include "ui/video_source_dialog.h"

class QAction;
class QToolBar;

namespace noctra {

class GuideWindow;
class SaveFileChooser;
class SetupDialog;
class StarWindow;

// The area below the toolbar: the main frame, unscaled, top-left. With the
// display stretch on (off by default) the frame's levels are mapped from
// automatic black and white points into a display copy, so faint stars
// show; the frame itself is never changed.
class FrameView : public QWidget {
  Q_OBJECT

 public:
  explicit FrameView(QWidget* parent);
  QSize sizeHint() const override;
  // The holder to paint from, kept: the sequencer's main frame.
  void set_frame(const FrameHolder* frame) { frame_ = frame; }
  void set_stretch(bool on);
  bool stretch() const { return stretch_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const FrameHolder* frame_ = nullptr;
  bool stretch_ = false;
  QImage stretched_;  // reused from paint to paint
  LevelHistogram levels_;
  StretchTable table_{};
};

class MainWindow : public QMainWindow, public SequencerHost {
  Q_OBJECT

 public:
  // Every command goes through the router: it is dropped while an
  // acquisition waits; Record, Stop and Pause go to the sequencer and the rest
  // come back to this window. on_close runs once when the window goes away
  // (Exit or closing it): that ends the program.
  // The ticker drives the sequencer: the 50 ms timer's tick, and a tick at
  // each moment the sequencer says falls due.
  MainWindow(Settings& settings, CommandRouter& router, DueTicker& ticker, GuideWindow& guide,
             SaveFileChooser& chooser, DeviceCatalog devices, std::function<void()> on_close);
  ~MainWindow() override;

  // Shows both windows, lays them out and sets the controls: the rest of
  // start-up once the windows exist.
  void start();

  void set_title(const std::string& title) override;
  void set_ui_state(UiState state, bool paused) override;
  void repaint_main(const FrameHolder& frame) override;
  void repaint_guide(const FrameHolder& frame) override;
  void post_command(Command id) override;
  void layout_if_idle() override;
  void beep() override;

  void layout_windows();
  void command(Command id);

  QAction* action(Command id) const;
  QToolBar* toolbar() const { return toolbar_; }
  FrameView* frame_view() const { return frame_view_; }
  // The Options menu's "Star window" item (outside the command numbers) and
  // the window it opens.
  QAction* star_window_action() const { return star_action_; }
  StarWindow* star_window() const { return star_window_; }
  SetupDialog* open_setup_dialog() const { return open_setup_; }
  bool recording() const { return recording_; }
  bool closing() const { return closing_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool window_command(Command id);
  void build_menu_and_toolbar();
  void place_dialog(QDialog& dialog, int x_units, int y_units) const;
  QAction* add_command(QMenu* menu, const QString& text, Command id);
  void show_setup_dialog();
  void show_video_source_dialog();
  void save_images_in();
  void update_autoincrement_mark();
  void go_away();
  // A posted command runs before the next tick, whichever timer fires first.
  void deliver_posted();
  void tick();
  void due_tick();
  void schedule_due_tick();

  Settings& settings_;
  CommandRouter& router_;
  DueTicker& ticker_;
  GuideWindow& guide_;
  SaveFileChooser& chooser_;
  DeviceCatalog devices_;
  std::function<void()> on_close_;

  QTimer timer_;
  QTimer due_timer_;
  QToolBar* toolbar_ = nullptr;
  FrameView* frame_view_ = nullptr;
  QAction* star_action_ = nullptr;
  StarWindow* star_window_ = nullptr;
  std::map<Command, QAction*> actions_;
  SetupDialog* open_setup_ = nullptr;
  std::deque<Command> posted_;
  // The sequencer's frames, as the host calls gave them.
  const FrameHolder* main_frame_ = nullptr;
  const FrameHolder* guide_frame_ = nullptr;
  bool recording_ = false;
  bool pause_marked_ = false;
  bool closing_ = false;
};

}  // namespace noctra
