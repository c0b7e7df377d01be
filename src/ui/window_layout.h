#pragma once
// Where the windows go: the places and sizes of the main, guide and Star
// windows kept in the settings' [Layout] section, and the first start's
// places, side by side within the screen.

#include <QRect>

class QWidget;

namespace noctra {

struct Settings;

struct WindowPlaces {
  QRect main, star;  // frame geometry: position of the frame, size of the inside
  QPoint guide;
};

// Side by side from main_at (the screen's top-left on a first start): the
// main window, the guide window, then the Star window, each beside the one
// before when the screen has room, else below the main window's title, menu
// and toolbar (the first main_controls pixels of its frame), so that none
// lies over them.
WindowPlaces first_places(const QRect& screen, QPoint main_at, QSize main_frame,
                          int main_controls, QSize guide_frame, QSize star_frame);

// The saved places, where they were saved and still lie on the screen.
bool saved_places(const Settings& settings, const QRect& screen, WindowPlaces& out);

// The windows' places and sizes into the settings (layout_saved = 1).
void remember_places(Settings& settings, const QWidget& main, const QWidget& guide,
                     const QWidget& star);

}  // namespace noctra
