#include "output/calibration_library.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "config/version.h"
#include "output/checked_write.h"
#include "output/fits_container.h"

namespace noctra {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFitsBlock = 2880;
constexpr const char* kTemporarySuffix = ".part";
// Far beyond any master of a frame Noctra handles (16384 x 16384 x 3 floats
// would not be a video frame); a file larger than this is not one of ours.
constexpr std::uintmax_t kMaxMasterFileBytes = std::uintmax_t{4} * kMaxImageBytes + 64 * 2880;

struct KindName {
  MasterKind kind;
  const char* image_type;
  const char* file_word;
};
constexpr KindName kKinds[] = {
    {MasterKind::Bias, "Master Bias", "bias"},
    {MasterKind::Dark, "Master Dark", "dark"},
    {MasterKind::Flat, "Master Flat", "flat"},
};

const KindName& kind_name(MasterKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k;
  }
  return kKinds[1];
}

struct FieldName {
  KeptField field;
  const char* text;  // NOCFIELD, as the FITS recordings write it
};
constexpr FieldName kFields[] = {
    {KeptField::Both, "BOTH"}, {KeptField::Even, "EVEN"}, {KeptField::Odd, "ODD"}};

const char* field_text(KeptField field) {
  for (const FieldName& f : kFields) {
    if (f.field == field) return f.text;
  }
  return kFields[0].text;
}

std::string header_text(const std::string& text) {
  std::string clean = text.substr(0, 68);
  for (char& c : clean) {
    if (c < 32 || c > 126) c = '?';
  }
  return clean;
}

// A FITS file that CFITSIO builds in memory, and its bytes once complete.
class MemoryFits {
 public:
  explicit MemoryFits(std::size_t expected_bytes)
      : size_(expected_bytes), memory_(std::malloc(expected_bytes)) {
    if (memory_ == nullptr) {
      status_ = MEMORY_ALLOCATION;
      return;
    }
    const auto grow = [](void* block, std::size_t bytes) { return std::realloc(block, bytes); };
    fits_create_memfile(&file_, &memory_, &size_, kFitsBlock, grow, &status_);
  }
  ~MemoryFits() {
    if (file_ != nullptr) {
      int ignored = 0;
      fits_close_file(file_, &ignored);
    }
    std::free(memory_);
  }
  MemoryFits(const MemoryFits&) = delete;
  MemoryFits& operator=(const MemoryFits&) = delete;

  fitsfile* file() { return file_; }
  int* status() { return &status_; }

  // Closes the file: its bytes up to the end of the data's last record.
  Result<std::vector<uint8_t>> finish() {
    LONGLONG unused = 0, data_end = 0;
    if (file_ != nullptr) fits_get_hduaddrll(file_, &unused, &unused, &data_end, &status_);
    int closing = 0;
    if (file_ != nullptr) fits_close_file(file_, &closing);
    file_ = nullptr;
    if (status_ == 0) status_ = closing;
    if (status_ != 0) return failure(cfitsio_message(status_));
    const auto length =
        (static_cast<std::size_t>(data_end) + kFitsBlock - 1) / kFitsBlock * kFitsBlock;
    if (length > size_) return failure("CFITSIO: the file is larger than its buffer");
    const auto* begin = static_cast<const uint8_t*>(memory_);
    return std::vector<uint8_t>(begin, begin + length);
  }

 private:
  std::size_t size_;
  void* memory_;
  fitsfile* file_ = nullptr;
  int status_ = 0;
};

std::string fits_date(int64_t utc_us) {
  std::string text = format_utc(utc_us, 3);
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  return text;
}

// The FITS planes run R, G, B; the frame's channels B, G, R.
int32_t fits_plane_of(int32_t channel, int32_t channels) {
  return channels == 3 ? 2 - channel : channel;
}

std::string file_word(const std::string& text) {
  std::string word;
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    word += plain ? c : '-';
  }
  return word.empty() ? std::string("none") : word;
}

bool has_fits_extension(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".fits" || extension == ".fit";
}

