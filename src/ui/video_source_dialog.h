#pragma once

#include <QDialog>

class QComboBox;
class QLabel;

namespace noctra {

class GuiCore;

// Video Source: chooses the capture device (or the simulated camera) and the
// camera port.
class VideoSourceDialog : public QDialog {
  Q_OBJECT

 public:
  VideoSourceDialog(GuiCore& core, QWidget* parent);

  QComboBox* source_box() const { return source_box_; }
  QComboBox* port_box() const { return port_box_; }
  void accept() override;

 private:
  GuiCore& core_;
  QComboBox* source_box_ = nullptr;
  QComboBox* port_box_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace noctra
