#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLayout>
#include <QMenuBar>
#include <QPainter>
#include <QScrollArea>
#include <QShortcut>
#include <QStatusBar>
#include <QToolBar>
#include <utility>

#include "config/paths.h"
#include "output/naming.h"
#include "ui/about_dialog.h"
#include "ui/frame_painting.h"
#include "ui/guide_window.h"
#include "ui/pictures.h"
#include "ui/save_file_chooser.h"
#include "ui/setup_dialog.h"
#include "ui/stack_panel.h"
#include "ui/star_window.h"
#include "ui/status_bar.h"
#include "ui/video_source_dialog.h"

namespace noctra {

MainWindow::MainWindow(Settings& settings, CommandRouter& router, DueTicker& ticker,
                       GuideWindow& guide, SaveFileChooser& chooser, DeviceCatalog devices,
                       std::function<void()> on_close)
    : settings_(settings), router_(router), ticker_(ticker), guide_(guide), chooser_(chooser),
      devices_(std::move(devices)), on_close_(std::move(on_close)) {
  setWindowTitle(QStringLiteral("Noctra"));
  setWindowIcon(program_icon());
  day_palette_ = QApplication::palette();
  build_menu_and_toolbar();
  frame_view_ = new FrameView(this);
  frame_area_ = new QScrollArea(this);
  frame_area_->setFrameShape(QFrame::NoFrame);
  frame_area_->setWidgetResizable(true);
  frame_area_->setBackgroundRole(QPalette::Window);
  frame_area_->setWidget(frame_view_);
  setCentralWidget(frame_area_);
  star_window_ = new StarWindow(
      [this](bool on) {
        frame_view_->set_stretch(on);
        if (on) analyse_main_frame();
      },
      this);
  router_.set_window_commands([this](Command id) { return window_command(id); });
  add_view_controls();
  // The worker only posts: the results are shown on this thread.
  analysis_ = std::make_unique<FrameAnalysis>([this] {
    QMetaObject::invokeMethod(
        this, [this] { show_analyses(); }, Qt::QueuedConnection);
  });

  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    hurried_ = false;
    tick(false);
  });
  timer_.start();
  // Besides the 50 ms tick, a tick at the instant the sequencer's next moment
  // falls due, so that exposures start and end on time.
  due_timer_.setTimerType(Qt::PreciseTimer);
  due_timer_.setSingleShot(true);
  connect(&due_timer_, &QTimer::timeout, this, [this] {
    hurried_ = false;
    tick(true);
  });
}

MainWindow::~MainWindow() {
  // No result may be posted to a window on its way out.
  analysis_.reset();
  router_.set_window_commands(nullptr);
}

QAction* MainWindow::add_command(QMenu* menu, const QString& text, Command id) {
  auto* action = menu->addAction(text);
  action->setProperty("id", static_cast<int>(id));
  action->setIconVisibleInMenu(false);
  connect(action, &QAction::triggered, this, [this, id] { command(id); });
  actions_[id] = action;
  return action;
}