std::string identity_text(const MasterIdentity& id) {
  return std::to_string(id.width) + " x " + std::to_string(id.height) + " " + id.format + ", " +
         std::string(capture_mode_text(id.mode)) +
         (id.amp_switching ? ", amplifier switched" : ", amplifier on");
}

// Writes the bytes to a new file and puts them on the disk: 0, else the errno.
int write_durably(WriterIo& io, const char* path, const std::vector<uint8_t>& bytes) {
  const int fd = io.create_file(path);
  if (fd < 0) return errno;
  const struct iovec whole = iovec_of(bytes.data(), bytes.size());
  const bool written = write_fully(io, fd, std::span(&whole, 1), 0) && io.fdatasync(fd) == 0;
  const int write_error = written ? 0 : errno;
  const bool closed = io.close(fd) == 0;
  if (write_error != 0) return write_error;
  return closed ? 0 : errno;
}

}  // namespace

ExposureTimes exposure_times(const FrameTiming& timing, bool amp_switching,
                             std::optional<Instant> amplifier_on) {
  ExposureTimes times;
  if (!timing.start || !timing.end) return times;
  times.integration_s = std::max<int64_t>(0, timing.end->mono_us - timing.start->mono_us) / 1e6;
  if (!amp_switching) {
    times.amplifier_s = times.integration_s;
  } else if (amplifier_on) {
    times.amplifier_s = std::clamp<double>((timing.end->mono_us - amplifier_on->mono_us) / 1e6, 0.0,
                                           times.integration_s);
  }
  return times;
}

int32_t neighbour_row_step(const MasterIdentity& identity) {
  return neighbour_row_step(identity.field != KeptField::Both);
}

std::string master_file_name(const StoredMaster& stored) {
  const MasterIdentity& id = stored.identity;
  const auto ms = std::llround(stored.master.times.integration_s * 1000.0);
  return std::string(kind_name(stored.master.kind).file_word) + "_" + std::to_string(id.width) +
         "x" + std::to_string(id.height) + "_" + file_word(id.format) + "_" +
         (id.mode == CaptureMode::HighRes ? "hires" : "lowres") + "_" +
         file_word(field_text(id.field)) + "_" + (id.amp_switching ? "ampsw" : "ampon") + "_" +
         std::to_string(ms) + "ms.fits";
}

std::optional<std::vector<uint8_t>> encode_master_fits(const StoredMaster& stored,
                                                       std::string* error) {
  const MasterFrame& master = stored.master;
  const FloatPlanes& image = master.image;
  if ((image.channels != 1 && image.channels != 3) || image.width <= 0 || image.height <= 0 ||
      image.samples.size() != image.plane_size() * static_cast<std::size_t>(image.channels)) {
    if (error) *error = "the master's image is incomplete";
    return std::nullopt;
  }
  const std::size_t data_bytes = image.samples.size() * sizeof(float);
  MemoryFits fits(4 * kFitsBlock + (data_bytes + kFitsBlock - 1) / kFitsBlock * kFitsBlock);
  fitsfile* file = fits.file();
  int& status = *fits.status();
  long axes[3] = {image.width, image.height, 3};
  fits_create_img(file, FLOAT_IMG, image.channels == 3 ? 3 : 2, axes, &status);

  const MasterIdentity& id = stored.identity;
  const auto text = [&](const char* key, const std::string& value, const char* comment) {
    fits_write_key_str(file, key, header_text(value).c_str(), comment, &status);
  };
  const auto real = [&](const char* key, double value, const char* comment) {
    fits_write_key_fixdbl(file, key, value, 6, comment, &status);
  };
  text("IMAGETYP", kind_name(master.kind).image_type, "type of image");
  real("EXPTIME", master.times.integration_s, "[s] mean integration: exposure start to trigger");
  fits_write_key_lng(file, "NCOMBINE", master.frames_combined, "frames combined", &status);
  text("DATE-OBS", fits_date(stored.first_frame_utc_us), "first frame's exposure start");
  text("TIMESYS", "UTC", "time scale of the dates");
  text("ROWORDER", "BOTTOM-UP", "first row is the bottom line of the picture");
  text("NOCMODE", std::string(capture_mode_text(id.mode)), "Noctra capture mode");
  text("NOCFIELD", field_text(id.field), "interlaced field kept (BOTH: none dropped)");
  fits_write_key_log(file, "NOCAMPSW", id.amp_switching ? 1 : 0,
                     "amplifier switched off during the exposure", &status);
  text("NOCDEV", id.device, "capture device");
  text("NOCFMT", id.format, "capture format");
  real("NOCAMPON", master.times.amplifier_s, "[s] mean amplifier on-time during the exposure");
  real("NOISE", master.noise, "[ADU] noise of the master");
  text("SWCREATE", std::string("Noctra ") + kVersion, "program that wrote the file");

  const std::size_t plane = image.plane_size();
  for (int32_t c = 0; c < image.channels && status == 0; ++c) {
    const auto first = static_cast<LONGLONG>(1 + fits_plane_of(c, image.channels) * plane);
    fits_write_img(file, TFLOAT, first, static_cast<LONGLONG>(plane),
                   const_cast<float*>(image.plane(c)), &status);
  }
  Result<std::vector<uint8_t>> bytes = fits.finish();
  if (!bytes) {
    if (error) *error = bytes.message();
    return std::nullopt;
  }
  return std::move(*bytes);
}

