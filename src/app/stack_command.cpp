#include "app/stack_command.h"

#include <ostream>
#include <vector>

#include "app/recording_frames.h"
#include "imaging/calibration.h"
#include "imaging/stack_engine.h"
#include "output/calibration_library.h"
#include "output/stack_files.h"

namespace noctra {

namespace {

// The masters given on the command line, read and checked against the
// recording's frames.
struct GivenMasters {
  std::optional<StoredMaster> dark, flat;
  std::optional<Calibrator> calibrator;
};

Result<StoredMaster> given_master(const std::string& file, MasterKind kind, const char* option,
                                  int32_t width, int32_t height) {
  Result<StoredMaster> master = read_master_file(file);
  if (!master) return failure(option + std::string(" ") + file + ": " + master.message());
  if (master->master.kind != kind) {
    return failure(option + std::string(" ") + file + " is a master of another kind");
  }
  const MasterIdentity& id = master->identity;
  if (id.width != width || id.height != height) {
    return failure(option + std::string(" ") + file + " is " + std::to_string(id.width) + " x " +
                   std::to_string(id.height) + ", the recording's frames " + std::to_string(width) +
                   " x " + std::to_string(height));
  }
  return master;
}

Result<GivenMasters> given_masters(const StackRequest& request, int32_t width, int32_t height) {
  GivenMasters given;
  if (!request.dark.empty()) {
    Result<StoredMaster> dark =
        given_master(request.dark, MasterKind::Dark, "--dark", width, height);
    if (!dark) return failure(dark.message());
    given.dark = std::move(*dark);
  }
  if (!request.flat.empty()) {
    Result<StoredMaster> flat =
        given_master(request.flat, MasterKind::Flat, "--flat", width, height);
    if (!flat) return failure(flat.message());
    given.flat = std::move(*flat);
  }
  if (!given.dark && !given.flat) return given;
  const MasterIdentity& id = given.dark ? given.dark->identity : given.flat->identity;
  std::string why;
  given.calibrator = Calibrator::prepare({nullptr, given.dark ? &given.dark->master : nullptr,
                                          given.flat ? &given.flat->master : nullptr},
                                         neighbour_row_step(id), &why);
  if (!given.calibrator) return failure("the masters do not fit together: " + why);
  return given;
}

// A frame's integration and amplifier time from its instants; a recording
// read back keeps UTC instants only, whose difference is the same.
ExposureTimes recorded_times(const FrameTiming& timing, bool amp_switching) {
  FrameTiming utc = timing;
  if (utc.start) utc.start->mono_us = utc.start->utc_us;
  if (utc.end) utc.end->mono_us = utc.end->utc_us;
  return exposure_times(utc, amp_switching);
}

}  // namespace

int run_stack(const StackRequest& request, std::ostream& err) {
  Result<RecordingFrames> recording = RecordingFrames::open(request.recording);
  if (!recording) {
    err << "noctra: " << recording.message() << "\n";
    return 2;
  }
  RecordedFrame frame;
  std::optional<GivenMasters> masters;
  if (!request.dark.empty() || !request.flat.empty()) {
    // The masters are checked against the first frame's size before anything is stacked.
    if (const Status read = recording->read(0, frame); !read) {
      err << "noctra: " << read.message() << "\n";
      return 2;
    }
    const int32_t width = frame.image ? frame.image->width() : frame.planes.width();
    const int32_t height = frame.image ? frame.image->height() : frame.planes.height();
    Result<GivenMasters> given = given_masters(request, width, height);
    if (!given) {
      err << "noctra: " << given.message() << "\n";
      return 2;
    }
    masters = std::move(*given);
  }
  StackEngine engine;
  StackHeader header;
  if (masters) {
    if (masters->dark) header.dark = masters->dark->file.filename().string();
    if (masters->flat) header.flat = masters->flat->file.filename().string();
  }
  const bool amp_switching = masters && masters->dark && masters->dark->identity.amp_switching;
  CalibrationOptions options;
  FloatPlanes calibrated;
  VerdictCounts counts;
  std::vector<StackFrameReport> reports;
  int status = 0;
  for (std::size_t i = 0; i < recording->count(); ++i) {
    if (const Status read = recording->read(i, frame); !read) {
      err << "noctra: " << read.message() << "\n";
      status = 2;
      break;
    }
    const auto number = static_cast<int64_t>(i);
    StackFrameReport report;
    if (masters && masters->calibrator) {
      const FrameHolder image = frame.image ? std::move(frame.image) : frame_image_of(frame);
      if (!image) {
        err << "noctra: frame " << i << " of " << request.recording << " is not a frame\n";
        status = 2;
        break;
      }
      const CalibrationReport calibration = masters->calibrator->calibrate(
          *image, recorded_times(frame.timing, amp_switching), options, calibrated);
      report = engine.add(calibrated.view(), number);
      if (calibration.dark_applied) report.dark_scale = calibration.k;
    } else {
      report =
          frame.image ? engine.add(*frame.image, number) : engine.add(frame.planes.view(), number);
    }
    count_stack_frame(header, report, frame.timing);
    counts.add(report.verdict);
    reports.push_back(report);
  }
  const StackPaths paths = request.output.empty() ? stack_paths_for_recording(request.recording)
                                                  : stack_paths_for_fits(request.output);
  if (const Status written = write_stack_files(paths, engine.picture(), header, reports);
      !written) {
    err << "noctra: " << written.message() << "\n";
    return status != 0 ? status : 1;
  }
  if (header.combined == 0) {
    err << "noctra: no frame of " << request.recording << " could be stacked ("
        << counts.left_out_text() << "); the reasons are in " << paths.csv << "\n";
    return status != 0 ? status : 1;
  }
  err << "noctra: " << paths.fits << ": " << header.combined << " of " << reports.size()
      << " frames stacked";
  if (header.exposure_known) err << ", " << header.exposure_s << " s";
  if (counts.left_out() > 0) err << "; left out: " << counts.left_out_text();
  err << "\n";
  return status;
}

}  // namespace noctra