void MainWindow::build_menu_and_toolbar() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  add_command(file, QStringLiteral("&Save images in..."), Command::SaveImagesIn);
  add_command(file, QStringLiteral("&Autoincrement"), Command::Autoincrement)->setCheckable(true);
  file->addSeparator();
  add_command(file, QStringLiteral("E&xit"), Command::Exit);

  QMenu* options = options_menu_ = menuBar()->addMenu(QStringLiteral("&Options"));
  add_command(options, QStringLiteral("Video &Source"), Command::VideoSource);
  // Not a command: it only opens a window, so the command rules (dropped
  // while an acquisition waits) do not apply to it.
  star_action_ = options->addAction(QStringLiteral("Star &window"));
  connect(star_action_, &QAction::triggered, this, [this] {
    if (closing_) return;
    const bool first = !star_window_->isVisible();
    star_window_->show();
    star_window_->raise();
    if (!first) return;
    analyse_main_frame();
    analyse_guide_frame();
  });

  QMenu* capture = menuBar()->addMenu(QStringLiteral("&Capture"));
  capture->setObjectName(QStringLiteral("capture_menu"));
  add_command(capture, QStringLiteral("S&etup"), Command::Setup);
  capture->addSeparator();
  add_command(capture, QStringLiteral("&Record"), Command::Record);
  add_command(capture, QStringLiteral("St&op"), Command::Stop);
  add_command(capture, QStringLiteral("&Pause"), Command::Pause)->setCheckable(true);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  add_command(help, QStringLiteral("&About ..."), Command::About);

  for (const QKeySequence& keys :
       {QKeySequence(Qt::ALT | Qt::Key_Question), QKeySequence(Qt::ALT | Qt::Key_Slash)}) {
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] { command(Command::About); });
  }

  toolbar_ = addToolBar(QStringLiteral("Capture"));
  toolbar_->setObjectName(QStringLiteral("capture_toolbar"));
  toolbar_->setMovable(false);
  toolbar_->setFloatable(false);
  toolbar_->toggleViewAction()->setVisible(false);
  toolbar_->setIconSize(QSize(kButtonImageWidth, kButtonImageHeight));
  toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
  setContextMenuPolicy(Qt::NoContextMenu);
  const struct {
    Command id;
    ButtonImage image;
    const char* text;
  } buttons[] = {{Command::Record, ButtonImage::Record, "Record"},
                 {Command::Stop, ButtonImage::Stop, "Stop"},
                 {Command::Pause, ButtonImage::Pause, "Pause"},
                 {Command::Setup, ButtonImage::Setup, "Setup"}};
  for (const auto& button : buttons) {
    QAction* action = actions_.at(button.id);
    action->setIcon(QIcon(QPixmap::fromImage(button_image(button.image))));
    action->setToolTip(QString::fromLatin1(button.text));
    toolbar_->addAction(action);
  }
}

QAction* MainWindow::action(Command id) const {
  auto found = actions_.find(id);
  return found == actions_.end() ? nullptr : found->second;
}

void MainWindow::start() {
  show();
  layout_windows();
  // Beside the main window rather than over it, where the desktop leaves
  // the placing to the program.
  guide_.move(frameGeometry().right() + 1, frameGeometry().top());
  guide_.setVisible(settings_.guiding != 0);
  set_ui_state(UiState::Idle, pause_marked_);
  update_autoincrement_mark();
  restore_layout();
}

void MainWindow::add_live_stack(LiveStack& live, ErrorReporter& errors) {
  stack_ = new StackControls(live, *this, *frame_view_, *options_menu_, errors);
}

void MainWindow::tick(bool due_moment_only) {
  deliver_posted();
  if (closing_) return;
  const bool outer_tick = std::exchange(in_tick_, true);
  // A due timer that fired a little early finds nothing due yet: settle()
  // waits again for the rest.
  if (due_moment_only) {
    ticker_.tick_if_due();
  } else {
    ticker_.tick();
  }
  in_tick_ = outer_tick;
  settle();
}

void MainWindow::settle() {
  schedule_due_tick();
  show_analyses();
}

void MainWindow::schedule_due_tick() {
  // Inside an acquisition the tick that started it is still running: it
  // schedules again once it is done.
  const std::optional<int32_t> wait = ticker_.wait_ms();
  if (!wait || closing_) {
    due_timer_.stop();
    return;
  }
  // A moment due now (the first start after Record, the start after an
  // exposure with no delay) is ticked by a queued call: it runs before the
  // repaints the last tick or command asked for, which Qt posts at a lower
  // priority and which would make the start late, but after the commands
  // posted before it. Not twice in a row: a run of moments due at once then
  // goes through the timer, which lets the window's own events in.
  if (*wait == 0 && !hurried_) {
    hurried_ = true;
    due_timer_.stop();
    QMetaObject::invokeMethod(
        this, [this] { tick(true); }, Qt::QueuedConnection);
    return;
  }
  due_timer_.start(*wait);
}

void MainWindow::analyse_main_frame() {
  // The frame as the view shows it before any stack: the stretch's levels
  // and the focus star are those of the calibrated frame when there is one.
  const FrameHolder* frame = calibrated_view_ != nullptr ? calibrated_view_ : main_frame_;
  if (frame != nullptr && *frame) analysis_->analyse_main(**frame);
}

void MainWindow::analyse_guide_frame() {
  if (guide_frame_ != nullptr && *guide_frame_) {
    analysis_->analyse_guide(**guide_frame_, guide_.guide_x(), guide_.guide_y());
  }
}

