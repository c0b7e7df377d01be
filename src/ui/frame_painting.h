#pragma once
// Drawing a frame image unscaled, straight from its rows.

#include <QPoint>

#include "imaging/frame_image.h"

class QPainter;

namespace noctra {

// Draws the frame with its top-left corner at top_left. The rows are wrapped,
// not copied, and drawn under a vertical flip because they are stored
// bottom-up.
void draw_frame_unscaled(QPainter& painter, const FrameImage& frame, QPoint top_left);

}  // namespace noctra
