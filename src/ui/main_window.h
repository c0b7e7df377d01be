#pragma once
// The main window: menu, four-button toolbar, the last main frame below the
// toolbar, and the 50 ms timer that drives the capture sequencer. It is also
// what the sequencer reports to.

#include <QDialog>
#include <QImage>
#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>

#include "app/sequencer.h"
#include "app/sequencer_host.h"
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
  FrameView(const FrameHolder& frame, QWidget* parent);
  QSize sizeHint() const override;
  void set_stretch(bool on);
  bool stretch() const { return stretch_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const FrameHolder& frame_;
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
  MainWindow(Sequencer& sequencer, CommandRouter& router, GuideWindow& guide,
             SaveFileChooser& chooser, DeviceCatalog devices, std::function<void()> on_close);
  ~MainWindow() override;

  // Shows both windows, lays them out, idles the camera port and sets the
  // controls: the rest of start-up once the windows exist.
  void start();

  void set_title(const std::string& title) override;
  void set_ui_state(UiState state) override;
  void repaint_main() override;
  void repaint_guide() override;
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
  // True when the window went away while a tick was waiting for a frame:
  // the port is idled once that tick has unwound.
  bool camera_idle_deferred() const { return camera_idle_deferred_; }

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

  Sequencer& sequencer_;
  CommandRouter& router_;
  GuideWindow& guide_;
  SaveFileChooser& chooser_;
  DeviceCatalog devices_;
  std::function<void()> on_close_;
  void tick();
  void schedule_due_tick();

  QTimer timer_;
  QTimer due_timer_;
  std::optional<Sequencer::Due> due_;
  std::optional<uint32_t> last_due_moment_;
  QToolBar* toolbar_ = nullptr;
  FrameView* frame_view_ = nullptr;
  QAction* star_action_ = nullptr;
  StarWindow* star_window_ = nullptr;
  std::map<Command, QAction*> actions_;
  SetupDialog* open_setup_ = nullptr;
  bool recording_ = false;
  bool pause_marked_ = false;
  bool closing_ = false;
  bool camera_idle_deferred_ = false;
};

}  // namespace noctra
