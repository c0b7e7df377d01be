#include "app/stack_command.h"

#include <ostream>
#include <vector>

#include "app/recording_frames.h"
#include "imaging/stack_engine.h"
#include "output/stack_files.h"

namespace noctra {

int run_stack(const StackRequest& request, std::ostream& err) {
  if (!request.dark.empty() || !request.flat.empty()) {
    err << "noctra: --dark and --flat need the calibration library, which this build does not "
           "have yet\n";
    return 2;
  }
  Result<RecordingFrames> recording = RecordingFrames::open(request.recording);
  if (!recording) {
    err << "noctra: " << recording.message() << "\n";
    return 2;
  }
  StackEngine engine;
  StackHeader header;
  VerdictCounts counts;
  std::vector<StackFrameReport> reports;
  RecordedFrame frame;
  int status = 0;
  for (std::size_t i = 0; i < recording->count(); ++i) {
    if (const Status read = recording->read(i, frame); !read) {
      err << "noctra: " << read.message() << "\n";
      status = 2;
      break;
    }
    const auto number = static_cast<int64_t>(i);
    const StackFrameReport report =
        frame.image ? engine.add(*frame.image, number) : engine.add(frame.planes.view(), number);
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