namespace {

// Reads a master from an open FITS file, or says why it is not one.
Result<StoredMaster> read_master(fitsfile* file, std::size_t file_bytes) {
  int status = 0;
  int bitpix = 0, naxis = 0;
  long axes[3] = {0, 0, 0};
  fits_get_img_param(file, 3, &bitpix, &naxis, axes, &status);
  if (status != 0) return failure(cfitsio_message(status));
  if (bitpix != FLOAT_IMG) return failure("not 32-bit float samples");
  if (naxis != 2 && !(naxis == 3 && axes[2] == 3)) return failure("neither one nor three planes");
  if (axes[0] <= 0 || axes[1] <= 0 || axes[0] > kMaxFrameDimension ||
      axes[1] > kMaxFrameDimension) {
    return failure("a size no frame has");
  }
  const std::optional<std::size_t> stride = row_stride_for(static_cast<int32_t>(axes[0]), 24);
  if (!stride || *stride * static_cast<std::size_t>(axes[1]) > kMaxImageBytes) {
    return failure("a size no frame has");
  }
  StoredMaster stored;
  MasterFrame& master = stored.master;
  master.image.width = static_cast<int32_t>(axes[0]);
  master.image.height = static_cast<int32_t>(axes[1]);
  master.image.channels = naxis == 3 ? 3 : 1;
  const std::size_t samples = master.image.plane_size() * master.image.channels;
  // Checked before anything is allocated: a short file cannot ask for more.
  LONGLONG header_at = 0, data_at = 0, data_end = 0;
  fits_get_hduaddrll(file, &header_at, &data_at, &data_end, &status);
  if (status != 0 || data_at < 0 ||
      static_cast<std::size_t>(data_at) + samples * sizeof(float) > file_bytes) {
    fits_clear_errmsg();
    return failure("the data are cut short");
  }

  char value[FLEN_VALUE] = {};
  fits_read_key_str(file, "IMAGETYP", value, nullptr, &status);
  if (status != 0) return failure("no IMAGETYP: not a master");
  const KindName* kind = nullptr;
  for (const KindName& k : kKinds) {
    if (std::strcmp(value, k.image_type) == 0) kind = &k;
  }
  if (kind == nullptr) return failure(std::string("IMAGETYP '") + value + "' is not a master");
  master.kind = kind->kind;

  double exposure = 0, amplifier = 0, noise = 0;
  long combined = 0;
  int amp_switching = 0;
  char mode[FLEN_VALUE] = {}, field[FLEN_VALUE] = {}, device[FLEN_VALUE] = {},
       format[FLEN_VALUE] = {}, date[FLEN_VALUE] = {};
  fits_read_key_dbl(file, "EXPTIME", &exposure, nullptr, &status);
  fits_read_key_lng(file, "NCOMBINE", &combined, nullptr, &status);
  fits_read_key_str(file, "DATE-OBS", date, nullptr, &status);
  fits_read_key_str(file, "NOCMODE", mode, nullptr, &status);
  fits_read_key_str(file, "NOCFIELD", field, nullptr, &status);
  fits_read_key_log(file, "NOCAMPSW", &amp_switching, nullptr, &status);
  fits_read_key_str(file, "NOCDEV", device, nullptr, &status);
  fits_read_key_str(file, "NOCFMT", format, nullptr, &status);
  fits_read_key_dbl(file, "NOCAMPON", &amplifier, nullptr, &status);
  fits_read_key_dbl(file, "NOISE", &noise, nullptr, &status);
  if (status != 0) return failure("a master's key is missing (" + cfitsio_message(status) + ")");
  if (!std::isfinite(exposure) || exposure < 0 || !std::isfinite(amplifier) || amplifier < 0 ||
      !std::isfinite(noise) || combined < 1) {
    return failure("EXPTIME, NOCAMPON, NOISE or NCOMBINE out of range");
  }
  master.times = {exposure, amplifier};
  master.noise = noise;
  master.frames_combined = static_cast<int32_t>(std::min<long>(combined, INT32_MAX));

  MasterIdentity& id = stored.identity;
  id.width = master.image.width;
  id.height = master.image.height;
  id.device = device;
  id.format = format;
  if (std::strcmp(mode, "High Res") == 0) {
    id.mode = CaptureMode::HighRes;
  } else if (std::strcmp(mode, "Low Res") != 0) {
    return failure(std::string("NOCMODE '") + mode + "' is no mode");
  }
  const FieldName* kept = nullptr;
  for (const FieldName& f : kFields) {
    if (std::strcmp(field, f.text) == 0) kept = &f;
  }
  if (kept == nullptr) return failure(std::string("NOCFIELD '") + field + "' is no field");
  id.field = kept->field;
  id.amp_switching = amp_switching != 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  double second = 0;
  fits_str2time(date, &year, &month, &day, &hour, &minute, &second, &status);
  if (status != 0) return failure("DATE-OBS is no date (" + cfitsio_message(status) + ")");
  stored.first_frame_utc_us =
      (days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
       hour * 3600 + minute * 60) *
          1000000 +
      std::llround(second * 1e6);

  master.image.samples.resize(samples);
  const std::size_t plane = master.image.plane_size();
  for (int32_t c = 0; c < master.image.channels; ++c) {
    float null_value = 0;
    int any_null = 0;
    const auto first = static_cast<LONGLONG>(1 + fits_plane_of(c, master.image.channels) * plane);
    fits_read_img(file, TFLOAT, first, static_cast<LONGLONG>(plane), &null_value,
                  master.image.plane(c), &any_null, &status);
    if (status != 0) return failure(cfitsio_message(status));
  }
  for (float v : master.image.samples) {
    if (!std::isfinite(v)) return failure("samples that are not numbers");
  }
  return stored;
}

}  // namespace

