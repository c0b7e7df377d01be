#include "config/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <random>
#include <sstream>

#include "config/temp_folder.h"

namespace noctra {
namespace {

using test::read_file;
using test::TempFolder;
using test::write_file;

const std::string kHome = "/home/ann";

// The value under a key of a section (letter case ignored), read from the
// file's text the simple way: enough to check what was written, independent
// of the INI library.
std::string raw_value(const std::string& text, const std::string& section, const std::string& key,
                      int* occurrences = nullptr) {
  std::istringstream lines(text);
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::string line, current, found;
  int count = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      current = lower(line.substr(1, line.find(']') - 1));
    } else if (current == lower(section) && lower(line).rfind(lower(key) + "=", 0) == 0) {
      if (count++ == 0) found = line.substr(key.size() + 1);
    }
  }
  if (occurrences) *occurrences = count;
  return found;
}


// The text as UTF-16LE with its byte-order mark, as some editors save it.
std::string utf16le(const std::string& ascii) {
  std::string out = "\xff\xfe";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::vector<std::string> files_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// --- The worked examples ---------------------------------------------------

TEST(SettingsExamples, NoFileGivesTheDefaults) {
  TempFolder dir;
  const Settings s = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(s.image_file_path, "/home/ann/Images.AVI");
  EXPECT_EQ(s.exposure, 2000);
  EXPECT_EQ(s.guide_interval, 500);
  EXPECT_EQ(s.delay, 0);
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.hi_res | s.amp_off | s.guiding | s.auto_increment, 0);
  EXPECT_EQ(s.port, "auto");
  EXPECT_EQ(s.source, "auto");
  EXPECT_EQ(s, default_settings(kHome));
}

TEST(SettingsExamples, ChangedExposureAndGuidingAreWrittenAsDecimalText) {
  TempFolder dir;
  Settings s = default_settings(kHome);
  s.exposure = 30000;
  s.guiding = 1;
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  const std::string text = read_file(dir / "Noctra.ini");
  EXPECT_EQ(raw_value(text, "Capture", "Exposure"), "30000");
  EXPECT_EQ(raw_value(text, "Flags", "Guiding"), "1");
  EXPECT_EQ(raw_value(text, "Capture", "Guide"), "500");
  EXPECT_EQ(raw_value(text, "Filenames", "ImageFile"), "/home/ann/Images.AVI");
  EXPECT_EQ(raw_value(text, "Hardware", "Port"), "auto");
  EXPECT_EQ(raw_value(text, "Hardware", "Source"), "auto");
  // Sections and keys come in the order they are written.
  const char* order[] = {"[Filenames]", "ImageFile=", "[Flags]", "AutoIncrement=", "AmpOff=",
                         "Guiding=", "[Capture]", "Exposure=", "Guide=", "Delay=", "Count=",
                         "HiRes=", "[Hardware]", "Port=", "Source="};
  std::size_t at = 0;
  for (const char* piece : order) {
    const std::size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece;
    at = found;
  }
}

TEST(SettingsExamples, ANumberedPathIsTheStartOfTheNextRun) {
  TempFolder dir;
  Settings s = default_settings(kHome);
  s.image_file_path = "/home/ann/Sky/m42_007.avi";
  s.auto_increment = 1;
  s.amp_off = 1;
  s.hi_res = 1;
  s.delay = -250;
  s.count = 12;
  s.guide_interval = INT32_MIN;
  s.port = "ppdev:/dev/parport0";
  s.source = " v4l2:/dev/video0 ";  // spaces at the ends survive in quotes
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome), s);
}

// --- Reading values --------------------------------------------------------

