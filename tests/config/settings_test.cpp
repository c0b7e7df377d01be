#include "config/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
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

const std::string kDefaultPath = "/home/ann/Images.AVI";

}  // namespace

// Failure messages name every field instead of dumping the record's bytes.
void PrintTo(const Settings& s, std::ostream* out) {
  *out << "{ImageFile \"" << s.image_file_path << "\", AutoIncrement " << s.auto_increment
       << ", AmpOff " << s.amp_off << ", Guiding " << s.guiding << ", Exposure " << s.exposure
       << ", Guide " << s.guide_interval << ", Delay " << s.delay << ", Count " << s.count
       << ", HiRes " << s.hi_res << ", Port \"" << s.port << "\", Source \"" << s.source << "\"}";
}

namespace {

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
  const Settings expected{.image_file_path = kDefaultPath,
                          .auto_increment = 0,
                          .amp_off = 0,
                          .guiding = 0,
                          .exposure = 2000,
                          .guide_interval = 500,
                          .delay = 0,
                          .count = 0,
                          .hi_res = 0,
                          .port = "auto",
                          .source = "auto",
                          .observer = "",
                          .instrument = "",
                          .telescope = ""};
  EXPECT_EQ(default_settings(kHome), expected);
  EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome), expected);
}

TEST(SettingsSave, WritesEachValueUnderItsSectionAndKey) {
  const std::string long_path = "/data/" + std::string(400, 'p') + ".avi";
  struct Case {
    std::string name, old_text;
    Settings settings;
    std::vector<std::array<std::string, 3>> expected;  // section, key, text
    std::string kept_line = {};
  };
  const Case cases[] = {
      {"changed exposure and guiding as decimal text",
       "",
       {.image_file_path = kDefaultPath, .guiding = 1, .exposure = 30000},
       {{"Capture", "Exposure", "30000"},
        {"Flags", "Guiding", "1"},
        {"Capture", "Guide", "500"},
        {"Filenames", "ImageFile", kDefaultPath},
        {"Hardware", "Port", "auto"},
        {"Hardware", "Source", "auto"}}},
      {"other sections, keys and comments survive",
       "; written by "
       "hand\n\n[Observer]\nName=Ann\n[Capture]\nGain=3\nExposure=100\n[Hardware]\nSerialBits=DTR,"
       "RTS\n",
       {.image_file_path = kDefaultPath, .exposure = 4000},
       {{"Observer", "Name", "Ann"},
        {"Capture", "Gain", "3"},
        {"Capture", "Exposure", "4000"},
        {"Hardware", "SerialBits", "DTR,RTS"}},
       "; written by hand"},
      {"a longer path is cut to 259 characters",
       "",
       {.image_file_path = long_path},
       {{"Filenames", "ImageFile", long_path.substr(0, kMaxPathChars)}}},
      // Whatever follows a line break could not be read back as part of the
      // value and would turn into lines of its own.
      {"a line break in a value cannot add lines",
       "",
       {.image_file_path = "/srv/a.avi\n[Capture]\nExposure=1", .port = "sim\r\nSource=evil"},
       {{"Filenames", "ImageFile", "/srv/a.avi"},
        {"Capture", "Exposure", "2000"},
        {"Hardware", "Port", "sim"},
        {"Hardware", "Source", "auto"}}},
      {"the recordings' texts, empty ones too, and no line break in them",
       "",
       {.image_file_path = kDefaultPath,
        .port = "auto",
        .source = "auto",
        .observer = "Ann Lee",
        .instrument = "",
        .telescope = "C8\nInstrument=evil"},
       {{"Recording", "Observer", "Ann Lee"},
        {"Recording", "Instrument", ""},
        {"Recording", "Telescope", "C8"}}},
  };
  for (const Case& c : cases) {
    TempFolder dir;
    if (!c.old_text.empty()) write_file(dir / "Noctra.ini", c.old_text);
    ASSERT_TRUE(save_settings(c.settings, dir / "Noctra.ini")) << c.name;
    const std::string text = read_file(dir / "Noctra.ini");
    for (const auto& [section, key, value] : c.expected) {
      EXPECT_EQ(raw_value(text, section, key), value)
          << c.name << ": [" << section << "] " << key << "\n"
          << text;
    }
    EXPECT_NE(text.find(c.kept_line), std::string::npos) << c.name << "\n" << text;
  }
}