void MainWindow::show_analyses() {
  if (closing_ || in_tick_) return;
  // The charts take a few milliseconds to repaint: never just before a tick.
  if (const std::optional<int32_t> wait = ticker_.wait_ms(); wait && *wait < kViewWorkMs) return;
  if (std::optional<MainFrameAnalysis> main = analysis_->take_main()) {
    frame_view_->set_stretch_levels(main->stretch);
    if (main->chosen && main->star)
      frame_view_->set_focus_mark(QPointF(main->star->x, main->star->y));
    if (star_window_->isVisible()) star_window_->show_main(*main);
  }
  if (std::optional<GuideFrameAnalysis> guide = analysis_->take_guide()) {
    if (star_window_->isVisible()) star_window_->show_guide(*guide);
  }
  if (stack_) stack_->refresh();
}

void MainWindow::command(Command id) {
  if (closing_) return;
  route(id);
  settle();
}

void MainWindow::route(Command id) {
  router_.route(id);
  // A checkable action flips its own mark when clicked; the marks follow the
  // settings and the sequencer only, also when the command was dropped.
  if (id == Command::Pause) action(Command::Pause)->setChecked(pause_marked_);
  if (id == Command::Autoincrement) update_autoincrement_mark();
  if (id == Command::Preview) action(Command::Preview)->setChecked(previewing_);
  if (id == Command::SaveImagesIn || id == Command::Autoincrement || id == Command::Setup) {
    status_line_->refresh(true);
  }
}

// Both dialogs open at a fixed place over the main window's client area (the
// area below the menu bar), given in dialog units of the dialog's own font,
// so they never cover the controls of another window by chance.
void MainWindow::place_dialog(QDialog& dialog, int x_units, int y_units) const {
  const QFontMetrics metrics(dialog.font());
  const int x = x_units * metrics.averageCharWidth() / 4;
  const int y = y_units * metrics.height() / 8;
  dialog.move(mapToGlobal(QPoint(x, menuBar()->height() + y)));
}

bool MainWindow::window_command(Command id) {
  switch (id) {
    case Command::About: {
      AboutDialog about(this);
      place_dialog(about, 22, 17);
      about.exec();
      return true;
    }
    case Command::Exit:
      close();
      return true;
    case Command::VideoSource:
      show_video_source_dialog();
      return true;
    case Command::SaveImagesIn:
      save_images_in();
      return true;
    case Command::Autoincrement:
      settings_.auto_increment = settings_.auto_increment == 0 ? 1 : 0;
      update_autoincrement_mark();
      return true;
    case Command::Setup:
      show_setup_dialog();
      return true;
    default:
      return false;
  }
}

void MainWindow::show_setup_dialog() {
  SetupDialog::Hooks hooks;
  hooks.set_open_dialog = [this](SetupDialog* dialog) { open_setup_ = dialog; };
  hooks.layout_if_idle = [this] { layout_if_idle(); };
  SetupDialog dialog(settings_, recording_, chooser_, std::move(hooks), this);
  place_dialog(dialog, 0, 0);
  dialog.exec();
  if (closing_) return;
  if (!dialog.not_taken().isEmpty()) {
    statusBar()->showMessage(dialog.not_taken(), kNotTakenMessageMs);
  }
  guide_.setVisible(settings_.guiding != 0);
  update_autoincrement_mark();
  // Queued, so the recording starts after this command has finished, with
  // the values just stored, and goes through the same command rules.
  if (dialog.start_capture_chosen()) post_command(Command::Record);
}

void MainWindow::save_images_in() {
  const PathChoice choice =
      save_images_in_command(settings_.image_file_path, !recording_, browse_with(chooser_, this),
                             kNativePathFlavour, home_folder());
  if (choice.outcome == PathChoiceOutcome::TooLong) {
    show_path_too_long(this, choice.path, choice.extension);
    return;
  }
  settings_.image_file_path = choice.path;
}

void MainWindow::show_video_source_dialog() {
  VideoSourceDialog dialog(settings_, devices_, this);
  dialog.exec();
}

