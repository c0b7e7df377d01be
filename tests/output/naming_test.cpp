#include "output/naming.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <vector>

#include "output/readers.h"

namespace noctra {
namespace {

// The files that exist before the recording, by full path.
struct FakeFiles {
  std::set<std::string> present;
  mutable std::vector<std::string> probed;

  FileExistsProbe probe() const {
    return [this](const std::string& path) {
      probed.push_back(path);
      return present.count(path) > 0;
    };
  }
};

// --- Numbering -------------------------------------------------------------

TEST(NumberOutputPath, WorkedExamples) {
  struct Case {
    const char* before;
    std::vector<std::string> existing;
    const char* after;
  };
  const Case cases[] = {
      {"C:\\Images.AVI", {}, "C:\\Images_000.AVI"},
      {"D:\\Sky\\m42.avi",
       {"D:\\Sky\\m42_000.avi", "D:\\Sky\\m42_001.avi"},
       "D:\\Sky\\m42_002.avi"},
      {"D:\\Sky\\m42_007.avi", {}, "D:\\Sky\\m42_007.avi"},
      {"D:\\Sky\\m42_007.avi",
       {"D:\\Sky\\m42_007.avi", "D:\\Sky\\m42_008.avi"},
       "D:\\Sky\\m42_009.avi"},
      {"D:\\Sky\\m42_005.avi", {"D:\\Sky\\m42_001.avi"}, "D:\\Sky\\m42_005.avi"},
      {"D:\\Sky\\m42_7.avi", {}, "D:\\Sky\\m42_7_000.avi"},
      {"D:\\Sky\\m42_12a.avi", {}, "D:\\Sky\\m42_12a_000.avi"},
      {"_123.avi", {}, "_123_000.avi"},
      {"a_123.avi", {}, "a_123.avi"},
      {"D:\\Sky\\m42.mpg", {"D:\\Sky\\m42.mpg", "D:\\Sky\\m42_000.mpg"}, "D:\\Sky\\m42.mpg"},
      // Letter case of the extension is kept; the numbered form is found in any case.
      {"D:\\Sky\\M42_010.AvI", {"D:\\Sky\\M42_010.AvI"}, "D:\\Sky\\M42_011.AvI"},
      {".avi", {}, "_000.avi"},
      {"/home/ann/m42.avi", {"/home/ann/m42_000.avi"}, "/home/ann/m42_001.avi"},
      // Only the final ".avi" counts.
      {"D:\\Sky\\m42.avi.bak", {}, "D:\\Sky\\m42.avi.bak"},
      {"D:\\Sky\\avi", {}, "D:\\Sky\\avi"},
  };
  for (const Case& c : cases) {
    FakeFiles files{{c.existing.begin(), c.existing.end()}, {}};
    std::string path = c.before;
    const NumberingResult result = number_output_path(path, 1, files.probe());
    EXPECT_EQ(path, c.after) << c.before;
    EXPECT_TRUE(may_open_output(result)) << c.before;
  }
}

TEST(NumberOutputPath, LeavesThePathAloneWhenOffOrEmpty) {
  FakeFiles files;
  std::string path = "D:\\Sky\\m42.avi";
  EXPECT_EQ(number_output_path(path, 0, files.probe()), NumberingResult::Unchanged);
  EXPECT_EQ(path, "D:\\Sky\\m42.avi");
  std::string empty;
  EXPECT_EQ(number_output_path(empty, 1, files.probe()), NumberingResult::Unchanged);
  EXPECT_EQ(empty, "");
  EXPECT_TRUE(files.probed.empty());
}

TEST(NumberOutputPath, TheNextRecordingMovesOnToTheNextNumber) {
  FakeFiles files;
  Settings settings;
  settings.auto_increment = 1;
  settings.image_file_path = "D:\\Sky\\m42.avi";
  EXPECT_EQ(number_output_path(settings, files.probe()), NumberingResult::Numbered);
  EXPECT_EQ(settings.image_file_path, "D:\\Sky\\m42_000.avi");
  files.present.insert(settings.image_file_path);  // the writer created it
  EXPECT_EQ(number_output_path(settings, files.probe()), NumberingResult::Numbered);
  EXPECT_EQ(settings.image_file_path, "D:\\Sky\\m42_001.avi");
}

TEST(NumberOutputPath, StopsAt999WithoutTouchingThePathWhenEveryNumberIsTaken) {
  FakeFiles files;
  for (int n = 0; n <= 999; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "D:\\Sky\\m42_%03d.avi", n);
    files.present.insert(name);
  }
  std::string path = "D:\\Sky\\m42_990.avi";
  const NumberingResult result = number_output_path(path, 1, files.probe());
  EXPECT_EQ(result, NumberingResult::AllNumbersTaken);
  EXPECT_FALSE(may_open_output(result));
  EXPECT_EQ(path, "D:\\Sky\\m42_990.avi");
  EXPECT_EQ(files.probed.size(), 10u);  // 990 to 999, nothing wraps round to 000
  EXPECT_EQ(files.probed.back(), "D:\\Sky\\m42_999.avi");
  EXPECT_NE(numbering_failure_message(result, path).find(path), std::string::npos);