TEST(SettingsSave, SectionsAndKeysComeInTheOrderTheyAreWritten) {
  TempFolder dir;
  ASSERT_TRUE(save_settings(default_settings(kHome), dir / "Noctra.ini"));
  const std::string text = read_file(dir / "Noctra.ini");
  const char* order[] = {"[Filenames]", "ImageFile=", "[Flags]",     "AutoIncrement=", "AmpOff=",
                         "Guiding=",    "[Capture]",  "Exposure=",   "Guide=",         "Delay=",
                         "Count=",      "HiRes=",     "[Hardware]",  "Port=",          "Source=",
                         "[Recording]", "Observer=",  "Instrument=", "Telescope="};
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
  s.observer = "Ann";
  s.telescope = "C8 at f/6.3";
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

TEST(SettingsLoad, ReadsWhatTheFileHolds) {
  std::mt19937 random(20261207);
  std::string binary(64 * 1024, '\0');
  for (char& c : binary) c = static_cast<char>(random() & 0xFF);
  const std::string long_path = "/data/" + std::string(400, 'p') + ".avi";
  const Settings defaults = default_settings(kHome);
  struct Case {
    std::string name, text;
    Settings expected;
  };
  // Fields not named keep their defaults.
  const Case cases[] = {
      {"keys present but empty or not numeric read as 0, missing keys take defaults",
       "[Capture]\nExposure=\nGuide=12abc\nDelay=abc\n[Flags]\nAmpOff=-1\n"
       "[Filenames]\nImageFile=\n[Hardware]\nPort=\nSource=sim\n",
       {.image_file_path = "",
        .amp_off = -1,
        .exposure = 0,
        .guide_interval = 12,
        .delay = 0,
        .source = "sim"}},
      {"sections and keys ignore letter case, the first duplicate wins",
       "[capture]\nexposure=1234\nEXPOSURE=999\n[FLAGS]\nguiding=1\n"
       "[filenames]\nimagefile=/srv/night.avi\n[hardware]\nport=sim\n",
       {.image_file_path = "/srv/night.avi", .guiding = 1, .exposure = 1234, .port = "sim"}},
      {"CRLF line endings, a byte-order mark and quotes",
       "\xef\xbb\xbf[Filenames]\r\nImageFile=\"D:\\Sky\\m42.avi\"\r\n\r\n[Flags]\r\nAutoIncrement="
       "1\r\n"
       "[Capture]\r\nExposure=30000\r\nHiRes=1\r\n",
       {.image_file_path = "D:\\Sky\\m42.avi",
        .auto_increment = 1,
        .exposure = 30000,
        .hi_res = 1}},
      {"lines after a NUL byte still count",
       std::string("[Flags]\nGuiding=1\n\0\0junk\0[Capture]\nCount=9\n", 44),
       {.image_file_path = kDefaultPath, .guiding = 1, .count = 9}},
      {"a longer path is cut to 259 characters",
       "[Filenames]\nImageFile=" + long_path + "\n",
       {.image_file_path = long_path.substr(0, kMaxPathChars)}},
      {"the simulated camera's field rotation",
       "[Simulation]\nRotation=-0.25\n",
       {.image_file_path = kDefaultPath, .sim_rotation = -0.25}},
      {"a rotation that is not a number turns nothing", "[Simulation]\nRotation=0.5/min\n",
       defaults},
      // Corrupt files load as defaults, using whatever lines still parse.
      {"binary", binary, defaults},
      {"NUL bytes only", std::string("\0\0\0\0", 4), defaults},
      {"UTF-16", utf16le("[Capture]\nExposure=5\n"), defaults},
      {"one huge line", std::string(512 * 1024, 'x'), defaults},
      {"section never closed", "[Capture\nExposure=5\n", defaults},
      {"key outside any section", "Exposure=5\n", defaults},
      {"no '=' on the key's line", "[Capture]\nExposure\n=5\n", defaults},
      {"invalid UTF-8", "[Capture]\n\xc3\x28\xa0\xa1=\xf0\x28\x8c\x28\n", defaults},
      {"larger than any settings file", std::string(2 * 1024 * 1024, '['), defaults},
  };
  TempFolder dir;
  for (const Case& c : cases) {
    write_file(dir / "Noctra.ini", c.text);
    EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome), c.expected) << c.name;
  }
  // A folder where the file should be.
  std::filesystem::create_directory(dir / "Folder.ini");
  EXPECT_EQ(load_settings(dir / "Folder.ini", kHome), defaults);
}

TEST(SettingsSave, UpdatesExistingSectionsAndKeysWhateverTheirLetterCase) {
  TempFolder dir;
  write_file(dir / "Noctra.ini", "[capture]\nexposure=1234\nEXPOSURE=999\n[FLAGS]\nguiding=1\n");
  Settings changed = load_settings(dir / "Noctra.ini", kHome);
  changed.exposure = 5000;
  ASSERT_TRUE(save_settings(changed, dir / "Noctra.ini"));
  const std::string text = read_file(dir / "Noctra.ini");
  // The existing sections and keys are updated, not added a second time.
  EXPECT_EQ(text.find("[Capture]"), std::string::npos) << text;
  EXPECT_EQ(text.find("[Flags]"), std::string::npos) << text;
  int exposures = 0;
  EXPECT_EQ(raw_value(text, "Capture", "Exposure", &exposures), "5000");
  EXPECT_EQ(exposures, 1);
  EXPECT_EQ(load_settings(dir / "Noctra.ini", kHome), changed);
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
  const std::string exact(kMaxPathChars, 'x');
  EXPECT_EQ(cut_to_max_path(exact), exact);
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

// --- Failing saves ---------------------------------------------------------

TEST(SettingsSaveFailure, AFolderThatCannotBeMadeIsReportedWithTheReason) {
  TempFolder dir;
  write_file(dir / "blocker", "a file where a folder should be");
  const Status saved = save_settings(default_settings(kHome), dir / "blocker" / "Noctra.ini");
  const std::string& error = saved.message();
  EXPECT_FALSE(saved);
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
    const Status saved = save_settings(default_settings(kHome), dir / "Noctra.ini");
    const bool reported = saved.message().find("too large") != std::string::npos;
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
  const Status saved = save_settings(default_settings(kHome), dir / "ro" / "Noctra.ini");
  const std::string& error = saved.message();
  EXPECT_FALSE(saved);
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

TEST(SettingsRecordingColour, OnlyMonoInAnyCaseTakesMonoFrames) {
  const std::pair<const char*, bool> cases[] = {{"mono", true}, {"MONO", true},
                                                {"Mono", true}, {"bgr", false},
                                                {"", false},    {"monochrome", false}};
  for (const auto& [text, mono] : cases) {
    Settings s = settings_from_text(std::string("[Recording]\nColour=") + text + "\n", kHome);
    EXPECT_EQ(mono_recording(s), mono) << text;
  }
  EXPECT_FALSE(mono_recording(default_settings(kHome)));
}

}  // namespace
}  // namespace noctra