Result<StoredMaster> decode_master_fits(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return failure("an empty file");
  // CFITSIO reads whole 2880-byte records, even the last one of a file cut
  // short: it gets a copy padded with zeros to whole records.
  std::vector<uint8_t> padded((bytes.size() + kFitsBlock - 1) / kFitsBlock * kFitsBlock, 0);
  std::copy(bytes.begin(), bytes.end(), padded.begin());
  void* memory = padded.data();
  std::size_t size = padded.size();
  int status = 0;
  fitsfile* file = nullptr;
  fits_open_memfile(&file, "master.fits", READONLY, &memory, &size, 0, nullptr, &status);
  if (status != 0) {
    std::string message = "not a FITS file (" + cfitsio_message(status) + ")";
    if (file != nullptr) {
      int ignored = 0;
      fits_close_file(file, &ignored);
    }
    return failure(message);
  }
  Result<StoredMaster> master = read_master(file, bytes.size());
  status = 0;
  fits_close_file(file, &status);
  fits_clear_errmsg();
  return master;
}

Result<StoredMaster> read_master_file(const fs::path& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return failure(ec.message());
  if (size > kMaxMasterFileBytes) return failure("too large for a master");
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    return failure(std::strerror(errno));
  }
  Result<StoredMaster> master = decode_master_fits(bytes);
  if (master) master->file = path;
  return master;
}

