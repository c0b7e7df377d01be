#pragma once
// The main window: menu, four-button toolbar, the last main frame below the
// toolbar, and the 50 ms timer that drives the capture sequencer. It is also
// what the sequencer reports to.

#include <QDialog>
#include <QImage>
#include <QMainWindow>
#include <QPalette>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "app/due_ticker.h"
#include "app/frame_analysis.h"
#include "app/sequencer.h"
#include "app/sequencer_host.h"
#include "config/settings.h"
#include "imaging/levels.h"
#include "ui/frame_view.h"
#include "ui/video_source_dialog.h"
#include "ui/view_options.h"

class QAction;
class QScrollArea;
class QToolBar;

namespace noctra {

class ErrorReporter;
class GuideWindow;
class LiveStack;
class SaveFileChooser;
class StackControls;
class SetupDialog;
class StarWindow;
class StatusLine;

// The Star window's charts and a stretched view repaint within this many
// milliseconds: their updates wait for the next tick when its moment is
// nearer, so that a repaint never delays an exposure.
inline constexpr int32_t kViewWorkMs = 25;

// How long the status bar names the Setup values that were not taken.
inline constexpr int kNotTakenMessageMs = 20000;

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
  // Options > "Live stack" and "Stack panel"; a failed save goes to errors.
  void add_live_stack(LiveStack& live, ErrorReporter& errors);
  StackControls* stack_controls() const { return stack_; }

  void set_title(const std::string& title) override;
  void set_ui_state(UiState state, bool paused) override;
  void repaint_main(const FrameHolder& frame) override;
  void repaint_guide(const FrameHolder& frame) override;
  void post_command(Command id) override;
  void layout_if_idle() override;
  void beep() override;
  void set_status(const RunStatus& status) override;

  void layout_windows();
  void command(Command id);

  QAction* action(Command id) const;
  QToolBar* toolbar() const { return toolbar_; }
  FrameView* frame_view() const { return frame_view_; }
  // The scroll area around the frame view: the area below the toolbar.
  QScrollArea* frame_area() const { return frame_area_; }
  StatusLine* status_line() const { return status_line_; }
  // Whether the simulated port or camera is in use, for the status line.
  void set_simulated_probe(std::function<bool()> simulated);
  const ViewActions& view_actions() const { return view_actions_; }
  QAction* night_mode_action() const { return night_action_; }
  void set_night_mode(bool on);
  // The Options menu's "Star window" item (outside the command numbers) and
  // the window it opens.
  QAction* star_window_action() const { return star_action_; }
  StarWindow* star_window() const { return star_window_; }
  // The Options menu, for the items other parts of the program add to it.
  QMenu* options_menu() const { return options_menu_; }
  // What the view shows instead of the main frame (the calibrated frame);
  // null: the main frame.
  void set_calibrated_view(const FrameHolder* frame);
  // Each guide frame goes to the detour first when one is set; when it
  // returns true the frame is shown later, by show_guide_frame().
  void set_guide_detour(std::function<bool()> detour) { guide_detour_ = std::move(detour); }
  void show_guide_frame();
  SetupDialog* open_setup_dialog() const { return open_setup_; }
  bool recording() const { return recording_; }
  bool closing() const { return closing_; }
  // Frames handed to the measuring while the one before still waited.
  int64_t analyses_dropped() const { return analysis_->dropped(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool window_command(Command id);
  void build_menu_and_toolbar();
  // The View menu, Preview, Night mode and the keys of the capture commands.
  void add_view_controls();
  // The windows' places and the view choices from the settings, and back.
  void restore_layout();
  void remember_layout();
  void place_dialog(QDialog& dialog, int x_units, int y_units) const;
  QAction* add_command(QMenu* menu, const QString& text, Command id);
  void show_setup_dialog();
  void show_video_source_dialog();
  void save_images_in();
  void update_autoincrement_mark();
  void go_away();
  void route(Command id);
  // A posted command runs before the next tick, whichever timer fires first.
  void deliver_posted();
  // The 50 ms tick, or (due_moment_only) the tick of a moment due now.
  void tick(bool due_moment_only);
  // After every tick and command: the due tick for the next moment, the
  // measurements that came meanwhile.
  void settle();
  void schedule_due_tick();
  // The measurements of the frames for the Star window and the stretch.
  void show_main_view();
  void analyse_main_frame();
  void analyse_guide_frame();
  // Shows the measurements that came, unless a tick is running or the next
  // moment is too near for the charts' repaint to be over by then: they
  // wait for the next tick.
  void show_analyses();

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
  QScrollArea* frame_area_ = nullptr;
  StatusLine* status_line_ = nullptr;
  std::function<bool()> simulated_;
  QTimer status_timer_;
  ViewActions view_actions_;
  QAction* night_action_ = nullptr;
  QPalette day_palette_;
  QAction* star_action_ = nullptr;
  QMenu* options_menu_ = nullptr;
  const FrameHolder* calibrated_view_ = nullptr;
  std::function<bool()> guide_detour_;
  StarWindow* star_window_ = nullptr;
  StackControls* stack_ = nullptr;
  std::map<Command, QAction*> actions_;
  SetupDialog* open_setup_ = nullptr;
  std::deque<Command> posted_;
  // The sequencer's frames, as the host calls gave them.
  const FrameHolder* main_frame_ = nullptr;
  const FrameHolder* guide_frame_ = nullptr;
  std::unique_ptr<FrameAnalysis> analysis_;
  bool recording_ = false;
  bool previewing_ = false;
  bool pause_marked_ = false;
  bool closing_ = false;
  bool in_tick_ = false;  // also inside the waits of a tick's acquisition
  bool hurried_ = false;  // a due tick was queued since the last timer's tick
};

}  // namespace noctra
