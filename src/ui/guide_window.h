#pragma once
// The guide window: the latest guide frame, unscaled, with a marker at the
// chosen guide star (green) and one at its current centroid (red). A
// right-click chooses the guide star.

#include <QWidget>
#include <cstdint>
#include <functional>

#include "imaging/frame_image.h"

namespace noctra {

inline constexpr int kPictureWidth = 640;
inline constexpr int kPictureHeight = 480;

class GuideWindow : public QWidget {
  Q_OBJECT

 public:
  // frame is the sequencer's guide frame, which the markers are drawn into.
  // on_close runs when the window manager closes the window: that ends the
  // program.
  GuideWindow(FrameHolder& frame, std::function<void()> on_close);

  int32_t guide_x() const { return guide_x_; }
  int32_t guide_y() const { return guide_y_; }
  void guide_right_click(int32_t x, int32_t y);
  // Paint now, before the guide capture returns.
  void repaint_now();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  FrameHolder& frame_;
  std::function<void()> on_close_;
  // Where the user chose the star; starts at the middle of a 640 x 480 frame
  // and is never saved.
  int32_t guide_x_ = kPictureWidth / 2;
  int32_t guide_y_ = kPictureHeight / 2;
};

}  // namespace noctra
