#pragma once
// SER (version 3) recordings: a 178-byte header, the frames top-down as 8-bit
// BGR rows without padding (mono recordings: one byte a pixel, colour 0), and
// after the frames one UTC timestamp per frame.
//
// The header's frame count is brought up to date after every frame, so a file
// cut short by a crash reads up to its last whole frame; the timestamps are
// written when the recording is closed, and repair_ser() (output/ser_repair.h)
// adds them to a file that never got there, from the recording's timing
// record.

#include <cstdint>
#include <memory>

#include "output/container.h"
#include "output/ser_header.h"

namespace noctra {

std::unique_ptr<RecordingContainer> make_ser_container(WriterIo& io = posix_writer_io());

// The local clock's offset east of UTC at that instant, in seconds (the SER
// header carries the local start beside the UTC one).
int64_t local_utc_offset_s(int64_t utc_us);

}  // namespace noctra
