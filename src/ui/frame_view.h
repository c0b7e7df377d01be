#pragma once

#include <QImage>
#include <QWidget>

#include "imaging/frame_image.h"
#include "imaging/levels.h"

namespace noctra {

// The area below the toolbar: the main frame, unscaled, top-left. With the
// display stretch on (off by default) the frame's levels are mapped through a
// table into a display copy, so faint stars show; the frame itself is never
// changed. The table comes from the levels measured off the window thread
// (set_stretch_levels): a new frame is drawn through the last one until its
// own arrive.
class FrameView : public QWidget {
  Q_OBJECT

 public:
  explicit FrameView(QWidget* parent);
  QSize sizeHint() const override;
  // The holder to paint from, kept: the sequencer's main frame.
  void set_frame(const FrameHolder* frame) { frame_ = frame; }
  void set_stretch(bool on);
  bool stretch() const { return stretch_; }
  void set_stretch_levels(const StretchLevels& levels);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const FrameHolder* frame_ = nullptr;
  bool stretch_ = false;
  QImage stretched_;  // reused from paint to paint
  StretchTable table_{};
};

}  // namespace noctra
