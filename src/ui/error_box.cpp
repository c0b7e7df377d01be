#include "ui/error_box.h"

#include <QEventLoop>
#include <QMessageBox>

namespace noctra {

void MessageBoxErrorReporter::show_error(const std::string& text) {
  // Owner-less and non-modal: exec() would block every window of the
  // program, the main window's Stop included.
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.setWindowModality(Qt::NonModal);
  QEventLoop wait;
  QObject::connect(&box, &QMessageBox::finished, &wait, &QEventLoop::quit);
  open_box_ = &box;
  box.show();
  wait.exec();
  open_box_ = nullptr;
}

}  // namespace noctra