TEST(ProfileInt, ReadsSignAndLeadingDigitsWrappingAt32Bits) {
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {
      {"2000", 2000},
      {"12abc", 12},
      {"-1", -1},
      {"+7", 7},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"--5", 0},
      {" 42", 42},
      {"0030", 30},
      {"1.5", 1},
      {"0x10", 0},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", INT32_MIN},
      {"4294967295", -1},
      {"4294967296", 0},
      {"4294967306", 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_profile_int(c.text), c.expected) << '"' << c.text << '"';
  }
  // A very long digit string wraps modulo 2^32 like the shorter ones.
  const std::string long_digits(100000, '9');
  uint32_t expected = 0;
  for (std::size_t i = 0; i < long_digits.size(); ++i) expected = expected * 10u + 9u;
  EXPECT_EQ(parse_profile_int(long_digits), static_cast<int32_t>(expected));
}

TEST(SettingsLoad, KeysPresentEmptyOrNonNumericReadAsZeroMissingKeysTakeDefaults) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "[Capture]\nExposure=\nGuide=12abc\nDelay=abc\n"
             "[Flags]\nAmpOff=-1\n"
             "[Filenames]\nImageFile=\n"
             "[Hardware]\nPort=\nSource=sim\n");
  const Settings s = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(s.exposure, 0);
  EXPECT_EQ(s.guide_interval, 12);
  EXPECT_EQ(s.delay, 0);
  EXPECT_EQ(s.amp_off, -1);
  EXPECT_EQ(s.count, 0);  // missing: default
  EXPECT_EQ(s.guiding, 0);
  EXPECT_EQ(s.image_file_path, "");
  EXPECT_EQ(s.port, "auto");
  EXPECT_EQ(s.source, "sim");
}

TEST(SettingsLoad, SectionsAndKeysIgnoreLetterCaseAndTheFirstDuplicateWins) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "[capture]\nexposure=1234\nEXPOSURE=999\n[FLAGS]\nguiding=1\n"
             "[filenames]\nimagefile=/srv/night.avi\n[hardware]\nport=sim\n");
  const Settings s = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(s.exposure, 1234);
  EXPECT_EQ(s.guiding, 1);
  EXPECT_EQ(s.image_file_path, "/srv/night.avi");
  EXPECT_EQ(s.port, "sim");

  Settings changed = s;
  changed.exposure = 5000;
  ASSERT_TRUE(save_settings(changed, dir / "Noctra.ini"));
  const std::string text = read_file(dir / "Noctra.ini");
  // The existing sections and keys are updated, not added a second time.
  EXPECT_EQ(text.find("[Capture]"), std::string::npos) << text;
  EXPECT_EQ(text.find("[Flags]"), std::string::npos) << text;
  int exposures = 0;
  EXPECT_EQ(raw_value(text, "Capture", "Exposure", &exposures), "5000");
  EXPECT_EQ(exposures, 1);
  EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome).exposure, 5000);
}

TEST(SettingsLoad, CrlfLineEndingsAByteOrderMarkAndQuotesWork) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "\xef\xbb\xbf[Filenames]\r\nImageFile=\"D:\\Sky\\m42.avi\"\r\n\r\n[Flags]\r\nAutoIncrement=1\r\n"
             "[Capture]\r\nExposure=30000\r\nHiRes=1\r\n");
  const Settings s = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(s.image_file_path, "D:\\Sky\\m42.avi");
  EXPECT_EQ(s.auto_increment, 1);
  EXPECT_EQ(s.exposure, 30000);
  EXPECT_EQ(s.hi_res, 1);
}

TEST(SettingsLoad, CorruptFilesLoadAsDefaults) {
  TempFolder dir;
  std::mt19937 random(20261207);
  std::string binary(64 * 1024, '\0');
  for (char& c : binary) c = static_cast<char>(random() & 0xFF);
  const std::string cases[] = {
      binary,
      std::string("\0\0\0\0", 4),
      utf16le("[Capture]\nExposure=5\n"),
      std::string(512 * 1024, 'x'),                 // one huge line
      "[Capture\nExposure=5\n",                     // section never closed
      "Exposure=5\n",                               // key outside any section
      "[Capture]\nExposure\n=5\n",                  // no '=' on the key's line
      "[Capture]\n\xc3\x28\xa0\xa1=\xf0\x28\x8c\x28\n",  // invalid UTF-8
      std::string(2 * 1024 * 1024, '['),            // larger than any settings file
  };
  for (const std::string& contents : cases) {
    write_file(dir / "Noctra.ini", contents);
    EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome), default_settings(kHome));
  }
  // A folder where the file should be.
  std::filesystem::create_directory(dir / "Folder.ini");
  EXPECT_EQ(load_settings(dir / "Folder.ini", kHome), default_settings(kHome));
}

