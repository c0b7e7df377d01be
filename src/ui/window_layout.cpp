#include "ui/window_layout.h"

#include <QWidget>
#include <algorithm>

#include "config/settings.h"

namespace noctra {

namespace {

QPoint within(const QRect& screen, QPoint at, QSize frame) {
  const int x = std::clamp(at.x(), screen.left(),
                           std::max(screen.left(), screen.right() + 1 - frame.width()));
  const int y = std::clamp(at.y(), screen.top(),
                           std::max(screen.top(), screen.bottom() + 1 - frame.height()));
  return {x, y};
}

}  // namespace

WindowPlaces first_places(const QRect& screen, QSize main_frame, QSize guide_frame,
                          QSize star_frame) {
  WindowPlaces places;
  const QPoint main_at = screen.topLeft();
  places.main = QRect(main_at, main_frame);
  places.guide = within(screen, QPoint(main_at.x() + main_frame.width(), main_at.y()), guide_frame);
  const int beside = places.guide.x() + guide_frame.width();
  const QPoint star_at = beside + star_frame.width() <= screen.right() + 1
                             ? QPoint(beside, main_at.y())
                             : QPoint(main_at.x(), main_at.y() + main_frame.height());
  places.star = QRect(within(screen, star_at, star_frame), star_frame);
  return places;
}

bool saved_places(const Settings& settings, const QRect& screen, WindowPlaces& out) {
  if (settings.layout_saved == 0 || settings.main_width <= 0 || settings.main_height <= 0) {
    return false;
  }
  out.main = QRect(settings.main_x, settings.main_y, settings.main_width, settings.main_height);
  out.guide = QPoint(settings.guide_x, settings.guide_y);
  out.star = QRect(settings.star_x, settings.star_y, settings.star_width, settings.star_height);
  // A window whose title bar would be off the screen (a screen unplugged
  // since) is placed afresh.
  const QRect title(out.main.topLeft(), QSize(std::min(out.main.width(), 100), 20));
  return screen.intersects(title);
}

void remember_places(Settings& settings, const QWidget& main, const QWidget& guide,
                     const QWidget& star) {
  settings.layout_saved = 1;
  settings.main_x = main.frameGeometry().x();
  settings.main_y = main.frameGeometry().y();
  settings.main_width = main.width();
  settings.main_height = main.height();
  settings.guide_x = guide.frameGeometry().x();
  settings.guide_y = guide.frameGeometry().y();
  // A Star window never shown has no place of its own yet.
  if (star.testAttribute(Qt::WA_WState_Created)) {
    settings.star_x = star.frameGeometry().x();
    settings.star_y = star.frameGeometry().y();
    settings.star_width = star.width();
    settings.star_height = star.height();
  }
  settings.star_open = star.isVisible() ? 1 : 0;
}

}  // namespace noctra
