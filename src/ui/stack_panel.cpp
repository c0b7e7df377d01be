#include "ui/stack_panel.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "config/platform.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/view_options.h"

namespace noctra {

namespace {

constexpr int kPlotFrames = 200;
constexpr int kNoteMs = 10000;

// The shift as the stack's CSV gives it: y down the picture.
double shown_dy(const StackFrameReport& report) { return -report.transform.dy; }

bool aligned(const StackFrameReport& report) {
  return report.matched > 0 && report.verdict != FrameVerdict::Dropped &&
         report.verdict != FrameVerdict::Size && report.verdict != FrameVerdict::NoStars;
}

int64_t judged(const VerdictCounts& counts) {
  return std::accumulate(counts.counts.begin(), counts.counts.end(), int64_t{0});
}

}  // namespace

ShiftPlot::ShiftPlot(QWidget* parent) : QWidget(parent) {
  setMinimumSize(380, 180);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

void ShiftPlot::set_frames(std::vector<StackFrameReport> frames) {
  frames_ = std::move(frames);
  update();
}

void ShiftPlot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = QRectF(rect()).adjusted(40, 20, -12, -20);
  painter.drawText(QRectF(rect()).adjusted(40, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("Shift (px) over frames: dx %1, dy %2")
                       .arg(plot_colour_name(PlotInk::First), plot_colour_name(PlotInk::Second)));
  if (frames_.empty()) return;
  double low = -1, high = 1;
  for (const StackFrameReport& report : frames_) {
    if (!aligned(report)) continue;
    low = std::min({low, report.transform.dx, shown_dy(report)});
    high = std::max({high, report.transform.dx, shown_dy(report)});
  }
  const double first = static_cast<double>(frames_.front().frame);
  const double span = std::max(1.0, static_cast<double>(frames_.back().frame) - first);
  const auto x_of = [&](const StackFrameReport& r) {
    return area.left() + (static_cast<double>(r.frame) - first) / span * area.width();
  };
  const auto y_of = [&](double value) {
    return area.bottom() - (value - low) / (high - low) * area.height();
  };
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(QRectF(0, area.top() - 8, 36, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(high, 'f', 1));
  painter.drawText(QRectF(0, area.bottom() - 8, 36, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(low, 'f', 1));
  painter.drawText(QRectF(area.left(), area.bottom() + 2, area.width(), 16),
                   Qt::AlignLeft | Qt::AlignTop, QString::number(frames_.front().frame));
  painter.drawText(QRectF(area.left(), area.bottom() + 2, area.width(), 16),
                   Qt::AlignRight | Qt::AlignTop, QString::number(frames_.back().frame));
  painter.drawRect(area);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath dx, dy;
  for (const StackFrameReport& report : frames_) {
    if (!stacked(report.verdict)) {
      painter.setPen(plot_colour(PlotInk::Mark));
      painter.drawLine(QPointF(x_of(report), area.bottom()),
                       QPointF(x_of(report), area.bottom() - 6));
      continue;
    }
    const QPointF at_dx(x_of(report), y_of(report.transform.dx));
    const QPointF at_dy(x_of(report), y_of(shown_dy(report)));
    if (dx.elementCount() == 0) {
      dx.moveTo(at_dx);
      dy.moveTo(at_dy);
    } else {
      dx.lineTo(at_dx);
      dy.lineTo(at_dy);
    }
  }
  painter.setPen(QPen(plot_colour(PlotInk::First), 1.5));
  painter.drawPath(dx);
  painter.setPen(QPen(plot_colour(PlotInk::Second), 1.5));
  painter.drawPath(dy);
}

StackPanel::StackPanel(std::function<void()> on_reset, std::function<void()> on_save,
                       QWidget* parent)
    : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Noctra Stack"));
  setWindowIcon(program_icon());
  counts_ = new QLabel(QStringLiteral("No frame stacked yet"), this);
  last_ = new QLabel(QString(), this);
  for (QLabel* label : {counts_, last_}) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
  }
  plot_ = new ShiftPlot(this);
  reset_ = new QPushButton(QStringLiteral("&Reset"), this);
  save_ = new QPushButton(QStringLiteral("&Save"), this);
  reset_->setToolTip(QStringLiteral("Start a new stack from the next frame"));
  save_->setToolTip(QStringLiteral("Write the stack's FITS, PNG and CSV beside the recording"));
  connect(reset_, &QPushButton::clicked, this, [on_reset = std::move(on_reset)] { on_reset(); });
  connect(save_, &QPushButton::clicked, this, [on_save = std::move(on_save)] { on_save(); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(reset_);
  buttons->addWidget(save_);
  buttons->addStretch();
  auto* column = new QVBoxLayout(this);
  column->addWidget(counts_);
  column->addWidget(last_);
  column->addWidget(plot_, 1);
  column->addLayout(buttons);
  // Room for the longest lines and the plot, as wrapped text does not
  // make a window grow.
  resize(480, 440);
}

void StackPanel::show_status(const StackSessionStatus& status,
                             std::vector<StackFrameReport> recent) {
  const VerdictCounts& counts = status.counts;
  QString text = QStringLiteral("Frames stacked: %1, left out: %2")
                     .arg(counts.stacked())
                     .arg(counts.left_out());
  if (counts.left_out() > 0) {
    text += QStringLiteral(" (%1)").arg(QString::fromStdString(counts.left_out_text()));
  }
  text += QStringLiteral("\nTotal integration: %1 s").arg(status.integration_s, 0, 'f', 1);
  if (!status.recording.empty()) {
    text += QStringLiteral("\nFor: %1").arg(QString::fromStdString(status.recording));
  }
  counts_->setText(text);
  if (!status.last) {
    last_->clear();
  } else if (const StackFrameReport& r = *status.last; aligned(r)) {
    last_->setText(QStringLiteral("Last frame %1 (%2): shift %3, %4 px, rotation %5°, "
                                  "residual %6 px, %7 of %8 stars matched")
                       .arg(r.frame)
                       .arg(stacked(r.verdict) ? QStringLiteral("stacked")
                                               : QString::fromLatin1(frame_verdict_text(r.verdict)))
                       .arg(r.transform.dx, 0, 'f', 2)
                       .arg(shown_dy(r), 0, 'f', 2)
                       .arg(r.transform.rotation * 180 / M_PI, 0, 'f', 3)
                       .arg(r.residual_px, 0, 'f', 2)
                       .arg(r.matched)
                       .arg(r.stars));
  } else {
    last_->setText(QStringLiteral("Last frame %1: %2, %3 stars")
                       .arg(r.frame)
                       .arg(stacked(r.verdict) ? QStringLiteral("the reference")
                                               : QString::fromLatin1(frame_verdict_text(r.verdict)))
                       .arg(r.stars));
  }
  plot_->set_frames(std::move(recent));
}

StackControls::StackControls(LiveStack& live, QMainWindow& window, FrameView& view, QMenu& options,
                             ErrorReporter& errors)
    : QObject(&window), live_(live), window_(window), view_(view), errors_(errors) {
  // The saves' notes go to the status line: made now, so the window is laid
  // out with it.
  window_.statusBar();
  live_action_ = options.addAction(QStringLiteral("Live s&tack"));
  live_action_->setCheckable(true);
  live_action_->setChecked(live_.on());
  connect(live_action_, &QAction::toggled, this, [this](bool on) { switch_view(on); });
  panel_ = new StackPanel([this] { live_.reset(); }, [this] { live_.save(); }, &window);
  panel_action_ = options.addAction(QStringLiteral("Stack &panel"));
  connect(panel_action_, &QAction::triggered, this, [this] {
    if (!panel_->isVisible()) {
      // Beside the main window, its bottom edge level with the main window's.
      const QRect main = window_.frameGeometry();
      panel_->move(main.right() + 1,
                   std::max(main.top(), main.bottom() - panel_->frameGeometry().height()));
      frames_shown_ = -1;
    }
    panel_->show();
    panel_->raise();
    refresh();
  });
}

const FrameHolder* StackControls::view_of(const FrameHolder* raw) {
  raw_ = raw;
  return live_.on() && stack_view_ ? &stack_view_ : raw;
}

void StackControls::switch_view(bool on) {
  live_.set_on(on);
  show_view();
  view_.update();
}

void StackControls::show_view() { view_.set_frame(view_of(raw_)); }

void StackControls::refresh() {
  live_.settle();
  for (const StackSaveOutcome& saved : live_.take_saved()) {
    window_.statusBar()->showMessage(QString::fromStdString(saved.text), kNoteMs);
    // The box waits in an event loop of its own: not inside this update.
    if (!saved.ok) {
      QTimer::singleShot(0, this, [this, text = saved.text] { errors_.show_error(text); });
    }
  }
  if (live_.on() && live_.session().copy_view(stack_view_, view_seen_)) {
    show_view();
    view_.repaint();
  }
  if (!panel_->isVisible()) return;
  const StackSessionStatus status = live_.session().status();
  const int64_t frames = judged(status.counts);
  if (frames == frames_shown_) return;
  frames_shown_ = frames;
  panel_->show_status(status, live_.session().recent_frames(kPlotFrames));
}

}  // namespace noctra
