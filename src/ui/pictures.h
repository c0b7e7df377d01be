#pragma once
// Pictures drawn in code: the toolbar's four 16 x 15 button images and the
// program icon.

#include <QIcon>
#include <QImage>

namespace noctra {

inline constexpr int kButtonImageWidth = 16;
inline constexpr int kButtonImageHeight = 15;

enum class ButtonImage { Record = 0, Stop = 1, Pause = 2, Setup = 3 };

// One button image on the light grey (192, 192, 192) background.
QImage button_image(ButtonImage which);
// All four side by side, 64 x 15, as one strip.
QImage button_strip();
// A telescope-eye picture at any size, for the windows and the desktop icon.
QImage program_icon_image(int size);
QIcon program_icon();

}  // namespace noctra
