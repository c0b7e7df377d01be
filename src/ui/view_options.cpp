#include "ui/view_options.h"

#include <QAbstractAxis>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QChart>
#include <QLegend>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPalette>
#include <QToolBar>

#include "ui/frame_view.h"

namespace noctra {

namespace {

const QColor kNightText(200, 30, 30);
const QColor kNightDim(110, 0, 0);
const QColor kNightFace(40, 0, 0);
const QColor kNightBlack(0, 0, 0);

QPalette night_palette() {
  QPalette palette;
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::Window, kNightBlack);
    palette.setColor(group, QPalette::Base, kNightBlack);
    palette.setColor(group, QPalette::AlternateBase, kNightFace);
    palette.setColor(group, QPalette::Button, kNightFace);
    palette.setColor(group, QPalette::WindowText, kNightText);
    palette.setColor(group, QPalette::Text, kNightText);
    palette.setColor(group, QPalette::ButtonText, kNightText);
    palette.setColor(group, QPalette::BrightText, kNightText);
    palette.setColor(group, QPalette::ToolTipBase, kNightFace);
    palette.setColor(group, QPalette::ToolTipText, kNightText);
    palette.setColor(group, QPalette::PlaceholderText, kNightDim);
    palette.setColor(group, QPalette::Highlight, kNightDim);
    palette.setColor(group, QPalette::HighlightedText, kNightBlack);
    palette.setColor(group, QPalette::Link, kNightText);
    for (const QPalette::ColorRole role :
         {QPalette::Light, QPalette::Midlight, QPalette::Mid, QPalette::Dark, QPalette::Shadow}) {
      // Borders (of check boxes, frames, scroll bars) in the dim red, so they
      // show on black.
      const bool border = role == QPalette::Light || role == QPalette::Mid || role == QPalette::Dark;
      palette.setColor(group, role, border ? kNightDim : kNightFace);
    }
  }
  for (const QPalette::ColorRole role :
       {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::Light}) {
    palette.setColor(QPalette::Disabled, role, QColor(70, 0, 0));
  }
  for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
    palette.setColor(QPalette::Disabled, role, role == QPalette::Button ? kNightFace : kNightBlack);
  }
  return palette;
}

// A toolbar picture in shades of dark red: its grey face goes black.
QIcon night_icon(const QIcon& day) {
  QImage image = day.pixmap(QSize(16, 15)).toImage().convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      const bool face = c.red() == 192 && c.green() == 192 && c.blue() == 192;
      const int level = face ? 0 : 60 + std::max({c.red(), c.green(), c.blue()}) * 150 / 255;
      image.setPixelColor(x, y, QColor(level, 0, 0, c.alpha()));
    }
  }
  return QIcon(QPixmap::fromImage(image));
}

void paint_chart(QChart& chart, bool night) {
  chart.setTheme(QChart::ChartThemeLight);
  if (!night) return;
  chart.setBackgroundBrush(kNightBlack);
  chart.setPlotAreaBackgroundVisible(false);
  chart.setTitleBrush(kNightText);
  chart.legend()->setLabelColor(kNightText);
  for (QAbstractAxis* axis : chart.axes()) {
    axis->setLabelsColor(kNightText);
    axis->setLinePenColor(kNightDim);
    axis->setGridLineColor(kNightFace);
    axis->setTitleBrush(kNightText);
  }
  const QColor series_colours[] = {plot_colour(PlotInk::First), plot_colour(PlotInk::Second)};
  int k = 0;
  for (QAbstractSeries* series : chart.series()) {
    if (auto* line = qobject_cast<QLineSeries*>(series)) line->setColor(series_colours[k++ % 2]);
  }
}

}  // namespace

