#pragma once

#include <QDialog>

namespace noctra {

inline constexpr int kAboutDeviceLine = 1017;

// The About box: product line, description, capture device and copyright.
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent);
};

}  // namespace noctra