void MainWindow::update_autoincrement_mark() {
  action(Command::Autoincrement)->setChecked(settings_.auto_increment != 0);
}

void MainWindow::set_title(const std::string& title) {
  if (closing_) return;
  setWindowTitle(QString::fromStdString(title));
}

void MainWindow::set_ui_state(UiState state, bool paused) {
  if (closing_) return;
  switch (state) {
    case UiState::Idle:
    case UiState::Recording:
    case UiState::Preview:
      recording_ = state == UiState::Recording;
      previewing_ = state == UiState::Preview;
      action(Command::Stop)->setEnabled(recording_ || previewing_);
      action(Command::Record)->setEnabled(!recording_);
      action(Command::Preview)->setEnabled(!recording_);
      action(Command::Preview)->setChecked(previewing_);
      if (open_setup_) open_setup_->set_start_capture_enabled(!recording_);
      break;
    case UiState::RefreshPauseMarks:
      pause_marked_ = paused;
      action(Command::Pause)->setChecked(pause_marked_);
      break;
  }
}

void MainWindow::repaint_main(const FrameHolder& frame) {
  if (closing_) return;
  main_frame_ = &frame;
  show_main_view();
  if (frame) status_line_->set_frame_size(frame->width(), frame->height());
  frame_view_->repaint();
  // A frame being calibrated is measured once its calibrated picture comes.
  if (calibrated_view_ == nullptr && (star_window_->isVisible() || frame_view_->stretch())) {
    analyse_main_frame();
  }
}

void MainWindow::repaint_guide(const FrameHolder& frame) {
  if (closing_) return;
  guide_frame_ = &frame;
  if (!guide_detour_ || !guide_detour_()) show_guide_frame();
}

void MainWindow::show_guide_frame() {
  if (closing_) return;
  // The markers go into the frame as it is painted: measured after them, as
  // the locator reads only the blue byte they never touch.
  guide_.repaint_now();
  if (star_window_->isVisible()) analyse_guide_frame();
}

void MainWindow::set_calibrated_view(const FrameHolder* frame) {
  calibrated_view_ = frame;
  show_main_view();
  frame_view_->update();
  if (frame != nullptr && (star_window_->isVisible() || frame_view_->stretch())) {
    analyse_main_frame();
  }
}

void MainWindow::show_main_view() {
  // The live stack when it is shown, else the frame calibrated, else the
  // frame as it came.
  const FrameHolder* frame = calibrated_view_ != nullptr ? calibrated_view_ : main_frame_;
  frame_view_->set_frame(stack_ ? stack_->view_of(frame) : frame);
}

void MainWindow::post_command(Command id) {
  posted_.push_back(id);
  QMetaObject::invokeMethod(
      this,
      [this] {
        deliver_posted();
        settle();
      },
      Qt::QueuedConnection);
}

void MainWindow::deliver_posted() {
  while (!posted_.empty() && !closing_) {
    const Command id = posted_.front();
    posted_.pop_front();
    route(id);
  }
}

void MainWindow::layout_if_idle() {
  if (closing_) return;
  if (!recording_) layout_windows();
}

void MainWindow::beep() {
  if (!closing_) QApplication::beep();
}

void MainWindow::layout_windows() {
  // Qt sizes a window by its inside, so the frame metrics of the platform
  // are taken care of; what is measured here is what the menu bar and the
  // toolbar take from the inside.
  guide_.resize(kPictureWidth, kPictureHeight);
  const QSize picture(kPictureWidth, kPictureHeight);
  resize(picture + QSize(0, menuBar()->sizeHint().height() + toolbar_->sizeHint().height()));
  for (int attempt = 0; attempt < 3; ++attempt) {
    layout()->activate();
    const QSize shortfall = picture - frame_area_->size();
    if (shortfall.isNull()) break;
    resize(size() + shortfall);
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  go_away();
}

void MainWindow::go_away() {
  if (closing_) return;
  remember_layout();
  closing_ = true;
  timer_.stop();
  due_timer_.stop();
  status_timer_.stop();
  guide_.hide();
  star_window_->hide();
  if (stack_) stack_->panel()->hide();
  // The port is idled by the program's shut-down, once a tick still waiting
  // for a frame has unwound.
  if (on_close_) on_close_();
}

}  // namespace noctra
