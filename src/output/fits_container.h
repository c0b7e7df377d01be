#pragma once
// FITS recordings: one standalone FITS file per frame, written by CFITSIO.
// The frames of a recording take its name with a six-digit frame number
// before the extension (m42_000.fits gives m42_000_000000.fits,
// m42_000_000001.fits, ...), so they sort in frame order by name. Each is
// written under a temporary name, put on the disk and then renamed, so a
// crash leaves whole frames and never half a file under a frame's name.
//
// Data: 8-bit samples, NAXIS1 = width, NAXIS2 = height, NAXIS3 = 3 planes in
// R, G, B order, rows bottom-up as in the frame (ROWORDER = 'BOTTOM-UP'); a
// mono recording's frames have one plane (NAXIS = 2).
//
// A calibrated recording writes 32-bit float samples (BITPIX = -32) in the
// same layout, calibrated on a writer thread of its own, with keys naming
// the masters applied.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/timing.h"
#include "imaging/calibration.h"
#include "imaging/frame_image.h"
#include "output/container.h"

namespace noctra {

inline constexpr int kFitsFrameDigits = 6;

std::unique_ptr<RecordingContainer> make_fits_container(WriterIo& io = posix_writer_io());
inline constexpr int64_t kMostFitsFrames = 1'000'000;

// One card of a frame's header: text, a real (written with
// kFitsRealDecimals decimals), an integer or a logical.
struct FitsKey {
  std::string name;
  std::variant<std::string, double, int64_t, bool> value;
  std::string comment;
};
inline constexpr int kFitsRealDecimals = 6;

// The keys Noctra puts into a frame's header, in the order they are written:
// the row order, the exposure's instants (EXPTIME, DATE-OBS, DATE-END and
// TIMESYS; an instant the frame lacks leaves its keys out), what took the
// frame (IMAGETYP, INSTRUME, TELESCOP and OBSERVER when given, SWCREATE), the
// binning, FRAMENO and Noctra's mode keys NOCMODE, NOCFIELD and NOCAMPSW.
// Text values are printable ASCII already. Every FITS file Noctra makes,
// recorded or sent to a network client, carries these.
std::vector<FitsKey> fits_frame_keys(const FrameTiming& timing, const FrameMetadata& metadata,
                                     const RecordingInfo& info, int64_t frame_number);

// The whole FITS file of one frame, made in memory: what the recording
// writes to disk and what a network client is sent. frame_number is the
// frame's position in its recording (from 0). Nothing, with the reason in
// *error, when CFITSIO fails.
std::optional<std::vector<uint8_t>> encode_fits_frame(
    const FrameImage& frame, const FrameTiming& timing, const FrameMetadata& metadata,
    const RecordingInfo& info, int64_t frame_number, std::string* error = nullptr);

// One frame of a calibrated recording, on its writer thread: the frame as
// float planes (1 grey; 3 blue, green, red) and the header keys that say
// what was applied. Called from one thread at a time.
using CalibrateRecordedFrame = std::function<void(
    const FrameImage& frame, const FrameTiming& timing, const FrameMetadata& metadata,
    FloatPlanes& out, std::vector<FitsKey>& keys)>;

// A calibrated FITS recording: append() copies the frame into a queue and
// returns (it waits only while kCalibratedQueueFrames frames wait already: a
// frame is never dropped); the writer thread calibrates, encodes and writes
// each in turn. A failure of the writer comes back from the next append()
// (whose frame is queued all the same), flush() or close(); close() writes
// every frame queued first.
inline constexpr std::size_t kCalibratedQueueFrames = 8;
std::unique_ptr<RecordingContainer> make_calibrated_fits_container(
    WriterIo& io, CalibrateRecordedFrame calibrate);

// The whole FITS file of a calibrated frame (32-bit float; a mono recording
// takes the first plane), with the frame's keys and `calibration_keys`
// after them.
std::optional<std::vector<uint8_t>> encode_fits_float_frame(
    const FloatPlanes& planes, const FrameTiming& timing, const FrameMetadata& metadata,
    const RecordingInfo& info, int64_t frame_number, const std::vector<FitsKey>& calibration_keys,
    std::string* error = nullptr);

// The file of frame `index` of the recording at recording_path.
std::string fits_frame_path(const std::string& recording_path, int64_t index);

// Whether a recording by that name exists: a file at the path itself, or any
// frame file of it (whatever its number, with either FITS extension in any
// letter case), or a frame file still under its temporary name. The
// numbering probes with this, so it never reuses the name of an earlier
// recording whose frames exist even when its first frame is gone.
bool fits_recording_exists(const std::string& recording_path);

// "CFITSIO: <its text of the status>"; CFITSIO's own message stack is
// cleared, so an old failure never shows in a later message.
std::string cfitsio_message(int status);

}  // namespace noctra
