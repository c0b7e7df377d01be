#include "camera/still_window.h"

#include <algorithm>
#include <string_view>

namespace noctra {

std::optional<ButtonLocation> find_still_button(std::span<const WindowDescription> z_order) {
  const std::string_view prefix = kStillWindowTitlePrefix;
  for (std::size_t w = 0; w < z_order.size(); ++w) {
    const std::string_view title = std::string_view(z_order[w].title).substr(0, kMaxTitleChars);
    if (title.substr(0, prefix.size()) != prefix) continue;
    const auto& children = z_order[w].children;
    for (std::size_t c = 0; c < children.size(); ++c) {
      if (children[c].class_name == kStillButtonClass && children[c].text == kStillButtonText) {
        return ButtonLocation{w, c};
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

StillWindowRegistry::Registration::Registration(Registration&& other) noexcept
    : registry_(other.registry_), id_(other.id_) {
  other.registry_ = nullptr;
}

StillWindowRegistry::Registration& StillWindowRegistry::Registration::operator=(
    Registration&& other) noexcept {
  if (this != &other) {
    close();
    registry_ = other.registry_;
    id_ = other.id_;
    other.registry_ = nullptr;
  }
  return *this;
}

StillWindowRegistry::Registration::~Registration() { close(); }

void StillWindowRegistry::Registration::close() {
  if (registry_ != nullptr) registry_->close_window(id_);
  registry_ = nullptr;
}

StillWindowRegistry::Registration StillWindowRegistry::open_window(WindowDescription window,
                                                                   std::vector<Press> press_child) {
  press_child.resize(window.children.size());
  const uint64_t id = next_id_++;
  windows_.insert(windows_.begin(), Entry{id, std::move(window), std::move(press_child)});
  return Registration(this, id);
}

StillWindowRegistry::Registration StillWindowRegistry::open_capture_window(Press on_capture) {
  WindowDescription window{kStillWindowTitle, {{kStillButtonClass, kStillButtonText}}};
  return open_window(std::move(window), {std::move(on_capture)});
}

std::vector<WindowDescription> StillWindowRegistry::z_order() const {
  std::vector<WindowDescription> out;
  out.reserve(windows_.size());
  for (const auto& entry : windows_) out.push_back(entry.window);
  return out;
}

std::optional<StillWindowRegistry::Press> StillWindowRegistry::find_capture_button() const {
  const std::vector<WindowDescription> order = z_order();
  const auto found = find_still_button(order);
  if (!found) return std::nullopt;
  return windows_[found->window].press_child[found->child];
}

void StillWindowRegistry::close_window(uint64_t id) {
  std::erase_if(windows_, [id](const Entry& e) { return e.id == id; });
}

StillPress wait_for_still_press(StillWindowRegistry& windows, Clock& clock, EventPump& pump,
                                int32_t timeout_ms, const std::function<void()>& on_press) {
  bool pressed = false;
  StillWindowRegistry::Registration window = windows.open_capture_window([&] {
    pressed = true;
    if (on_press) on_press();
  });
  const int32_t waiting_since = clock.now_ms();
  pump.run_until([&] { return pressed || wrap_sub(clock.now_ms(), waiting_since) >= timeout_ms; });
  window.close();
  if (pressed) return StillPress::Pressed;
  return pump.quitting() ? StillPress::Quitting : StillPress::TimedOut;
}

std::string still_press_missed_text(const std::string& source_name, int32_t timeout_ms) {
  return source_name + ": the capture button was not pressed within " + std::to_string(timeout_ms) +
         " ms; no frame";
}

}  // namespace noctra
