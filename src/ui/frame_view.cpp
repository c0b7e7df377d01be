#include "ui/frame_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

#include "ui/frame_painting.h"
#include "ui/guide_window.h"

namespace noctra {

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
  // The window colour around the frame and before the first one.
  setBackgroundRole(QPalette::Window);
  setAutoFillBackground(true);
  build_stretch_table(StretchLevels{}, table_);
  fit_size();
}

QSize FrameView::sizeHint() const {
  return zoom_ == kZoomFit ? QSize(kPictureWidth, kPictureHeight) : frame_size() * zoom_;
}

QSize FrameView::frame_size() const {
  if (frame_ == nullptr || !*frame_) return {kPictureWidth, kPictureHeight};
  return {(*frame_)->width(), (*frame_)->height()};
}

void FrameView::fit_size() {
  sized_for_ = frame_size();
  setMinimumSize(zoom_ == kZoomFit ? QSize(0, 0) : sized_for_ * zoom_);
  updateGeometry();
}

void FrameView::set_frame(const FrameHolder* frame) {
  frame_ = frame;
  if (frame_size() != sized_for_) fit_size();
}

void FrameView::set_stretch(bool on) {
  stretch_ = on;
  update();
}

void FrameView::set_stretch_levels(const StretchLevels& levels) {
  build_stretch_table(levels, table_);
  if (stretch_) update();
}

void FrameView::set_zoom(int zoom) {
  zoom_ = std::ranges::find(kZoomSteps, zoom) != std::end(kZoomSteps) ? zoom : 1;
  fit_size();
  update();
}

double FrameView::scale() const {
  if (zoom_ != kZoomFit) return zoom_;
  const QSize frame = frame_size();
  return std::max(0.01, std::min(static_cast<double>(width()) / frame.width(),
                                 static_cast<double>(height()) / frame.height()));
}

void FrameView::set_centre_cross(bool on) {
  centre_cross_ = on;
  update();
}

void FrameView::set_focus_mark(std::optional<QPointF> star) {
  focus_mark_ = star;
  update();
}

QPointF FrameView::widget_point(QPointF star) const {
  // Pixel centres sit at whole numbers; the top screen line is row
  // height - 1, so guide y runs from 1 at the top line down.
  const double s = scale();
  return {(star.x() + 0.5) * s, (star.y() - 0.5) * s};
}

const QImage& FrameView::stretched(const FrameImage& frame) {
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
  return stretched_;
}

void FrameView::paintEvent(QPaintEvent*) {
  if (frame_ == nullptr || !*frame_) return;
  const FrameImage& frame = **frame_;
  if (frame_size() != sized_for_) {
    QMetaObject::invokeMethod(
        this, [this] { fit_size(); }, Qt::QueuedConnection);
  }
  QPainter painter(this);
  const double s = scale();
  if (stretch_) {
    painter.save();
    painter.scale(s, s);
    painter.drawImage(QPoint(0, 0), stretched(frame));
    painter.restore();
  } else if (s == 1) {
    draw_frame_unscaled(painter, frame, QPoint(0, 0));
  } else {
    const QImage rows(frame.pixels(), frame.width(), frame.height(),
                      static_cast<qsizetype>(frame.stride()), QImage::Format_BGR888);
    painter.save();
    painter.translate(0, frame.height() * s);
    painter.scale(s, -s);
    painter.drawImage(QPoint(0, 0), rows);
    painter.restore();
  }
  const QSizeF shown = QSizeF(frame.width(), frame.height()) * s;
  if (centre_cross_) {
    painter.setPen(QPen(QColor(255, 64, 64, 200), 1));
    painter.drawLine(QPointF(shown.width() / 2, 0), QPointF(shown.width() / 2, shown.height()));
    painter.drawLine(QPointF(0, shown.height() / 2), QPointF(shown.width(), shown.height() / 2));
  }
  if (focus_mark_) {
    painter.setPen(QPen(QColor(64, 255, 64), 1));
    painter.setBrush(Qt::NoBrush);
    const double radius = std::max(6.0, 4 * s);
    painter.drawEllipse(widget_point(*focus_mark_), radius, radius);
  }
}

void FrameView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    emit star_choice_cleared();
    return;
  }
  if (event->button() != Qt::LeftButton || frame_ == nullptr || !*frame_) return;
  const double s = scale();
  const QPointF at = event->position() / s;
  const QSize frame = frame_size();
  if (at.x() >= frame.width() || at.y() >= frame.height()) return;
  emit star_chosen(at.x() - 0.5, at.y() + 0.5);
}

}  // namespace noctra
