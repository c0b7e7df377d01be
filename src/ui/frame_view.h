#pragma once
// The main frame as the window shows it.

#include <QImage>
#include <QPointF>
#include <QWidget>
#include <optional>

#include "imaging/frame_image.h"
#include "imaging/levels.h"

namespace noctra {

// The zoom steps of the View menu: 0 fits the frame into the window, the
// others show each frame pixel as that many screen pixels.
inline constexpr int kZoomFit = 0;
inline constexpr int kZoomSteps[] = {kZoomFit, 1, 2, 4};

// The area below the toolbar: the main frame, top-left, unscaled by default
// (zoom 1), on the window colour. With the display stretch on (off by
// default) the frame's levels are mapped through a table into a display copy,
// so faint stars show; the frame itself is never changed. The table comes
// from the levels measured off the window thread (set_stretch_levels): a new
// frame is drawn through the last one until its own arrive.
//
// Zoomed in, the view is as large as the zoomed frame and the scroll area
// around it gives it scroll bars. A left click on the frame chooses the
// focus star there (star_chosen, in guide coordinates: x the column, y the
// frame height minus the stored row); a right click gives the choice up.
class FrameView : public QWidget {
  Q_OBJECT

 public:
  explicit FrameView(QWidget* parent);
  QSize sizeHint() const override;
  // The holder to paint from, kept: the sequencer's main frame, or another
  // window's (a calibrated or stacked frame).
  void set_frame(const FrameHolder* frame);
  void set_stretch(bool on);
  bool stretch() const { return stretch_; }
  void set_stretch_levels(const StretchLevels& levels);

  void set_zoom(int zoom);
  int zoom() const { return zoom_; }
  // Screen pixels per frame pixel as painted now.
  double scale() const;
  void set_centre_cross(bool on);
  bool centre_cross() const { return centre_cross_; }
  // A ring around the chosen focus star (guide coordinates); nothing: none.
  void set_focus_mark(std::optional<QPointF> star);
  // The widget point that shows the frame point (guide coordinates).
  QPointF widget_point(QPointF star) const;

 signals:
  void star_chosen(double x, double y);
  void star_choice_cleared();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  QSize frame_size() const;
  // The minimum size follows the zoomed frame, so the scroll area scrolls.
  void fit_size();
  const QImage& stretched(const FrameImage& frame);

  const FrameHolder* frame_ = nullptr;
  bool stretch_ = false;
  QImage stretched_;  // reused from paint to paint
  StretchTable table_{};
  int zoom_ = 1;
  bool centre_cross_ = false;
  std::optional<QPointF> focus_mark_;
  QSize sized_for_;
};

}  // namespace noctra
