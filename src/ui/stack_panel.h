#pragma once
// The live stack in the windows: Options > "Live stack" shows the stack in
// the main view instead of the last frame; the Stack panel, a window of its
// own, shows the frames stacked and left out with their reasons, the total
// integration time, the last frame's shift, rotation and residual, a plot of
// the shifts, and the Reset and Save buttons.
//
// The stacking runs on the stack's worker; the window thread only copies the
// stretched view and the panel's numbers, after the due moment (refresh() is
// called where the Star window's updates are), so neither delays an exposure.

#include <QObject>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/live_stack.h"
#include "imaging/frame_image.h"

class QAction;
class QLabel;
class QMainWindow;
class QMenu;
class QPushButton;

namespace noctra {

class ErrorReporter;
class FrameView;

// The recent frames' shifts (dx and dy, px) over their numbers; the frames
// left out as red marks along the bottom.
class ShiftPlot : public QWidget {
 public:
  explicit ShiftPlot(QWidget* parent);
  void set_frames(std::vector<StackFrameReport> frames);
  const std::vector<StackFrameReport>& frames() const { return frames_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<StackFrameReport> frames_;
};

class StackPanel : public QWidget {
 public:
  StackPanel(std::function<void()> on_reset, std::function<void()> on_save, QWidget* parent);
  // The numbers of the stack; the plot only when frames came since.
  void show_status(const StackSessionStatus& status, std::vector<StackFrameReport> recent);

  QLabel* counts_label() const { return counts_; }
  QLabel* last_label() const { return last_; }
  QPushButton* reset_button() const { return reset_; }
  QPushButton* save_button() const { return save_; }
  ShiftPlot* plot() const { return plot_; }

 private:
  QLabel* counts_ = nullptr;
  QLabel* last_ = nullptr;
  ShiftPlot* plot_ = nullptr;
  QPushButton* reset_ = nullptr;
  QPushButton* save_ = nullptr;
};

// Wires the live stack to the main window: its two Options items, the view,
// the panel, the status line and the error box.
class StackControls : public QObject {
 public:
  StackControls(LiveStack& live, QMainWindow& window, FrameView& view, QMenu& options,
                ErrorReporter& errors);

  QAction* live_stack_action() const { return live_action_; }
  QAction* panel_action() const { return panel_action_; }
  StackPanel* panel() const { return panel_; }

  // What the main view paints: the stack while the live stack is on and
  // holds a frame, else the frame the camera gave.
  const FrameHolder* view_of(const FrameHolder* raw);
  // The stack's new view, the panel's numbers and the saves that finished;
  // only where a repaint cannot delay an exposure.
  void refresh();

 private:
  void switch_view(bool on);
  void show_view();

  LiveStack& live_;
  QMainWindow& window_;
  FrameView& view_;
  ErrorReporter& errors_;
  QAction* live_action_ = nullptr;
  QAction* panel_action_ = nullptr;
  StackPanel* panel_ = nullptr;
  const FrameHolder* raw_ = nullptr;
  FrameHolder stack_view_;
  uint64_t view_seen_ = 0;
  int64_t frames_shown_ = -1;  // frames judged when the panel was last brought up to date
};

}  // namespace noctra
