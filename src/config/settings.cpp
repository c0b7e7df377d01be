#include "config/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "config/paths.h"

// Debian's header keeps the template bodies behind SI_IMPLEMENTATION; compiling
// them here keeps the parser inside our own (sanitizer-checked) build.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace noctra {

namespace {

// Far beyond any settings file Noctra writes; anything larger is not ours
// and is not worth holding in memory.
constexpr std::uintmax_t kMaxSettingsFileBytes = 1u << 20;

constexpr const char* kDefaultImageFile = "C:\\Images.AVI";

struct IntField {
  const char* section;
  const char* key;
  int32_t Settings::*field;
};

// [Recording]: texts for the recordings' headers, saved after [Hardware].
struct TextField {
  const char* key;
  std::string Settings::*field;
};
constexpr TextField kRecordingFields[] = {
    {"Observer", &Settings::observer},
    {"Instrument", &Settings::instrument},
    {"Telescope", &Settings::telescope},
    {"Colour", &Settings::colour},
};

// [Stack], saved before [Simulation].
constexpr IntField kStackFields[] = {{"Stack", "On", &Settings::stack_on}};

// [Simulation]: saved last.
constexpr IntField kSimulationFields[] = {
    {"Simulation", "Covered", &Settings::sim_covered},
    {"Simulation", "FlatLight", &Settings::sim_flat_light},
};

// [Calibration]: saved after [Simulation].
constexpr IntField kCalibrationFields[] = {
    {"Calibration", "View", &Settings::calib_view},
    {"Calibration", "Recordings", &Settings::calib_recordings},
    {"Calibration", "GuideHotPixels", &Settings::calib_guide_hot_pixels},
    {"Calibration", "FitScale", &Settings::calib_fit_scale},
};

// [Layout]: saved after [Calibration], and only once the windows were up.
constexpr IntField kLayoutFields[] = {
    {"Layout", "Saved", &Settings::layout_saved},
    {"Layout", "MainX", &Settings::main_x},
    {"Layout", "MainY", &Settings::main_y},
    {"Layout", "MainWidth", &Settings::main_width},
    {"Layout", "MainHeight", &Settings::main_height},
    {"Layout", "GuideX", &Settings::guide_x},
    {"Layout", "GuideY", &Settings::guide_y},
    {"Layout", "StarX", &Settings::star_x},
    {"Layout", "StarY", &Settings::star_y},
    {"Layout", "StarWidth", &Settings::star_width},
    {"Layout", "StarHeight", &Settings::star_height},
    {"Layout", "StarWindow", &Settings::star_open},
    {"Layout", "Zoom", &Settings::zoom},
    {"Layout", "CentreCross", &Settings::centre_cross},
    {"Layout", "Stretch", &Settings::stretch},
    {"Layout", "NightMode", &Settings::night_mode},
};

// The order in which the integers are read and written.
constexpr IntField kIntFields[] = {
    {"Flags", "AutoIncrement", &Settings::auto_increment},
    {"Flags", "AmpOff", &Settings::amp_off},
    {"Flags", "Guiding", &Settings::guiding},
    {"Capture", "Exposure", &Settings::exposure},
    {"Capture", "Guide", &Settings::guide_interval},
    {"Capture", "Delay", &Settings::delay},
    {"Capture", "Count", &Settings::count},
    {"Capture", "HiRes", &Settings::hi_res},
};

// Ignore case like the platform's profile functions; keep the first of
// duplicated keys, which is the one those functions return; drop the double
// quotes around a value as they do. Quotes also keep the spaces at either end
// of a path when it is written.
class IniFile : public CSimpleIniA {
 public:
  IniFile() : CSimpleIniA(/*a_bIsUtf8=*/false, /*a_bMultiKey=*/true, /*a_bMultiLine=*/false) {
    SetSpaces(false);
    SetQuotes(true);
  }
};

std::string system_reason(int error_number) { return std::system_category().message(error_number); }

// Reads the whole file; nothing when it is missing or too large to be a
// settings file.
Result<std::optional<std::string>> read_small_file(const std::filesystem::path& file) {
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(status)) {
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
      return failure(ec.message());
    }
    return std::optional<std::string>();
  }
  if (!std::filesystem::is_regular_file(status)) return failure("not a regular file");
  std::ifstream in(file, std::ios::binary);
  if (!in) return failure(system_reason(errno));
  std::string contents;
  char chunk[8192];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    contents.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (contents.size() > kMaxSettingsFileBytes) return std::optional<std::string>();
  }
  if (in.bad()) return failure("read error");
  return std::optional<std::string>(std::move(contents));
}

