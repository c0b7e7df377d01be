#pragma once
// A writer wired to a recording reporter, a counting numbering step and a
// folder of its own.

#include <functional>
#include <string>
#include <vector>

#include "output/avi_writer.h"
#include "output/readers.h"

namespace noctra::test {

class RecordingReporter final : public ErrorReporter {
 public:
  void show_error(const std::string& text) override {
    messages.push_back(text);
    if (while_shown) while_shown();
  }
  std::vector<std::string> messages;
  // Runs while the message is up, as the user's Stop would in the GUI.
  std::function<void()> while_shown;
};

struct WriterRig {
  explicit WriterRig(AviLimits limits = {}, WriterIo& io = posix_writer_io(),
                     const std::string& name = "Images.avi")
      : writer(settings, reporter, [this](std::string& path) { return number(path); }, io, limits) {
    settings.image_file_path = folder.file(name);
  }

  bool number(std::string& path) {
    ++numbering_calls;
    return numbering ? numbering(path) : true;
  }

  TempFolder folder;
  Settings settings;
  RecordingReporter reporter;
  int numbering_calls = 0;
  std::function<bool(std::string&)> numbering;
  AviWriter writer;
};

}  // namespace noctra::test
