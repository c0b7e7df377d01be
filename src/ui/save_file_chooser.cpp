#include "ui/save_file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "config/settings.h"
#include "output/naming.h"

namespace noctra {

std::optional<ChooserAnswer> SaveFileChooser::browse_recording_path(QWidget* owner,
                                                                    const std::string& initial,
                                                                    std::size_t) {
  std::optional<std::string> chosen = browse_output_path(owner, initial);
  if (!chosen) return std::nullopt;
  return ChooserAnswer{std::move(*chosen), all_files_filter()};
}

std::optional<std::string> FileDialogChooser::browse_output_path(QWidget* owner,
                                                                 const std::string& initial) {
  std::optional<ChooserAnswer> chosen = browse_recording_path(owner, initial, 0);
  if (!chosen) return std::nullopt;
  return std::move(chosen->path);
}

std::optional<ChooserAnswer> FileDialogChooser::browse_recording_path(QWidget* owner,
                                                                      const std::string& initial,
                                                                      std::size_t filter) {
  QStringList filters;
  for (const ChooserFilter& f : recording_file_filters()) {
    // Qt's "all files" pattern is "*": "*.*" would hide names without a dot.
    const std::string pattern = f.format ? std::string(f.filter.pattern) : "*";
    filters << QString::fromStdString(std::string(f.filter.description) + " (" + pattern + ")");
  }
  QString start = QString::fromStdString(initial);
  for (;;) {
    QFileDialog dialog(owner, QStringLiteral("Save images in..."));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(static_cast<int>(filter), filters.constFirst()));
    const QFileInfo start_info(start);
    if (!start.isEmpty() && start_info.dir().exists()) dialog.setDirectory(start_info.dir());
    dialog.selectFile(start_info.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    const QString chosen = dialog.selectedFiles().constFirst();
    const qsizetype chosen_filter = filters.indexOf(dialog.selectedNameFilter());
    // A settings file holds a path of kMaxPathChars bytes at most: a longer
    // one is refused here, where another name can still be chosen.
    if (chosen.toStdString().size() > kMaxPathChars) {
      QMessageBox::warning(&dialog, QStringLiteral("Save images in..."),
                           QStringLiteral("The name %1 is longer than %2 characters: choose a "
                                          "shorter name or folder.")
                               .arg(chosen)
                               .arg(kMaxPathChars));
      start = chosen.left(static_cast<qsizetype>(kMaxPathChars));
      continue;
    }
    if (QFileInfo(chosen).dir().exists()) {
      return ChooserAnswer{chosen.toStdString(), chosen_filter < 0
                                                     ? all_files_filter()
                                                     : static_cast<std::size_t>(chosen_filter)};
    }
    // The file is created later, when a recording starts: a folder that does
    // not exist then would lose the whole recording.
    QMessageBox::warning(
        &dialog, QStringLiteral("Save images in..."),
        QStringLiteral("The folder %1 does not exist.").arg(QFileInfo(chosen).dir().path()));
    start = chosen;
  }
}

void show_path_too_long(QWidget* owner, const std::string& path, std::string_view extension) {
  QMessageBox::warning(owner, QStringLiteral("Save images in..."),
                       QString::fromStdString(path_too_long_message(path, extension)));
}

BrowseRecordingPath browse_with(SaveFileChooser& chooser, QWidget* owner) {
  return [&chooser, owner](const std::string& initial, std::size_t filter) {
    return chooser.browse_recording_path(owner, initial, filter);
  };
}

}  // namespace noctra
