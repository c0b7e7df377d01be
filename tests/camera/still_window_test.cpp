#include "camera/still_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace noctra {
namespace {

const ChildWindowDescription kButton{"Button", "Capture Still Image"};

struct WalkCase {
  const char* what;
  std::vector<WindowDescription> windows;
  std::optional<ButtonLocation> expected;
};

TEST(StillButtonWalk, FixedTitleAndButtonRules) {
  const std::vector<WalkCase> cases = {
      {"title with further words is pressed", {{"Hauppauge WinTV capture", {kButton}}}, {{0, 0}}},
      {"bare prefix is enough", {{"Hauppauge", {kButton}}}, {{0, 0}}},
      {"lower-case title is not pressed", {{"hauppauge capture", {kButton}}}, std::nullopt},
      {"eight letters are not enough", {{"Hauppaug", {kButton}}}, std::nullopt},
      {"prefix must start the title", {{" Hauppauge", {kButton}}}, std::nullopt},
      {"first match without button stops the walk",
       {{"Hauppauge settings", {{"Static", "Capture Still Image"}}},
        {"Hauppauge USB video capture", {kButton}}},
       std::nullopt},
      {"other windows above are passed over",
       {{"Terminal", {kButton}}, {"Noctra", {}}, {"Hauppauge USB video capture", {kButton}}},
       {{2, 0}}},
      {"button class is case-sensitive",
       {{"Hauppauge", {{"button", "Capture Still Image"}}}},
       std::nullopt},
      {"button text must be exact",
       {{"Hauppauge", {{"Button", "Capture Still Image "}}}},
       std::nullopt},
      {"the right child among others",
       {{"Hauppauge", {{"Static", "Capture Still Image"}, {"Button", "Cancel"}, kButton}}},
       {{0, 2}}},
      {"no windows", {}, std::nullopt},
      {"a long title is read up to its limit",
       {{"Hauppauge" + std::string(500, 'x'), {kButton}}},
       {{0, 0}}},
  };
  for (const auto& c : cases) {
    const auto found = find_still_button(c.windows);
    ASSERT_EQ(found.has_value(), c.expected.has_value()) << c.what;
    if (found) {
      EXPECT_EQ(found->window, c.expected->window) << c.what;
      EXPECT_EQ(found->child, c.expected->child) << c.what;
    }
  }
}

TEST(StillWindowRegistry, NewestWindowIsOnTopAndClosingRemovesIt) {
  StillWindowRegistry registry;
  int pressed_old = 0, pressed_new = 0;
  auto older = registry.open_capture_window([&] { ++pressed_old; });
  {
    auto newer = registry.open_capture_window([&] { ++pressed_new; });
    ASSERT_EQ(registry.open_count(), 2U);
    auto press = registry.find_capture_button();
    ASSERT_TRUE(press.has_value());
    (*press)();
    EXPECT_EQ(pressed_new, 1);
    EXPECT_EQ(pressed_old, 0);
  }
  EXPECT_EQ(registry.open_count(), 1U);
  (*registry.find_capture_button())();
  EXPECT_EQ(pressed_old, 1);
  older.close();
  EXPECT_EQ(registry.open_count(), 0U);
  EXPECT_FALSE(registry.find_capture_button().has_value());
}

TEST(StillWindowRegistry, AWindowWithoutTheButtonAboveHidesTheCaptureWindow) {
  StillWindowRegistry registry;
  int pressed = 0;
  auto capture = registry.open_capture_window([&] { ++pressed; });
  auto settings = registry.open_window({"Hauppauge settings", {{"Button", "OK"}}}, {});
  EXPECT_FALSE(registry.find_capture_button().has_value());
  settings = StillWindowRegistry::Registration();  // moved-over registration closes it
  EXPECT_TRUE(registry.find_capture_button().has_value());
  EXPECT_EQ(pressed, 0);
}

}  // namespace
}  // namespace noctra
