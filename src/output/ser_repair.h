#pragma once
// `--repair`: completes a SER recording that a crash cut short, from the
// timing record beside it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "output/writer_io.h"

namespace noctra {

enum class SerRepairOutcome {
  Completed,        // the frame count is right and the timestamps are there
  AlreadyComplete,  // the file had its count and timestamps: nothing written
  CountOnly,        // the count was set, but the timing record could not give every timestamp
  NotSer,           // not a SER file (or one whose frame size cannot be known): nothing written
  Failed,           // reading or writing the file failed
};
struct SerRepairResult {
  SerRepairOutcome outcome = SerRepairOutcome::Failed;
  int64_t frames = 0;   // whole frames in the file
  std::string message;  // one line for the user
};

// Completes a SER file that a crash left without its count or timestamps:
// the frame count is set from the file size, and the timestamps are taken
// from the start_utc column of the timing record (one row per frame, by its
// frame column). The timestamps are all or nothing: when the record is
// missing or lacks a frame, none are written and the outcome is CountOnly.
// The file is never shortened: the timestamps go straight after the last
// whole frame, over the bytes of a torn one.
// Every file call goes through io.
SerRepairResult repair_ser(const std::string& path, const std::string& timing_record_path,
                           WriterIo& io = posix_writer_io());

// The program's exit status for `--repair`: 0 done, 1 not complete, 2 not SER.
int repair_exit_status(SerRepairOutcome outcome);

}  // namespace noctra
