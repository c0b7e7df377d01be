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

WindowPlaces first_places(const QRect& screen, QPoint main_at, QSize main_frame,
                          int main_controls, QSize guide_frame, QSize star_frame) {
  WindowPlaces places;
  places.main = QRect(main_at, main_frame);
  // Beside the window before when there is room, else below the main
  // window's menu and toolbar: never over them.
  const auto next_to = [&](int right_of, QSize frame) {
    if (right_of + frame.width() <= screen.right() + 1) return QPoint(right_of, main_at.y());
    const QPoint below = within(screen, QPoint(right_of, main_at.y() + main_controls), frame);
    return QPoint(below.x(), std::max(below.y(), main_at.y() + main_controls));
  };
  places.guide = next_to(main_at.x() + main_frame.width(), guide_frame);
  const QPoint star_at = next_to(places.guide.x() + guide_frame.width(), star_frame);
  places.star = QRect(star_at, star_frame);
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