// A NUL byte would end the parse early and drop everything after it, also
// from the next save; a line break keeps the following lines.
bool parse_ini(std::string contents, IniFile& ini) {
  for (char& c : contents) {
    if (c == '\0') c = '\n';
  }
  return ini.LoadData(contents.data(), contents.size()) >= 0;
}

// An INI value ends at the line break: whatever follows one could not be
// read back and would turn into lines of its own.
std::string single_line(std::string_view value) {
  const std::size_t cut = value.find_first_of("\r\n");
  return std::string(value.substr(0, cut == std::string_view::npos ? value.size() : cut));
}

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

Failure save_failure(const std::filesystem::path& file, const std::string& reason) {
  return failure("Cannot save the settings to " + file.string() + ": " + reason);
}

// Writes the new contents next to the target and renames them over it, so
// the old file stays whole until the new one is complete on the disk.
Status replace_file_atomically(const std::filesystem::path& target, const std::string& contents,
                               mode_t mode) {
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  std::string temp_name = ".";
  temp_name += target.filename().string();
  temp_name += ".XXXXXX";
  std::string temp = (folder / temp_name).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return failure(system_reason(errno));
  bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, contents) && ::fsync(fd) == 0;
  int saved_errno = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return failure(system_reason(saved_errno));
  }
  // Make the rename itself durable; the file is already complete either way.
  const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return {};
}

Settings load_settings_or_throw(const std::filesystem::path& ini_file, const std::string& home);
Status save_settings_or_throw(const Settings& settings, const std::filesystem::path& ini_file);

}  // namespace

std::string cut_to_max_path(std::string_view path) {
  if (path.size() <= kMaxPathChars) return std::string(path);
  std::size_t cut = kMaxPathChars;
  // Do not split a UTF-8 sequence: step back to its lead byte when the bytes
  // really form one (a path in another 8-bit encoding is cut at 259 as is).
  auto is_continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(path[i]) & 0xC0u) == 0x80u;
  };
  std::size_t lead = cut;
  while (lead > 0 && cut - lead < 3 && is_continuation(lead)) --lead;
  const auto lead_byte = static_cast<unsigned char>(path[lead]);
  const std::size_t sequence_length = lead_byte >= 0xF0u && lead_byte <= 0xF4u   ? 4
                                      : lead_byte >= 0xE0u && lead_byte <= 0xEFu ? 3
                                      : lead_byte >= 0xC2u && lead_byte <= 0xDFu ? 2
                                                                                 : 0;
  if (lead < cut && sequence_length > cut - lead) cut = lead;
  return std::string(path.substr(0, cut));
}

