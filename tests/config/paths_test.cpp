#include "config/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace noctra {
namespace {

TEST(MapDriveC, MovesDriveCIntoTheHomeFolder) {
  struct Case {
    const char* windows_path;
    const char* home;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\Images.AVI", "/home/ann", "/home/ann/Images.AVI"},
      {"C:\\Images", "/home/ann/", "/home/ann/Images"},
      {"c:\\_NOCTRA1.AVI", "/home/ann", "/home/ann/_NOCTRA1.AVI"},
      {"C:\\Sky\\m42.avi", "/home/ann", "/home/ann/Sky/m42.avi"},
      {"C:\\Images.AVI", "/", "/Images.AVI"},
      {"D:\\Sky\\m42.avi", "/home/ann", "D:\\Sky\\m42.avi"},
      {"C:Images.AVI", "/home/ann", "C:Images.AVI"},
      {"/srv/night.avi", "/home/ann", "/srv/night.avi"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_drive_c(c.windows_path, c.home), c.expected) << c.windows_path;
  }
}

TEST(HomeFolder, ComesFromHomeOrThePasswordDatabaseNeverATilde) {
  const char* saved = std::getenv("HOME");
  const std::string saved_home = saved ? saved : "";
  setenv("HOME", "/home/stargazer", 1);
  EXPECT_EQ(home_folder(), "/home/stargazer");
  unsetenv("HOME");
  const std::string from_database = home_folder();
  EXPECT_FALSE(from_database.empty());
  EXPECT_EQ(from_database.front(), '/');
  setenv("HOME", "~", 1);  // not a usable folder: fall back to the database
  EXPECT_EQ(home_folder(), from_database);
  if (saved) setenv("HOME", saved_home.c_str(), 1);
}

TEST(DefaultSettingsFile, UsesAnAbsoluteXdgConfigHomeElseDotConfig) {
  EXPECT_EQ(default_settings_file("/home/ann", "/cfg"), "/cfg/noctra/Noctra.ini");
  EXPECT_EQ(default_settings_file("/home/ann", nullptr), "/home/ann/.config/noctra/Noctra.ini");
  EXPECT_EQ(default_settings_file("/home/ann", ""), "/home/ann/.config/noctra/Noctra.ini");
  EXPECT_EQ(default_settings_file("/home/ann", "rel/cfg"), "/home/ann/.config/noctra/Noctra.ini");
}

TEST(DefaultCalibrationFolder, UsesAnAbsoluteXdgDataHomeElseDotLocalShare) {
  EXPECT_EQ(default_calibration_folder("/home/ann", "/data"), "/data/noctra/calibration");
  for (const char* unusable : {static_cast<const char*>(nullptr), "", "rel/data"}) {
    EXPECT_EQ(default_calibration_folder("/home/ann/", unusable),
              "/home/ann/.local/share/noctra/calibration");
  }
}

TEST(FileNamePart, FollowsTheTitleRuleOfEachFlavour) {
  struct Case {
    const char* path;
    PathFlavour flavour;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\Sky\\m42.avi", PathFlavour::Windows, "m42.avi"},
      {"C:m42.avi", PathFlavour::Windows, "m42.avi"},
      {"m42.avi", PathFlavour::Windows, "m42.avi"},
      {"D:\\Sky\\", PathFlavour::Windows, ""},
      {"", PathFlavour::Windows, ""},
      // The title rule knows only ':' and '\' on Windows.
      {"C:/Sky/m42.avi", PathFlavour::Windows, "/Sky/m42.avi"},
      {"/home/ann/m42_003.avi", PathFlavour::Posix, "m42_003.avi"},
      {"/home/a:b\\c.avi", PathFlavour::Posix, "a:b\\c.avi"},
      {"night.avi", PathFlavour::Posix, "night.avi"},
      {"/", PathFlavour::Posix, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file_name_part(c.path, c.flavour), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace noctra
