#pragma once
// SER (version 3) recordings: a 178-byte header, the frames top-down as 8-bit
// BGR rows without padding, and after the frames one UTC timestamp per frame.
//
// The header's frame count is brought up to date after every frame, so a file
// cut short by a crash reads up to its last whole frame; the timestamps are
// written when the recording is closed, and repair_ser() adds them to a file
// that never got there, from the recording's timing record.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "output/container.h"

namespace noctra {

inline constexpr std::size_t kSerHeaderBytes = 178;
inline constexpr int32_t kSerColourBgr = 101;
inline constexpr std::size_t kSerTextBytes = 40;  // Observer, Instrument, Telescope

std::unique_ptr<RecordingContainer> make_ser_container(WriterIo& io = posix_writer_io());

// Where the header's fields stand, for the writer and the reader alike.
namespace ser_layout {
inline constexpr char kFileId[] = "LUCAM-RECORDER";
inline constexpr std::size_t kFileIdBytes = 14;
inline constexpr std::size_t kColourIdAt = 18;
inline constexpr std::size_t kWidthAt = 26;
inline constexpr std::size_t kHeightAt = 30;
inline constexpr std::size_t kDepthAt = 34;
inline constexpr std::size_t kFrameCountAt = 38;
}  // namespace ser_layout

// The local clock's offset east of UTC at that instant, in seconds (the SER
// header carries the local start beside the UTC one).
int64_t local_utc_offset_s(int64_t utc_us);

// "2026-12-07T21:04:05.123456Z" (0 to 6 decimals, the Z required) back to
// microseconds since 1970; nothing for any other text.
std::optional<int64_t> parse_utc(std::string_view text);

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
SerRepairResult repair_ser(const std::string& path, const std::string& timing_record_path);

// The program's exit status for `--repair`: 0 done, 1 not complete, 2 not SER.
int repair_exit_status(SerRepairOutcome outcome);

}  // namespace noctra
