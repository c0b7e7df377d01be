#pragma once
// The Star window: numbers and plots for focusing and guiding. For the guide
// star its sub-pixel position, its drift from the chosen guide position, SNR
// and HFD, with the drift over the recent guide frames; for the main frame
// the HFD and FWHM of its brightest star with their history, and the
// frame's histogram. It also switches the main view's display stretch.
//
// It shows what FrameAnalysis measured off the window thread, and only while
// it is shown, so the Star window never delays the capture.

#include <QList>
#include <QPointF>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "app/frame_analysis.h"

class QCheckBox;
class QLabel;
class QLineSeries;
class QValueAxis;
class QChart;

namespace noctra {

// Guide and main frames kept in the plots.
inline constexpr int kStarHistoryFrames = 200;

class StarWindow : public QWidget {
  Q_OBJECT

 public:
  // on_stretch runs when the stretch box is ticked or cleared.
  explicit StarWindow(std::function<void(bool)> on_stretch, QWidget* parent = nullptr);

  // The measurements of a guide frame (against the guide position chosen
  // then) and of a main frame; the plots count the frames by their numbers.
  void show_guide(const GuideFrameAnalysis& guide);
  void show_main(const MainFrameAnalysis& main);

  QCheckBox* stretch_box() const { return stretch_; }
  QLabel* guide_label() const { return guide_text_; }
  QLabel* main_label() const { return main_text_; }
  QLineSeries* drift_x_series() const { return drift_x_; }
  QLineSeries* drift_y_series() const { return drift_y_; }
  QLineSeries* hfd_series() const { return hfd_; }
  QLineSeries* fwhm_series() const { return fwhm_; }
  QLineSeries* histogram_series() const { return histogram_; }
  QList<QChart*> charts() const { return {drift_chart_, focus_chart_, histogram_chart_}; }

 private:
  static void append_point(QList<QPointF>& points, double x, double y);
  static void fit_axes(QChart* chart, const QList<QPointF>& a, const QList<QPointF>& b,
                       double min_span);

  std::function<void(bool)> on_stretch_;
  QCheckBox* stretch_ = nullptr;
  QLabel* guide_text_ = nullptr;
  QLabel* main_text_ = nullptr;
  QChart* drift_chart_ = nullptr;
  QChart* focus_chart_ = nullptr;
  QChart* histogram_chart_ = nullptr;
  QLineSeries* drift_x_ = nullptr;
  QLineSeries* drift_y_ = nullptr;
  QLineSeries* hfd_ = nullptr;
  QLineSeries* fwhm_ = nullptr;
  QLineSeries* histogram_ = nullptr;
  QList<QPointF> drift_x_points_, drift_y_points_, hfd_points_, fwhm_points_;
};

}  // namespace noctra
