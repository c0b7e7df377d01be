#pragma once
// The calibration library: master bias, dark and flat frames kept as 32-bit
// float FITS files, one file per master, in one folder
// (default_calibration_folder(): $XDG_DATA_HOME/noctra/calibration, else
// ~/.local/share/noctra/calibration), each named by what it matches.
//
// How the parts fit together, for a capture of masters and for the frames
// calibrated with them:
//
//   MasterCombiner combiner(MasterKind::Dark);          // imaging/calibration.h
//   for each frame: combiner.add(frame, exposure_times(timing, amp_switching));
//   StoredMaster dark{*combiner.finish(), identity, first_frame_start_utc_us};
//   library.save(dark);                                  // whole file or none
//
//   library.scan();                                      // once, and after a save
//   CalibrationLibrary::Selection chosen = library.find(light_identity, t);
//   std::optional<Calibrator> calibrator = prepare_calibrator(chosen);
//   calibrator->calibrate(frame, exposure_times(...), options, planes);
//
// A flat is combined the same way and finished with make_master_flat()
// before it is saved, its own dark taken off (library.find() for the flats'
// identity and exposure, then the scaled dark or the bias).
//
// File keys: IMAGETYP ('Master Dark', 'Master Flat', 'Master Bias'),
// EXPTIME (integration, s), NCOMBINE, DATE-OBS (the first frame's exposure
// start, UTC) and TIMESYS, ROWORDER ('BOTTOM-UP'), Noctra's NOCMODE, NOCFIELD
// and NOCAMPSW as in the recordings, NOCDEV and NOCFMT (the capture device
// and its format), NOCAMPON (the amplifier's on-time, s), NOISE (the
// master's noise, ADU) and SWCREATE. A grey master has NAXIS = 2; a colour
// one three planes in R, G, B order, as the FITS recordings.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/status.h"
#include "config/timing.h"
#include "imaging/calibration.h"
#include "output/frame_metadata.h"
#include "output/writer_io.h"

namespace noctra {

// What a master matches: the frames' size, the capture device and its
// format, and how they were taken.
struct MasterIdentity {
  int32_t width = 0;
  int32_t height = 0;
  std::string device;  // "sim", "v4l2:/dev/video0", ...
  std::string format;  // the source's frame format: "sim", "YUYV", "GREY", ...
  CaptureMode mode = CaptureMode::LowRes;
  KeptField field = KeptField::Both;
  bool amp_switching = false;
};

struct StoredMaster {
  MasterFrame master;
  MasterIdentity identity;
  int64_t first_frame_utc_us = 0;   // DATE-OBS: the first frame's exposure start
  std::filesystem::path file = {};  // where it lives; empty until saved or read
};

// A frame's two clocks from its timing record: the integration from the
// exposure start to the trigger (monotonic instants); without amplifier
// switching the amplifier is on all that time, with it from `amplifier_on`
// (the instant it was switched on for the read-out) to the trigger, or
// nothing when that instant was not stamped.
ExposureTimes exposure_times(const FrameTiming& timing, bool amp_switching,
                             std::optional<Instant> amplifier_on = std::nullopt);

// The row step of the neighbourhoods for frames of this identity: 2 when a
// field was kept and its rows doubled.
int32_t neighbour_row_step(const MasterIdentity& identity);

// "dark_640x480_sim_lowres_EVEN_ampon_10050ms.fits": kind, size, format,
// mode, field, amplifier setting and exposure, so that a new master of the
// same kind replaces the old one.
std::string master_file_name(const StoredMaster& master);

// The master as a FITS file in memory; nothing, with the reason, when
// CFITSIO fails.
std::optional<std::vector<uint8_t>> encode_master_fits(const StoredMaster& master,
                                                       std::string* error = nullptr);
// A master from a FITS file's bytes. Fails, saying why, for anything that is
// not a master Noctra wrote: another image type, missing keys, a size beyond
// the frames Noctra handles, data cut short or not numbers.
Result<StoredMaster> decode_master_fits(std::span<const uint8_t> bytes);
Result<StoredMaster> read_master_file(const std::filesystem::path& file);

class CalibrationLibrary {
 public:
  explicit CalibrationLibrary(std::filesystem::path folder, WriterIo& io = posix_writer_io());

  const std::filesystem::path& folder() const { return folder_; }

  // Reads every FITS file in the folder (a missing folder is an empty
  // library). A file that is not a readable master is skipped: one message
  // for each, returned.
  std::vector<std::string> scan();
  const std::vector<StoredMaster>& masters() const { return masters_; }

  // Writes the master under its name (creating the folder): first under a
  // temporary name, put on the disk, then renamed over any older master of
  // that name, so a failed write (a full disk) leaves no half master and the
  // old one in place. The library then holds it. The file's path, or why not.
  Result<std::filesystem::path> save(StoredMaster master);

  // The masters for light frames of that identity and integration time: the
  // bias and the dark of the same size, format, mode and amplifier setting
  // (the dark also of the same field, with the nearest exposure; the bias
  // the shortest), the newest flat of the same size, format and mode. A
  // master of another size or format is never chosen; `missing` names each
  // kind not found, for the view to show.
  struct Selection {
    const StoredMaster* bias = nullptr;
    const StoredMaster* dark = nullptr;
    const StoredMaster* flat = nullptr;
    std::vector<std::string> missing;
  };
  Selection find(const MasterIdentity& light, double integration_s) const;

 private:
  std::filesystem::path folder_;
  WriterIo& io_;
  std::vector<StoredMaster> masters_;
};

// The calibrator for a selection (nothing chosen gives one that passes frames
// through unchanged); nothing, with the reason, when the masters disagree.
std::optional<Calibrator> prepare_calibrator(const CalibrationLibrary::Selection& selection,
                                             std::string* why = nullptr);

}  // namespace noctra
