#include "ui/guide_window.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPainter>

#include "imaging/guide_star.h"
#include "ui/frame_painting.h"
#include "ui/pictures.h"

namespace noctra {

GuideWindow::GuideWindow(FrameHolder& frame, std::function<void()> on_close)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint), frame_(frame),
      on_close_(std::move(on_close)) {
  setWindowTitle(QStringLiteral("NoctraGuide"));
  setWindowIcon(program_icon());
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  resize(660, 520);
}

void GuideWindow::paintEvent(QPaintEvent*) {
  if (!frame_) return;
  FrameImage& frame = *frame_;
  const int32_t height = frame.height();
  // The markers go into the frame itself; the locator reads only the blue
  // byte, which they never touch, so marking does not move the star.
  draw_guide_marker(frame, guide_x_, height - guide_y_, kGuideMarkerGreen);
  int32_t located_x = guide_x_;
  int32_t located_y = guide_y_;
  locate_guide_star(frame, guide_x_, guide_y_, located_x, located_y);
  draw_guide_marker(frame, located_x, height - located_y, kGuideMarkerRed);
  QPainter painter(this);
  draw_frame_unscaled(painter, frame, QPoint(0, 0));
}

void GuideWindow::guide_right_click(int32_t x, int32_t y) {
  if (!frame_) return;
  locate_guide_star(*frame_, x, y, guide_x_, guide_y_);
  update();
}

void GuideWindow::repaint_now() { repaint(); }

void GuideWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const QPoint at = event->position().toPoint();
  guide_right_click(at.x(), at.y());
}

void GuideWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (on_close_) on_close_();
}

}  // namespace noctra
