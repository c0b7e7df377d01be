#pragma once
// The writer's "Error" box: a message box without owner that leaves the main
// window usable while it is up, waited for in a local event loop.

#include <QMessageBox>
#include <QPointer>
#include <string>

#include "config/platform.h"

namespace noctra {

class MessageBoxErrorReporter : public ErrorReporter {
 public:
  void show_error(const std::string& text) override;
  // The box while it is up, else null.
  QMessageBox* open_box() const { return open_box_; }

 private:
  QPointer<QMessageBox> open_box_;
};

}  // namespace noctra
