#pragma once
// The recording formats, one row each. Everything the program knows about a
// format stands in its row (formats.cpp) and in its container file; nothing
// else names a format. A new format is one more row there plus its container
// (xyz_container.h and .cpp, the .cpp listed in this folder's CMakeLists.txt).

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "config/status.h"
#include "output/container.h"
#include "output/fits_container.h"
#include "output/naming.h"
#include "output/recording_reader.h"
#include "output/writer_io.h"

namespace noctra {

struct RecordingFormat {
  std::string_view name;                       // in messages: "Can't write to SER file ..."
  std::array<std::string_view, 2> extensions;  // lower case; the first is the one forced; "" unused
  FileFilter filter;                           // its entry in the chooser
  bool takes_mono;         // records 8-bit mono frames ([Recording] Colour=mono)
  bool takes_other_names;  // the format of a path whose extension no row names (exactly one row)
  // Whether a recording under this path exists already; numbering probes with
  // it so that it never reuses the name of an earlier recording.
  bool (*recording_exists)(const std::string& path);
  // A closed container of the format, doing every file call through io.
  std::unique_ptr<RecordingContainer> (*make_container)(WriterIo& io);
  // Whether the file's own first bytes say it is of this format (a
  // signature), whatever its name; nullptr when only the name tells.
  bool (*claims_content)(const std::string& path);
  // The recording at path opened for reading back, or why not.
  Result<std::unique_ptr<RecordingReader>> (*open_reader)(const std::string& path);
  // A closed container writing calibrated frames (32-bit float); null for a
  // format of 8-bit samples, which cannot hold them.
  std::unique_ptr<RecordingContainer> (*make_calibrated_container)(
      WriterIo& io, CalibrateRecordedFrame calibrate);
};

// Every row, in the order the chooser offers them.
std::span<const RecordingFormat> recording_formats();

// The format the path's extension names, in any letter case ("m42.SER" is
// SER), else the one that takes other names.
const RecordingFormat& format_of_path(std::string_view path);

// What the file claims to be: the format whose signature it starts with,
// else the one its name says (format_of_path).
const RecordingFormat& claimed_format(const std::string& path);

// The format's extension the path ends with (as the row spells it), else the
// one forced.
std::string_view own_extension(const RecordingFormat& format, std::string_view path);

// The message for a failed container call: "Can't open SER file <path>",
// "Can't write to FITS file <file>: <reason>", "Frame not written to SER file
// <path>: <detail>", ...; empty for success.
std::string container_failure_message(const RecordingFormat& format, const ContainerStatus& status,
                                      const std::string& recording_path);

// Why a format without calibrated frames records raw frames while
// calibrated recordings are asked for.
std::string calibrated_refusal_message(const RecordingFormat& format, const std::string& path);

// Why a format that takes no mono frames opens no recording while
// [Recording] Colour=mono asks for them.
std::string mono_refusal_message(const RecordingFormat& format, const std::string& path);

}  // namespace noctra
