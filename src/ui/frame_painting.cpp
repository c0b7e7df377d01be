#include "ui/frame_painting.h"

#include <QImage>
#include <QPainter>

namespace noctra {

void draw_frame_unscaled(QPainter& painter, const FrameImage& frame, QPoint top_left) {
  const QImage rows(frame.pixels(), frame.width(), frame.height(),
                    static_cast<qsizetype>(frame.stride()), QImage::Format_BGR888);
  painter.save();
  painter.translate(top_left.x(), top_left.y() + frame.height());
  painter.scale(1, -1);
  painter.drawImage(QPoint(0, 0), rows);
  painter.restore();
}

}  // namespace noctra
