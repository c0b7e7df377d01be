#pragma once
// The windows a frame source shows while it waits for a still, and the rule
// the still trigger uses to find the capture button among them. Every source
// registers its window in a registry kept in Z order, newest on top, so the
// trigger presses the button of the window the user saw open last.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/platform.h"

namespace noctra {

inline constexpr const char* kStillWindowTitle = "Hauppauge USB video capture";
inline constexpr const char* kStillWindowTitlePrefix = "Hauppauge";
inline constexpr const char* kStillButtonClass = "Button";
inline constexpr const char* kStillButtonText = "Capture Still Image";
// Titles are read into a 100-byte buffer: at most 99 characters take part.
inline constexpr std::size_t kMaxTitleChars = 99;

struct ChildWindowDescription {
  std::string class_name;
  std::string text;
};

struct WindowDescription {
  std::string title;
  std::vector<ChildWindowDescription> children;
};

struct ButtonLocation {
  std::size_t window = 0;
  std::size_t child = 0;
};

// Walks the windows in the given order: the first whose title starts with
// "Hauppauge" (case-sensitive) ends the walk, and only a "Button" child of
// that window whose text is exactly "Capture Still Image" is taken. A first
// match without that button gives nothing; later windows are never tried.
std::optional<ButtonLocation> find_still_button(std::span<const WindowDescription> z_order);

class StillWindowRegistry {
 public:
  using Press = std::function<void()>;

  // Keeps a window open for as long as it lives.
  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& other) noexcept;
    Registration& operator=(Registration&& other) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration();
    void close();
    bool is_open() const { return registry_ != nullptr; }

   private:
    friend class StillWindowRegistry;
    Registration(StillWindowRegistry* registry, uint64_t id) : registry_(registry), id_(id) {}
    StillWindowRegistry* registry_ = nullptr;
    uint64_t id_ = 0;
  };

  StillWindowRegistry() = default;
  StillWindowRegistry(const StillWindowRegistry&) = delete;
  StillWindowRegistry& operator=(const StillWindowRegistry&) = delete;

  // Opens a window on top of the others; press_child[i] is what pressing
  // child i does (children without an action may have an empty function).
  Registration open_window(WindowDescription window, std::vector<Press> press_child);

  // The usual window of a source waiting for a still: the title the still
  // trigger looks for and its capture button.
  Registration open_capture_window(Press on_capture);

  // Newest first.
  std::vector<WindowDescription> z_order() const;

  // The action of the button find_still_button picks, or nothing. The
  // caller presses it after the walk, so a window that closes itself when
  // pressed does not disturb the walk.
  std::optional<Press> find_capture_button() const;

  std::size_t open_count() const { return windows_.size(); }

 private:
  struct Entry {
    uint64_t id;
    WindowDescription window;
    std::vector<Press> press_child;
  };
  void close_window(uint64_t id);

  std::vector<Entry> windows_;  // newest first
  uint64_t next_id_ = 1;
};

enum class StillPress { Pressed, TimedOut, Quitting };

// What a source does while it waits for a still: opens the capture window,
// runs the pump until the button is pressed, timeout_ms of the clock have
// passed or the program is quitting, and closes the window again. on_press
// runs at the press itself, inside the pump, where a source notes the moment.
StillPress wait_for_still_press(StillWindowRegistry& windows, Clock& clock, EventPump& pump,
                                int32_t timeout_ms, const std::function<void()>& on_press = {});

// The line a source logs when the button was not pressed in time.
std::string still_press_missed_text(const std::string& source_name, int32_t timeout_ms);

}  // namespace noctra
