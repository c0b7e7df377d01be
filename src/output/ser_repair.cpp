#include "output/ser_repair.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <system_error>
#include <vector>

#include "config/timing.h"
#include "imaging/little_endian.h"
#include "output/checked_write.h"
#include "output/ser_header.h"
#include "output/timing_log.h"
#include "output/unique_fd.h"

namespace noctra {

using namespace ser_layout;

namespace {

constexpr std::size_t kTimestampBytes = 8;
constexpr std::size_t kBlockBytes = 64 * 1024;

SerRepairResult repair_result(SerRepairOutcome outcome, int64_t frames, std::string message) {
  return {outcome, frames, std::move(message)};
}

}  // namespace

SerRepairResult repair_ser(const std::string& path, const std::string& timing_record_path,
                           WriterIo& io) {
  UniqueFd fd(io.open_file(path.c_str(), true), io);
  if (!fd) {
    return repair_result(SerRepairOutcome::Failed, 0,
                         "Can't open " + path + ": " + std::generic_category().message(errno));
  }
  const auto failed = [&](const char* doing) {
    return repair_result(
        SerRepairOutcome::Failed, 0,
        std::string("Can't ") + doing + " " + path + ": " + std::generic_category().message(errno));
  };
  const auto sync = [&] { return io.fdatasync(fd.get()) == 0; };

  const int64_t size = io.file_size(fd.get());
  if (size < 0 && errno != EISDIR && errno != EINVAL) return failed("read");
  std::vector<uint8_t> header(kSerHeaderBytes);
  if (size >= static_cast<int64_t>(kSerHeaderBytes) &&
      !read_fully(io, fd.get(), header.data(), header.size(), 0)) {
    if (errno == 0) errno = EIO;
    return failed("read");
  }
  if (size < static_cast<int64_t>(kSerHeaderBytes)) header.clear();
  const Result<SerHeader> parsed = parse_ser_header(header);
  if (!parsed) return repair_result(SerRepairOutcome::NotSer, 0, path + " " + parsed.message());
  const uint64_t frame_bytes = parsed->frame_bytes();
  const auto counted = static_cast<int64_t>(parsed->frame_count);
  const uint64_t data = static_cast<uint64_t>(size) - kSerHeaderBytes;
  int64_t frames = static_cast<int64_t>(data / frame_bytes);
  const uint64_t counted_end = static_cast<uint64_t>(counted) * frame_bytes;
  const uint64_t full_trailer = static_cast<uint64_t>(counted) * kTimestampBytes;
  if (counted > 0 && data == counted_end + full_trailer) {
    return repair_result(
        SerRepairOutcome::AlreadyComplete, counted,
        path + " already has its " + std::to_string(counted) + " frames and their timestamps");
  }
  // Bytes after the counted frames that fit inside their trailer are a
  // trailer cut short, not another frame.
  if (counted < frames && data >= counted_end && data - counted_end < full_trailer) {
    frames = counted;
  }
  frames = std::min<int64_t>(frames, INT32_MAX);

  uint8_t count[4];
  store_u32(count, static_cast<uint32_t>(frames));
  const struct iovec count_part = iovec_of(count, sizeof count);
  if (!write_fully(io, fd.get(), std::span(&count_part, 1), kFrameCountAt)) {
    return failed("write to");
  }
  const std::string counted_text = path + ": " + std::to_string(frames) + " frames";
  if (frames == 0) {
    if (!sync()) return failed("write to");
    return repair_result(SerRepairOutcome::Completed, 0, counted_text);
  }

  bool readable = false;
  std::map<int64_t, int64_t> starts;
  for (const auto& [frame, row] : read_timing_record(timing_record_path, io, &readable)) {
    if (row.start_utc) starts.emplace(frame, *row.start_utc);
  }
  // The record's frames are unique keys in order: every frame has its start
  // when those below `frames` number `frames`.
  const auto first_beyond = starts.lower_bound(frames);
  const auto dated = static_cast<int64_t>(std::distance(starts.begin(), first_beyond));
  if (dated < frames) {
    if (!sync()) return failed("write to");
    const std::string why = !readable
                                ? "the timing record " + timing_record_path + " can't be read"
                                : "the timing record " + timing_record_path + " has no start for " +
                                      std::to_string(frames - dated) + " of them";
    return repair_result(SerRepairOutcome::CountOnly, frames,
                         counted_text + ", no timestamps added: " + why);
  }
  // The trailer goes in blocks, so its size never has to fit in memory.
  uint64_t at = kSerHeaderBytes + static_cast<uint64_t>(frames) * frame_bytes;
  std::vector<uint8_t> block;
  block.reserve(kBlockBytes);
  for (auto it = starts.begin(); it != first_beyond; ++it) {
    block.resize(block.size() + kTimestampBytes);
    store_u64(block.data() + block.size() - kTimestampBytes,
              static_cast<uint64_t>(ticks_since_year_one(it->second)));
    if (block.size() == kBlockBytes || std::next(it) == first_beyond) {
      const struct iovec part = iovec_of(block.data(), block.size());
      if (!write_fully(io, fd.get(), std::span(&part, 1), at)) return failed("write to");
      at += block.size();
      block.clear();
    }
  }
  if (!sync()) return failed("write to");
  return repair_result(SerRepairOutcome::Completed, frames, counted_text + " with timestamps");
}

int repair_exit_status(SerRepairOutcome outcome) {
  switch (outcome) {
    case SerRepairOutcome::Completed:
    case SerRepairOutcome::AlreadyComplete:
      return 0;
    case SerRepairOutcome::NotSer:
      return 2;
    case SerRepairOutcome::CountOnly:
    case SerRepairOutcome::Failed:
      return 1;
  }
  return 1;
}

}  // namespace noctra
