#pragma once
// The View menu (zoom steps, centre cross), Capture > Preview's button
// image, the keys of the capture commands, and night mode: every window in
// dark red on black, so that eyes stay adapted to the dark.

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>
#include <functional>
#include <map>

class QAction;
class QChart;
class QMenu;
class QMenuBar;
class QPalette;
class QToolBar;
class QWidget;

namespace noctra {

class FrameView;

// The keys of the capture commands and of the zoom steps; none collides
// with the menus' Alt letters or with Alt+? and Alt+/ for About.
inline constexpr int kPreviewKey = Qt::Key_F5;
inline constexpr int kRecordKey = Qt::Key_F6;
inline constexpr int kPauseKey = Qt::Key_F7;
inline constexpr int kStopKey = Qt::Key_F8;

struct ViewActions {
  std::map<int, QAction*> zoom;  // by zoom step (kZoomSteps)
  QAction* centre_cross = nullptr;
};

// The View menu, inserted before `before` in the menu bar; its items act on
// the frame view and call changed() afterwards.
ViewActions add_view_menu(QMenuBar& bar, QAction* before, FrameView& view,
                          std::function<void()> changed);

// Capture > Preview's toolbar picture: an eye, 16 x 15 like the others.
QImage preview_button_image();

// Dark red on black for the whole program (every window and dialog through
// the application's palette, the toolbar's pictures and the charts, which
// paint themselves), or back to the day palette and pictures.
void apply_night_mode(bool on, const QPalette& day, QToolBar& toolbar,
                      const QList<QChart*>& charts);

// For a plot that paints itself: the colour of its first or second line, or
// of its marks (PlotInk::Mark), dark reds while night mode is on.
enum class PlotInk { First, Second, Mark };
QColor plot_colour(PlotInk ink);
// The colour's name for a plot's legend ("blue", or "bright red" by night).
QString plot_colour_name(PlotInk ink);

}  // namespace noctra