  // One free number left: it is taken.
  files.present.erase("D:\\Sky\\m42_999.avi");
  EXPECT_EQ(number_output_path(path, 1, files.probe()), NumberingResult::Numbered);
  EXPECT_EQ(path, "D:\\Sky\\m42_999.avi");
}

TEST(NumberOutputPath, RefusesToGrowAPathPast259Characters) {
  const std::string folder = "D:\\" + std::string(200, 's') + "\\";
  struct Case {
    std::string before;
    NumberingResult result;
    std::string after;
  };
  // 255 characters: "_000" brings it to 259, which still fits; 256 do not. An
  // already numbered path does not grow, so the full 259 may be used.
  const std::string fits = folder + std::string(255 - folder.size() - 4, 'm');
  const std::string too_long = folder + std::string(256 - folder.size() - 4, 'm') + ".avi";
  const std::string numbered = std::string(kMaxPathChars - 8, 'n') + "_041.avi";
  const Case cases[] = {
      {fits + ".avi", NumberingResult::Numbered, fits + "_000.avi"},
      {too_long, NumberingResult::PathTooLong, too_long},
      {numbered, NumberingResult::Numbered, numbered},
  };
  const FakeFiles none;
  for (const Case& c : cases) {
    std::string path = c.before;
    const NumberingResult result = number_output_path(path, 1, none.probe());
    const bool refused = c.result == NumberingResult::PathTooLong;
    EXPECT_EQ(result, c.result) << c.before.size();
    EXPECT_EQ(path, c.after) << c.before.size();
    EXPECT_EQ(may_open_output(result), !refused) << c.before.size();
    EXPECT_EQ(numbering_failure_message(result, path).empty(), !refused) << c.before.size();
  }
}

TEST(OutputFileExists, CountsEveryKindOfDirectoryEntryAsTaken) {
  test::TempFolder dir;
  const std::string file = dir.file("m42_000.avi");
  EXPECT_FALSE(output_file_exists(file));
  { std::ofstream(file) << "RIFF"; }
  EXPECT_TRUE(output_file_exists(file));
  ::chmod(file.c_str(), 0);  // unreadable: still somebody's recording
  EXPECT_TRUE(output_file_exists(file));
  std::filesystem::create_directory(dir.file("m42_001.avi"));
  EXPECT_TRUE(output_file_exists(dir.file("m42_001.avi")));
  std::filesystem::create_symlink(dir.file("nowhere"), dir.file("m42_002.avi"));
  EXPECT_TRUE(output_file_exists(dir.file("m42_002.avi")));
  ASSERT_EQ(::mkfifo(dir.file("m42_003.avi").c_str(), 0600), 0);
  EXPECT_TRUE(output_file_exists(dir.file("m42_003.avi")));  // and does not block
  EXPECT_FALSE(output_file_exists(dir.file("no-folder/m42_000.avi")));

  std::string path = dir.file("m42.avi");
  EXPECT_EQ(number_output_path(path, 1), NumberingResult::Numbered);
  EXPECT_EQ(path, dir.file("m42_004.avi"));
}

// --- Forcing the extension -------------------------------------------------

TEST(ForceAviExtension, WorkedExamples) {
  struct Case {
    PathFlavour flavour;
    const char* before;
    const char* after;
  };
  constexpr auto W = PathFlavour::Windows, P = PathFlavour::Posix;
  const Case cases[] = {
      {W, "C:\\Images.AVI", "C:\\Images.avi"},
      {W, "D:\\Sky\\M42", "D:\\Sky\\M42.avi"},
      {W, "D:\\Sky.1\\M42", "D:\\Sky.1\\M42.avi"},
      {W, "D:\\Sky\\M42.tar.gz", "D:\\Sky\\M42.tar.avi"},
      {W, "D:\\Sky\\M42.", "D:\\Sky\\M42.avi"},
      {W, "", "C:\\Images.avi"},
      {W, "D:\\Sky.1\\", "D:\\Sky.1\\.avi"},
      {W, "C:m42", "C:m42.avi"},
      {W, "D:/Sky.1/M42", "D:/Sky.1/M42.avi"},
      // On Linux only the slash ends a folder, and the empty path is in the home folder.
      {P, "/home/ann/Images.AVI", "/home/ann/Images.avi"},
      {P, "/srv/sky.1/m42", "/srv/sky.1/m42.avi"},
      {P, "/srv/sky/m42.tar.gz", "/srv/sky/m42.tar.avi"},
      {P, "/srv/sky\\m42.x", "/srv/sky\\m42.avi"},
      {P, "m42", "m42.avi"},
      {P, "", "/home/ann/Images.avi"},
  };
  for (const Case& c : cases) {
    std::string path = c.before;
    EXPECT_TRUE(force_avi_extension(path, c.flavour, "/home/ann")) << c.before;
    EXPECT_EQ(path, c.after) << c.before;
  }
}

TEST(ForceAviExtension, RefusesToGrowAPathPast259Characters) {
  struct Case {
    std::string path;
    bool fits;
  };
  const Case cases[] = {
      {"/" + std::string(kMaxPathChars - 5, 'a') + ".avi", true},
      {"/" + std::string(kMaxPathChars - 4, 'a'), false},  // 256 characters
      {"/" + std::string(kMaxPathChars - 3, 'a') + ".x", false},
  };
  for (const Case& c : cases) {
    std::string path = c.path;
    EXPECT_EQ(force_avi_extension(path, PathFlavour::Posix, "/home/ann"), c.fits) << c.path.size();
    EXPECT_EQ(path, c.path) << c.path.size();
  }
}

// --- Choosing a path -------------------------------------------------------

TEST(ChoosingAPath, SaveImagesInAndTheSetupFileButton) {
  struct Case {
    const char* what;
    bool button;  // the setup dialog's file button, else "Save images in..."
    std::string current;
    std::optional<std::string> answer;
    PathChoiceOutcome outcome;
    std::string path;
    std::string shown_with;  // the chooser's starting name; empty when not shown
    bool idle = true;
  };
  constexpr auto W = PathFlavour::Windows;
  const std::string long_name(300, 'x');
  const Case cases[] = {
      {"chosen name gets the extension", false, "C:\\Images.AVI", "D:\\Sky\\M42",
       PathChoiceOutcome::Chosen, "D:\\Sky\\M42.avi", "C:\\Images.AVI"},
      {"cancel forces it on the old path", false, "C:\\Images.AVI", std::nullopt,
       PathChoiceOutcome::Cancelled, "C:\\Images.avi", "C:\\Images.AVI"},
      {"nothing during a recording", false, "/home/ann/m42_003.avi", "/srv/other",
       PathChoiceOutcome::NotShown, "/home/ann/m42_003.avi", "", false},
      {"no room for the extension", false, "/home/ann/m42.avi",
       "/" + long_name.substr(0, kMaxPathChars - 2), PathChoiceOutcome::TooLong,
       "/home/ann/m42.avi", "/home/ann/m42.avi"},
      // A chooser answer that cannot be held at all counts as a failed chooser.
      {"answer too long to hold", false, "/home/ann/m42",
       "/" + long_name.substr(0, kMaxPathChars + 10) + ".avi", PathChoiceOutcome::Cancelled,
       "/home/ann/m42.avi", "/home/ann/m42"},
      {"button cancelled", true, "D:\\Sky\\notes.txt", std::nullopt, PathChoiceOutcome::Cancelled,
       "D:\\Sky\\notes.txt", "D:\\Sky\\notes.txt"},
      {"button chosen", true, "D:\\Sky\\notes.txt", "D:\\Sky\\M42.tar.gz",
       PathChoiceOutcome::Chosen, "D:\\Sky\\M42.tar.avi", "D:\\Sky\\notes.txt"},
      {"button, no room for the extension", true, "/home/ann/m42.avi",
       "/" + long_name.substr(0, kMaxPathChars - 1), PathChoiceOutcome::TooLong,
       "/home/ann/m42.avi", "/home/ann/m42.avi"},
      {"button text cut to 259", true, "/" + long_name, std::nullopt, PathChoiceOutcome::Cancelled,
       "/" + long_name, ("/" + long_name).substr(0, kMaxPathChars)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> shown_with;
    const BrowseOutputPath browse = [&](const std::string& initial) {
      shown_with.push_back(initial);
      return c.answer;
    };
    const PathFlavour flavour = c.current.starts_with('/') ? PathFlavour::Posix : W;
    const PathChoice choice =
        c.button ? setup_file_button(c.current, browse, flavour, "/home/ann")
                 : save_images_in_command(c.current, c.idle, browse, flavour, "/home/ann");
    EXPECT_EQ(choice.outcome, c.outcome);
    EXPECT_EQ(choice.path, c.path);
    EXPECT_EQ(shown_with,
              c.shown_with.empty() ? std::vector<std::string>{} : std::vector{c.shown_with});
  }
  EXPECT_FALSE(path_too_long_message("/" + long_name).empty());
}

}  // namespace
}  // namespace noctra
