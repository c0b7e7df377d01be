#include "ui/pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace noctra {

namespace {

const QColor kButtonGrey(192, 192, 192);

}  // namespace

QImage button_image(ButtonImage which) {
  QImage image(kButtonImageWidth, kButtonImageHeight, QImage::Format_RGB32);
  image.fill(kButtonGrey);
  QPainter painter(&image);
  switch (which) {
    case ButtonImage::Record:
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(QColor(128, 0, 0));
      painter.setBrush(QColor(255, 0, 0));
      painter.drawEllipse(QRectF(2.5, 2.0, 11.0, 11.0));
      break;
    case ButtonImage::Stop:
      painter.fillRect(QRect(3, 2, 10, 10), Qt::black);
      break;
    case ButtonImage::Pause:
      painter.fillRect(QRect(4, 2, 3, 11), Qt::black);
      painter.fillRect(QRect(9, 2, 3, 11), Qt::black);
      break;
    case ButtonImage::Setup:
      painter.fillRect(QRect(1, 2, 14, 11), Qt::white);
      painter.fillRect(QRect(1, 2, 14, 3), QColor(0, 0, 128));
      painter.setPen(Qt::black);
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(QRect(1, 2, 13, 10));
      break;
  }
  return image;
}

QImage button_strip() {
  QImage strip(4 * kButtonImageWidth, kButtonImageHeight, QImage::Format_RGB32);
  QPainter painter(&strip);
  for (int i = 0; i < 4; ++i) {
    painter.drawImage(i * kButtonImageWidth, 0, button_image(static_cast<ButtonImage>(i)));
  }
  return strip;
}

QImage program_icon_image(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  // Night sky disc with a few stars and a guide marker around the brightest.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(12, 18, 48));
  painter.drawEllipse(QRectF(0.03 * s, 0.03 * s, 0.94 * s, 0.94 * s));
  painter.setBrush(QColor(255, 255, 230));
  const qreal stars[][3] = {{0.30, 0.32, 0.035},
                            {0.68, 0.26, 0.025},
                            {0.25, 0.70, 0.02},
                            {0.72, 0.72, 0.03},
                            {0.50, 0.50, 0.06}};
  for (const auto& star : stars) {
    const qreal r = std::max<qreal>(star[2] * s, 0.8);
    painter.drawEllipse(QPointF(star[0] * s, star[1] * s), r, r);
  }
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor(0, 200, 0), std::max<qreal>(0.04 * s, 1.0)));
  painter.drawRect(QRectF(0.38 * s, 0.38 * s, 0.24 * s, 0.24 * s));
  return image;
}

QIcon program_icon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128})
    icon.addPixmap(QPixmap::fromImage(program_icon_image(size)));
  return icon;
}

}  // namespace noctra
