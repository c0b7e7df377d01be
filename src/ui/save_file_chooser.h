#pragma once
// The "Save images in..." file dialog behind a small interface, so that
// tests can answer it.

#include <functional>
#include <optional>
#include <string>

#include "output/recording_naming.h"

class QWidget;

namespace noctra {

class SaveFileChooser {
 public:
  virtual ~SaveFileChooser() = default;
  // Shows the chooser over owner starting from initial; the chosen path, or
  // nothing when the user cancelled.
  virtual std::optional<std::string> browse_output_path(QWidget* owner,
                                                        const std::string& initial) = 0;
  // The same with the recording formats' filters (recording_file_filters()),
  // `filter` chosen at first; the answer says which filter the user left
  // chosen. A chooser without filters answers as if "All Files" were chosen.
  virtual std::optional<ChooserAnswer> browse_recording_path(QWidget* owner,
                                                             const std::string& initial,
                                                             std::size_t filter);
};

// The desktop's file dialog: title "Save images in...", the AVI and
// all-files filters followed by SER's and FITS's, no overwrite question, and
// the chosen folder must exist.
class FileDialogChooser : public SaveFileChooser {
 public:
  std::optional<std::string> browse_output_path(QWidget* owner,
                                                const std::string& initial) override;
  std::optional<ChooserAnswer> browse_recording_path(QWidget* owner, const std::string& initial,
                                                     std::size_t filter) override;
};

// A chosen name that the extension would make too long: said to the user,
// nothing changes.
void show_path_too_long(QWidget* owner, const std::string& path,
                        std::string_view extension = ".avi");

// The chooser as the naming rules take it, over the given owner.
BrowseRecordingPath browse_with(SaveFileChooser& chooser, QWidget* owner);

}  // namespace noctra
