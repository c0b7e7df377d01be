#include "ui/save_file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "output/naming.h"


namespace noctra {

std::optional<std::string> FileDialogChooser::browse_output_path(QWidget* owner,
                                                                 const std::string& initial) {
  QString start = QString::fromStdString(initial);
  for (;;) {
    QFileDialog dialog(owner, QStringLiteral("Save images in..."));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters({QStringLiteral("Microsoft AVI (*.avi)"), QStringLiteral("All Files (*)")});
    const QFileInfo start_info(start);
    if (!start.isEmpty() && start_info.dir().exists()) dialog.setDirectory(start_info.dir());
    dialog.selectFile(start_info.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    const QString chosen = dialog.selectedFiles().constFirst();
    if (QFileInfo(chosen).dir().exists()) return chosen.toStdString();
    // The file is created later, when a recording starts: a folder that does
    // not exist then would lose the whole recording.
    QMessageBox::warning(&dialog, QStringLiteral("Save images in..."),
                         QStringLiteral("The folder %1 does not exist.")
                             .arg(QFileInfo(chosen).dir().path()));
    start = chosen;
  }
}

void show_path_too_long(QWidget* owner, const std::string& path) {
  QMessageBox::warning(owner, QStringLiteral("Save images in..."),
                       QString::fromStdString(path_too_long_message(path)));
}

std::function<std::optional<std::string>(const std::string&)> browse_with(SaveFileChooser& chooser,
                                                                        QWidget* owner) {
  return [&chooser, owner](const std::string& initial) {
    return chooser.browse_output_path(owner, initial);
  };
}

}  // namespace noctra
