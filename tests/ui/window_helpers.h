#pragma once
// Helpers of the window tests: a scripted file dialog, and actions run from
// inside whichever event loop is current.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/save_file_chooser.h"

namespace noctra::testing {

// Answers the file dialog with a fixed reply and remembers what it was asked.
class ScriptedChooser : public SaveFileChooser {
 public:
  std::optional<std::string> reply;
  std::vector<std::string> asked;
  std::optional<std::string> browse_output_path(QWidget*, const std::string& initial) override {
    asked.push_back(initial);
    return reply;
  }
};

// Runs action from inside whichever event loop is current once cond holds
// (a modal dialog's, or the wait of an acquisition).
inline void when(std::function<bool()> cond, std::function<void()> action) {
  auto* poll = new QTimer;
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, [poll, cond, action] {
    if (!cond()) return;
    poll->stop();
    poll->deleteLater();
    action();
  });
  poll->start();
}

// Runs action on the next modal dialog as soon as it is up.
inline void when_modal_opens(std::function<void(QWidget*)> action) {
  when([] { return QApplication::activeModalWidget() != nullptr; },
       [action] { action(QApplication::activeModalWidget()); });
}

}  // namespace noctra::testing
