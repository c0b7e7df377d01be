#include "ui/frame_view.h"

#include <QPainter>

#include "ui/frame_painting.h"
#include "ui/guide_window.h"

namespace noctra {

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  build_stretch_table(StretchLevels{}, table_);
}

QSize FrameView::sizeHint() const { return {kPictureWidth, kPictureHeight}; }

void FrameView::set_stretch(bool on) {
  stretch_ = on;
  update();
}

void FrameView::set_stretch_levels(const StretchLevels& levels) {
  build_stretch_table(levels, table_);
  if (stretch_) update();
}

void FrameView::paintEvent(QPaintEvent*) {
  if (frame_ == nullptr || !*frame_) return;
  QPainter painter(this);
  const FrameImage& frame = **frame_;
  if (!stretch_) {
    draw_frame_unscaled(painter, frame, QPoint(0, 0));
    return;
  }
  if (stretched_.width() != frame.width() || stretched_.height() != frame.height()) {
    stretched_ = QImage(frame.width(), frame.height(), QImage::Format_BGR888);
  }
  // Top line first in the display copy; the frame stores it last.
  const auto bytes = static_cast<std::size_t>(frame.width()) * kBytesPerPixel;
  for (int32_t r = 0; r < frame.height(); ++r) {
    const uint8_t* from = frame.row(frame.height() - 1 - r);
    uint8_t* to = stretched_.scanLine(r);
    for (std::size_t k = 0; k < bytes; ++k) to[k] = table_[from[k]];
  }
  painter.drawImage(QPoint(0, 0), stretched_);
}

}  // namespace noctra