int32_t parse_profile_int(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps like the platform's 32-bit accumulator and
  // never overflows a signed value.
  uint32_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

Settings default_settings(const std::string& home) {
  Settings settings;
  settings.image_file_path = cut_to_max_path(map_drive_c(kDefaultImageFile, home));
  return settings;
}

Settings load_settings(const std::filesystem::path& ini_file, const std::string& home) {
  try {
    return load_settings_or_throw(ini_file, home);
  } catch (const std::exception&) {
    return default_settings(home);
  }
}

Status save_settings(const Settings& settings, const std::filesystem::path& ini_file) {
  try {
    return save_settings_or_throw(settings, ini_file);
  } catch (const std::exception& e) {
    return save_failure(ini_file, e.what());
  }
}

namespace {

Settings load_settings_or_throw(const std::filesystem::path& ini_file, const std::string& home) {
  const Result<std::optional<std::string>> contents = read_small_file(ini_file);
  if (!contents || !*contents) return default_settings(home);
  return settings_from_text(**contents, home);
}

}  // namespace

bool mono_recording(const Settings& settings) {
  const std::string& colour = settings.colour;
  return colour.size() == 4 && (colour[0] | 0x20) == 'm' && (colour[1] | 0x20) == 'o' &&
         (colour[2] | 0x20) == 'n' && (colour[3] | 0x20) == 'o';
}

Settings settings_from_text(std::string_view ini_text, const std::string& home) {
  Settings settings = default_settings(home);
  if (ini_text.size() > kMaxSettingsFileBytes) return settings;
  IniFile ini;
  if (!parse_ini(std::string(ini_text), ini)) return settings;

  if (const char* path = ini.GetValue("Filenames", "ImageFile")) {
    settings.image_file_path = cut_to_max_path(path);
  }
  for (const IntField& f : kIntFields) {
    if (const char* value = ini.GetValue(f.section, f.key)) {
      settings.*f.field = parse_profile_int(value);
    }
  }
  if (const char* port = ini.GetValue("Hardware", "Port"); port != nullptr && *port != '\0') {
    settings.port = port;
  }
  if (const char* source = ini.GetValue("Hardware", "Source");
      source != nullptr && *source != '\0') {
    settings.source = source;
  }
  for (const TextField& f : kRecordingFields) {
    if (const char* value = ini.GetValue("Recording", f.key)) settings.*f.field = value;
  }
  const auto read_ints = [&](const auto& fields) {
    for (const IntField& f : fields) {
      if (const char* value = ini.GetValue(f.section, f.key)) {
        settings.*f.field = parse_profile_int(value);
      }
    }
  };
  read_ints(kStackFields);
  read_ints(kSimulationFields);
  read_ints(kCalibrationFields);
  read_ints(kLayoutFields);
  if (const char* rotation = ini.GetValue("Simulation", "Rotation")) {
    const std::string_view text(rotation);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size() && std::isfinite(value)) {
      settings.sim_rotation = value;
    }
  }
  return settings;
}

namespace {

Status save_settings_or_throw(const Settings& settings, const std::filesystem::path& ini_file) {
  std::error_code ec;
  // A settings file kept as a link into a dotfiles folder stays a link: the
  // new contents replace the file it points to.
  std::filesystem::path target = ini_file;
  if (std::filesystem::is_symlink(ini_file, ec)) {
    target = std::filesystem::weakly_canonical(ini_file, ec);
    if (ec) return save_failure(ini_file, ec.message());
  }

  IniFile ini;
  mode_t mode = 0644;
  Result<std::optional<std::string>> contents = read_small_file(target);
  // Replacing a file that cannot be read would throw away what it holds.
  if (!contents) return save_failure(ini_file, contents.message());
  // A missing file, or one too large to be a settings file, has nothing to keep.
  if (*contents) {
    // Keep every other section and key of the file as it was.
    parse_ini(std::move(**contents), ini);
    struct stat old_file {};
    if (::stat(target.c_str(), &old_file) == 0) mode = old_file.st_mode & 07777;
  }

  ini.SetValue("Filenames", "ImageFile",
               single_line(cut_to_max_path(settings.image_file_path)).c_str(), nullptr, true);
  const auto set_int = [&ini, &settings](const IntField& f) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(settings.*f.field));
    ini.SetValue(f.section, f.key, text, nullptr, true);
  };
  for (const IntField& f : kIntFields) set_int(f);
  ini.SetValue("Hardware", "Port", single_line(settings.port).c_str(), nullptr, true);
  ini.SetValue("Hardware", "Source", single_line(settings.source).c_str(), nullptr, true);
  for (const TextField& f : kRecordingFields) {
    ini.SetValue("Recording", f.key, single_line(settings.*f.field).c_str(), nullptr, true);
  }
  for (const IntField& f : kStackFields) set_int(f);
  for (const IntField& f : kSimulationFields) set_int(f);
  for (const IntField& f : kCalibrationFields) set_int(f);
  if (settings.layout_saved != 0) {
    for (const IntField& f : kLayoutFields) set_int(f);
  }

  std::string output;
  if (ini.Save(output, /*a_bAddSignature=*/true) < 0) {
    return save_failure(ini_file, "out of memory");
  }

  const std::filesystem::path folder = target.parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ec);
    if (ec) return save_failure(ini_file, ec.message());
  }
  if (Status replaced = replace_file_atomically(target, output, mode); !replaced) {
    return save_failure(ini_file, replaced.message());
  }
  return {};
}

}  // namespace

}  // namespace noctra
