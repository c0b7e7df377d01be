#include "ui/star_window.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "ui/pictures.h"

namespace noctra {

namespace {

QChart* make_chart(const QString& title, QLineSeries* a, QLineSeries* b) {
  auto* chart = new QChart;
  chart->setTitle(title);
  chart->addSeries(a);
  if (b) chart->addSeries(b);
  chart->createDefaultAxes();
  chart->legend()->setVisible(b != nullptr);
  chart->setMargins(QMargins(2, 2, 2, 2));
  return chart;
}

QChartView* make_view(QChart* chart, QWidget* parent) {
  auto* view = new QChartView(chart, parent);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(420, 200);
  return view;
}

QLineSeries* named_series(const QString& name) {
  auto* series = new QLineSeries;
  series->setName(name);
  return series;
}

}  // namespace

StarWindow::StarWindow(std::function<void(bool)> on_stretch, QWidget* parent)
    : QWidget(parent, Qt::Window), on_stretch_(std::move(on_stretch)) {
  setWindowTitle(QStringLiteral("Noctra Star"));
  setWindowIcon(program_icon());

  guide_text_ = new QLabel(QStringLiteral("Guide star: no guide frame yet"), this);
  main_text_ = new QLabel(QStringLiteral("Main frame: no frame yet"), this);
  for (QLabel* label : {guide_text_, main_text_}) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(420);
  }
  stretch_ = new QCheckBox(QStringLiteral("&Stretch the main view (display only)"), this);
  connect(stretch_, &QCheckBox::toggled, this, [this](bool on) {
    if (on_stretch_) on_stretch_(on);
  });

  drift_x_ = named_series(QStringLiteral("dx"));
  drift_y_ = named_series(QStringLiteral("dy"));
  hfd_ = named_series(QStringLiteral("HFD"));
  fwhm_ = named_series(QStringLiteral("FWHM"));
  histogram_ = named_series(QStringLiteral("count"));
  drift_chart_ =
      make_chart(QStringLiteral("Guide drift (px) over guide frames"), drift_x_, drift_y_);
  focus_chart_ =
      make_chart(QStringLiteral("Focus: HFD and FWHM (px) over main frames"), hfd_, fwhm_);
  histogram_chart_ = make_chart(QStringLiteral("Main frame histogram (log10 count per level)"),
                                histogram_, nullptr);
  fit_axes(drift_chart_, {}, {}, 2);
  fit_axes(focus_chart_, {}, {}, 2);
  fit_axes(histogram_chart_, {}, {}, 1);

  auto* grid = new QGridLayout(this);
  grid->addWidget(guide_text_, 0, 0);
  grid->addWidget(make_view(drift_chart_, this), 1, 0);
  grid->addWidget(main_text_, 0, 1);
  grid->addWidget(make_view(focus_chart_, this), 1, 1);
  grid->addWidget(stretch_, 2, 0);
  grid->addWidget(make_view(histogram_chart_, this), 2, 1);
}

void StarWindow::append_point(QList<QPointF>& points, double x, double y) {
  points.append(QPointF(x, y));
  if (points.size() > kStarHistoryFrames) points.removeFirst();
}

void StarWindow::fit_axes(QChart* chart, const QList<QPointF>& a, const QList<QPointF>& b,
                          double min_span) {
  const auto axes_x = chart->axes(Qt::Horizontal);
  const auto axes_y = chart->axes(Qt::Vertical);
  if (axes_x.isEmpty() || axes_y.isEmpty()) return;
  double x0 = 0, x1 = 1, y0 = 0, y1 = 0;
  bool any = false;
  for (const QList<QPointF>* points : {&a, &b}) {
    for (const QPointF& p : *points) {
      if (!any) {
        x0 = x1 = p.x();
        y0 = y1 = p.y();
        any = true;
      }
      x0 = std::min(x0, p.x());
      x1 = std::max(x1, p.x());
      y0 = std::min(y0, p.y());
      y1 = std::max(y1, p.y());
    }
  }
  if (x1 <= x0) x1 = x0 + 1;
  // A small span is widened around its middle, so noise does not fill the plot.
  if (y1 - y0 < min_span) {
    const double middle = (y0 + y1) / 2;
    y0 = middle - min_span / 2;
    y1 = middle + min_span / 2;
  }
  axes_x.first()->setRange(x0, x1);
  axes_y.first()->setRange(y0, y1);
}

void StarWindow::show_guide(const GuideFrameAnalysis& guide) {
  const auto index = static_cast<double>(guide.frame);
  const int32_t guide_x = guide.guide_x;
  const int32_t guide_y = guide.guide_y;
  const std::optional<StarMeasurement>& star = guide.star;
  if (!star) {
    guide_text_->setText(
        QStringLiteral("Guide star: none near (%1, %2)").arg(guide_x).arg(guide_y));
    return;
  }
  const double dx = star->x - guide_x;
  const double dy = star->y - guide_y;
  guide_text_->setText(
      QStringLiteral("Guide star at (%1, %2)   dx %3  dy %4 px\nSNR %5   HFD %6 px")
          .arg(star->x, 0, 'f', 2)
          .arg(star->y, 0, 'f', 2)
          .arg(dx, 0, 'f', 2)
          .arg(dy, 0, 'f', 2)
          .arg(star->snr, 0, 'f', 1)
          .arg(star->hfd, 0, 'f', 2));
  append_point(drift_x_points_, index, dx);
  append_point(drift_y_points_, index, dy);
  drift_x_->replace(drift_x_points_);
  drift_y_->replace(drift_y_points_);
  fit_axes(drift_chart_, drift_x_points_, drift_y_points_, 2);
}

void StarWindow::show_main(const MainFrameAnalysis& main) {
  const auto index = static_cast<double>(main.frame);
  QList<QPointF> bars;
  bars.reserve(256);
  for (int level = 0; level < 256; ++level) {
    bars.append(
        QPointF(level, std::log10(1.0 + main.levels.counts[static_cast<std::size_t>(level)])));
  }
  histogram_->replace(bars);
  fit_axes(histogram_chart_, bars, {}, 1);
  histogram_chart_->axes(Qt::Horizontal).first()->setRange(0, 255);

  const std::optional<StarMeasurement>& star = main.star;
  if (!star) {
    main_text_->setText(QStringLiteral("Main frame: no star found"));
    return;
  }
  main_text_->setText(QStringLiteral("%1 at (%2, %3)%4\nHFD %5 px   FWHM %6 px")
                          .arg(main.chosen ? QStringLiteral("Chosen star")
                                           : QStringLiteral("Brightest unsaturated star"))
                          .arg(star->x, 0, 'f', 2)
                          .arg(star->y, 0, 'f', 2)
                          .arg(star->saturated ? QStringLiteral("  saturated") : QString())
                          .arg(star->hfd, 0, 'f', 2)
                          .arg(star->fwhm, 0, 'f', 2));
  append_point(hfd_points_, index, star->hfd);
  append_point(fwhm_points_, index, star->fwhm);
  hfd_->replace(hfd_points_);
  fwhm_->replace(fwhm_points_);
  fit_axes(focus_chart_, hfd_points_, fwhm_points_, 1);
}

}  // namespace noctra