TEST(SettingsLoad, LinesAfterANulByteStillCount) {
  TempFolder dir;
  write_file(dir / "Noctra.ini", std::string("[Flags]\nGuiding=1\n\0\0junk\0[Capture]\nCount=9\n", 44));
  const Settings s = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(s.guiding, 1);
  EXPECT_EQ(s.count, 9);
}

// --- Path length -----------------------------------------------------------

TEST(SettingsPath, LongerPathsAreCutTo259OnLoadAndOnSave) {
  TempFolder dir;
  const std::string long_path = "/data/" + std::string(400, 'p') + ".avi";
  write_file(dir / "Noctra.ini", "[Filenames]\nImageFile=" + long_path + "\n");
  const Settings loaded = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(loaded.image_file_path, long_path.substr(0, kMaxPathChars));

  Settings s = default_settings(kHome);
  s.image_file_path = long_path;
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  EXPECT_EQ(raw_value(read_file(dir / "Noctra.ini"), "Filenames", "ImageFile"),
            long_path.substr(0, kMaxPathChars));

  const std::string exact(kMaxPathChars, 'x');
  EXPECT_EQ(cut_to_max_path(exact), exact);
}

TEST(SettingsPath, CuttingNeverSplitsAUtf8Character) {
  // Bytes 257..259 hold a three-byte character that does not fit.
  const std::string path = std::string(257, 'a') + "\xe2\x82\xac" + "tail";
  EXPECT_EQ(cut_to_max_path(path), std::string(257, 'a'));
  // A two-byte character ending exactly at 259 stays.
  const std::string fits = std::string(257, 'a') + "\xc3\xa9" + "tail";
  EXPECT_EQ(cut_to_max_path(fits), std::string(257, 'a') + "\xc3\xa9");
  // Bytes that are not UTF-8 are cut at 259 as they are.
  const std::string latin1 = std::string(256, 'a') + "\xa0\xa0\xa0\xa0\xa0";
  EXPECT_EQ(cut_to_max_path(latin1).size(), kMaxPathChars);
}

// --- Saving ----------------------------------------------------------------

TEST(SettingsSave, OtherSectionsKeysAndCommentsSurvive) {
  TempFolder dir;
  write_file(dir / "Noctra.ini",
             "; written by hand\n\n[Observer]\nName=Ann\n"
             "[Capture]\nGain=3\nExposure=100\n[Hardware]\nSerialBits=DTR,RTS\n");
  Settings s = load_settings(dir / "Noctra.ini", kHome);
  s.exposure = 4000;
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  const std::string text = read_file(dir / "Noctra.ini");
  EXPECT_NE(text.find("; written by hand"), std::string::npos);
  EXPECT_EQ(raw_value(text, "Observer", "Name"), "Ann");
  EXPECT_EQ(raw_value(text, "Capture", "Gain"), "3");
  EXPECT_EQ(raw_value(text, "Capture", "Exposure"), "4000");
  EXPECT_EQ(raw_value(text, "Hardware", "SerialBits"), "DTR,RTS");
}

TEST(SettingsSave, CreatesTheFolderAndLeavesNoTemporaryFile) {
  TempFolder dir;
  const auto file = dir / "config" / "noctra" / "Noctra.ini";
  ASSERT_TRUE(save_settings(default_settings(kHome), file));
  ASSERT_TRUE(save_settings(default_settings(kHome), file));
  EXPECT_EQ(files_in(file.parent_path()), std::vector<std::string>{"Noctra.ini"});
}