CalibrationLibrary::CalibrationLibrary(fs::path folder, WriterIo& io)
    : folder_(std::move(folder)), io_(io) {}

std::vector<std::string> CalibrationLibrary::scan() {
  masters_.clear();
  std::vector<std::string> skipped;
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && has_fits_extension(it->path())) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    Result<StoredMaster> master = read_master_file(file);
    if (master) {
      masters_.push_back(std::move(*master));
    } else {
      skipped.push_back("Calibration library: " + file.string() + " skipped: " + master.message());
    }
  }
  return skipped;
}

Result<fs::path> CalibrationLibrary::save(StoredMaster stored) {
  std::string error;
  const std::optional<std::vector<uint8_t>> bytes = encode_master_fits(stored, &error);
  if (!bytes) return failure(error);
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) return failure("Can't create " + folder_.string() + ": " + ec.message());

  const fs::path final_path = folder_ / master_file_name(stored);
  const std::string temporary = final_path.string() + kTemporarySuffix;
  const auto failed = [&](int error_number) {
    io_.remove_file(temporary.c_str());
    return failure("Can't write " + final_path.string() + ": " + std::strerror(error_number));
  };
  if (const int written = write_durably(io_, temporary.c_str(), *bytes); written != 0) {
    return failed(written);
  }
  if (io_.rename_file(temporary.c_str(), final_path.c_str()) != 0) return failed(errno);
  if (const int folder_fd = io_.open_folder(folder_.c_str()); folder_fd >= 0) {
    io_.fdatasync(folder_fd);
    io_.close(folder_fd);
  }
  stored.file = final_path;
  std::erase_if(masters_, [&](const StoredMaster& m) { return m.file == final_path; });
  masters_.push_back(std::move(stored));
  return final_path;
}

CalibrationLibrary::Selection CalibrationLibrary::find(const MasterIdentity& light,
                                                       double integration_s) const {
  Selection chosen;
  for (const StoredMaster& m : masters_) {
    const MasterIdentity& id = m.identity;
    if (id.width != light.width || id.height != light.height || id.format != light.format ||
        id.mode != light.mode) {
      continue;
    }
    const double t = m.master.times.integration_s;
    switch (m.master.kind) {
      case MasterKind::Bias:
        if (id.amp_switching == light.amp_switching &&
            (chosen.bias == nullptr || t < chosen.bias->master.times.integration_s)) {
          chosen.bias = &m;
        }
        break;
      case MasterKind::Dark:
        if (id.amp_switching == light.amp_switching && id.field == light.field) {
          const double distance = std::fabs(t - integration_s);
          const double best =
              chosen.dark == nullptr
                  ? INFINITY
                  : std::fabs(chosen.dark->master.times.integration_s - integration_s);
          // Of two equally near, the longer: scaling down adds less noise.
          if (distance < best ||
              (distance == best && t > chosen.dark->master.times.integration_s)) {
            chosen.dark = &m;
          }
        }
        break;
      case MasterKind::Flat:
        if (chosen.flat == nullptr || m.first_frame_utc_us > chosen.flat->first_frame_utc_us) {
          chosen.flat = &m;
        }
        break;
    }
  }
  const std::string what = identity_text(light);
  if (chosen.bias == nullptr) chosen.missing.push_back("no master bias for " + what);
  if (chosen.dark == nullptr) chosen.missing.push_back("no master dark for " + what);
  if (chosen.flat == nullptr) chosen.missing.push_back("no master flat for " + what);
  return chosen;
}

std::optional<Calibrator> prepare_calibrator(const CalibrationLibrary::Selection& selection,
                                             std::string* why) {
  const auto master_of = [](const StoredMaster* stored) {
    return stored != nullptr ? &stored->master : nullptr;
  };
  const StoredMaster* any = selection.dark   ? selection.dark
                            : selection.bias ? selection.bias
                                             : selection.flat;
  const int32_t step = any != nullptr ? neighbour_row_step(any->identity) : 1;
  return Calibrator::prepare(
      {master_of(selection.bias), master_of(selection.dark), master_of(selection.flat)}, step, why);
}

}  // namespace noctra