ViewActions add_view_menu(QMenuBar& bar, QAction* before, FrameView& view,
                          std::function<void()> changed) {
  auto* menu = new QMenu(QStringLiteral("&View"), &bar);
  bar.insertMenu(before, menu);
  ViewActions actions;
  auto* group = new QActionGroup(menu);
  const struct {
    int zoom;
    const char* text;
    QKeySequence keys;
  } steps[] = {{kZoomFit, "&Fit to window", QKeySequence(Qt::CTRL | Qt::Key_0)},
               {1, "&100 %", QKeySequence(Qt::CTRL | Qt::Key_1)},
               {2, "&200 %", QKeySequence(Qt::CTRL | Qt::Key_2)},
               {4, "&400 %", QKeySequence(Qt::CTRL | Qt::Key_4)}};
  for (const auto& step : steps) {
    QAction* action = menu->addAction(QString::fromUtf8(step.text));
    action->setCheckable(true);
    action->setShortcut(step.keys);
    action->setChecked(view.zoom() == step.zoom);
    group->addAction(action);
    QObject::connect(action, &QAction::triggered, menu, [&view, changed, zoom = step.zoom] {
      view.set_zoom(zoom);
      if (changed) changed();
    });
    actions.zoom[step.zoom] = action;
  }
  menu->addSeparator();
  actions.centre_cross = menu->addAction(QStringLiteral("&Centre cross"));
  actions.centre_cross->setCheckable(true);
  actions.centre_cross->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
  QObject::connect(actions.centre_cross, &QAction::toggled, menu, [&view, changed](bool on) {
    view.set_centre_cross(on);
    if (changed) changed();
  });
  return actions;
}

QImage preview_button_image() {
  QImage image(16, 15, QImage::Format_RGB32);
  image.fill(QColor(192, 192, 192));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0, 96, 0), 1.4));
  painter.setBrush(Qt::white);
  painter.drawEllipse(QRectF(1.5, 3.5, 13, 8));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 128, 0));
  painter.drawEllipse(QPointF(8, 7.5), 2.6, 2.6);
  return image;
}

namespace {
bool night_on = false;
}  // namespace

namespace {

// Each ink by day and by night, with the name its legend gives it.
struct Ink {
  QColor day, night;
  const char* day_name;
  const char* night_name;
};

const Ink& ink_of(PlotInk ink) {
  static const Ink inks[] = {{QColor(Qt::blue), kNightText, "blue", "bright red"},
                             {QColor(Qt::darkGreen), QColor(130, 40, 40), "green", "dark red"},
                             {QColor(Qt::red), kNightText, "red", "bright red"}};
  return inks[static_cast<int>(ink)];
}

}  // namespace

QColor plot_colour(PlotInk ink) { return night_on ? ink_of(ink).night : ink_of(ink).day; }

QString plot_colour_name(PlotInk ink) {
  return QString::fromLatin1(night_on ? ink_of(ink).night_name : ink_of(ink).day_name);
}

void apply_night_mode(bool on, const QPalette& day, QToolBar& toolbar,
                      const QList<QChart*>& charts) {
  night_on = on;
  QApplication::setPalette(on ? night_palette() : day);
  // The style draws a check box's frame from the window colour, which is
  // black by night: the box gets a red frame, filled when checked.
  qApp->setStyleSheet(on ? QStringLiteral("QCheckBox { color: %1; }"
                                          "QCheckBox::indicator { width: 11px; height: 11px; "
                                          "border: 1px solid %2; background: %3; }"
                                          "QCheckBox::indicator:checked { background: %1; }")
                                .arg(kNightText.name(), kNightDim.name(), kNightBlack.name())
                         : QString());
  for (QAction* action : toolbar.actions()) {
    if (!action->property("day_icon").isValid()) {
      action->setProperty("day_icon", QVariant::fromValue(action->icon()));
    }
    const QIcon day = action->property("day_icon").value<QIcon>();
    action->setIcon(on ? night_icon(day) : day);
  }
  for (QChart* chart : charts) paint_chart(*chart, on);
}

}  // namespace noctra