TEST(SettingsSave, KeepsTheFileModeAndWritesThroughASymlink) {
  TempFolder dir;
  std::filesystem::create_directory(dir / "dotfiles");
  write_file(dir / "dotfiles" / "Noctra.ini", "[Capture]\nExposure=1\n");
  ::chmod((dir / "dotfiles" / "Noctra.ini").c_str(), 0600);
  std::filesystem::create_symlink("dotfiles/Noctra.ini", dir / "Noctra.ini");
  Settings s = default_settings(kHome);
  s.exposure = 777;
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "Noctra.ini"));
  EXPECT_EQ(raw_value(read_file(dir / "dotfiles" / "Noctra.ini"), "Capture", "Exposure"), "777");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "dotfiles" / "Noctra.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsSave, ALineBreakInAValueCannotAddLines) {
  TempFolder dir;
  Settings s = default_settings(kHome);
  s.image_file_path = "/srv/a.avi\n[Capture]\nExposure=1";
  s.port = "sim\r\nSource=evil";
  ASSERT_TRUE(save_settings(s, dir / "Noctra.ini"));
  const Settings back = load_settings(dir / "Noctra.ini", kHome);
  EXPECT_EQ(back.image_file_path, "/srv/a.avi");
  EXPECT_EQ(back.exposure, 2000);
  EXPECT_EQ(back.port, "sim");
  EXPECT_EQ(back.source, "auto");
}

// --- Failing saves ---------------------------------------------------------

TEST(SettingsSaveFailure, AFolderThatCannotBeMadeIsReportedWithTheReason) {
  TempFolder dir;
  write_file(dir / "blocker", "a file where a folder should be");
  std::string error;
  EXPECT_FALSE(save_settings(default_settings(kHome), dir / "blocker" / "Noctra.ini", &error));
  EXPECT_NE(error.find((dir / "blocker" / "Noctra.ini").string()), std::string::npos) << error;
  EXPECT_NE(error.find(": "), std::string::npos) << error;
  EXPECT_EQ(read_file(dir / "blocker"), "a file where a folder should be");
}

TEST(SettingsSaveFailure, AWriteThatFailsHalfwayKeepsTheOldFileWhole) {
  // Permissions do not stop root, a file size limit does: the new contents
  // cannot be written in full, as on a full disk.
  TempFolder dir;
  const std::string old_contents = "[Capture]\nExposure=1\n";
  write_file(dir / "Noctra.ini", old_contents);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string error;
    const bool saved = save_settings(default_settings(kHome), dir / "Noctra.ini", &error);
    const bool reported = error.find("too large") != std::string::npos;
    _exit(!saved && reported ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "save did not fail with the system's reason";
  EXPECT_EQ(read_file(dir / "Noctra.ini"), old_contents);
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"Noctra.ini"});
}

TEST(SettingsSaveFailure, AReadOnlyFolderKeepsTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: folder permissions do not stop root";
  TempFolder dir;
  std::filesystem::create_directory(dir / "ro");
  write_file(dir / "ro" / "Noctra.ini", "[Capture]\nExposure=1\n");
  ::chmod((dir / "ro").c_str(), 0555);
  std::string error;
  EXPECT_FALSE(save_settings(default_settings(kHome), dir / "ro" / "Noctra.ini", &error));
  EXPECT_NE(error.find("ermission"), std::string::npos) << error;
  EXPECT_EQ(read_file(dir / "ro" / "Noctra.ini"), "[Capture]\nExposure=1\n");
}

TEST(SettingsSaveFailure, AnUnreadableOldFileIsNotReplaced) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop root";
  TempFolder dir;
  write_file(dir / "Noctra.ini", "[Mine]\nKeep=1\n");
  ::chmod((dir / "Noctra.ini").c_str(), 0200);
  EXPECT_FALSE(save_settings(default_settings(kHome), dir / "Noctra.ini"));
  ::chmod((dir / "Noctra.ini").c_str(), 0600);
  EXPECT_EQ(read_file(dir / "Noctra.ini"), "[Mine]\nKeep=1\n");
}

}  // namespace
}  // namespace noctra
