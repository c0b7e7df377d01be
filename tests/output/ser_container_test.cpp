#include "output/ser_container.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "output/container.h"
#include "output/faulty_io.h"
#include "output/formats.h"
#include "output/readers.h"
#include "output/riff.h"
#include "output/ser_repair.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 63, kHeight = 47;  // rows of 189 bytes: the frame pads them to 192
constexpr std::size_t kFrameBytes = std::size_t{kWidth} * 3 * kHeight;
// 2026-12-07T21:04:05.123456Z
constexpr int64_t kFirstStartUs = 1796677445123456;
// 100 ns ticks from 0001-01-01 to 1970-01-01.
constexpr int64_t kTicksAt1970 = 621355968000000000;

FrameTiming timing_of(int index) {
  const int64_t start = kFirstStartUs + int64_t{index} * 2'000'000;
  return {Instant{start, 1000 + index}, Instant{start + 1'500'250, 2000 + index}, std::nullopt,
          std::nullopt};
}

std::vector<uint8_t> file_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The timing record as the recording writes it.
void write_timing_record(const fs::path& file, int rows) {
  std::ofstream out(file);
  out << "frame,start_utc,end_utc,exposure_ms,delivered_utc\n";
  for (int i = 0; i < rows; ++i) {
    const FrameTiming t = timing_of(i);
    out << i << "," << format_utc(t.start->utc_us) << "," << format_utc(t.end->utc_us)
        << ",1500.250," << format_utc(t.end->utc_us + 40000) << "\n";
  }
}

// The trailer a file of these frames must end with.
std::vector<uint8_t> expected_trailer(const std::vector<int>& indices) {
  std::vector<uint8_t> bytes(indices.size() * 8);
  for (std::size_t k = 0; k < indices.size(); ++k) {
    riff::store_u64(bytes.data() + 8 * k,
                    static_cast<uint64_t>(kTicksAt1970 + timing_of(indices[k]).start->utc_us * 10));
  }
  return bytes;
}

struct SerRecording {
  explicit SerRecording(WriterIo& io = posix_writer_io()) : container(make_ser_container(io)) {
    path = folder.file("m42_000.ser");
  }
  ContainerStatus open(const FrameImage& first, RecordingInfo info = {}) {
    return container->open(path, first, timing_of(0), info);
  }
  ContainerStatus append(const FrameImage& frame, int index) {
    return container->append(frame, timing_of(index), FrameMetadata{});
  }
  TempFolder folder;
  std::string path;
  std::unique_ptr<RecordingContainer> container;
};

// ffprobe and ffmpeg read the file as exactly these frames, in BGR.
void expect_ser_read_back(const fs::path& file, const std::vector<FrameImage>& frames) {
  ASSERT_FALSE(frames.empty());
  const auto count = std::to_string(frames.size());
  const auto probe = probe_video(file);
  EXPECT_EQ(probe.count("pix_fmt") ? probe.at("pix_fmt") : "", "bgr24");
  EXPECT_EQ(probe.count("width") ? probe.at("width") : "", std::to_string(frames[0].width()));
  EXPECT_EQ(probe.count("height") ? probe.at("height") : "", std::to_string(frames[0].height()));
  EXPECT_EQ(probe.count("nb_read_frames") ? probe.at("nb_read_frames") : "", count);
  EXPECT_EQ(stream_with_ffmpeg(file, frames[0].width(), frames[0].height(),
                               expect_frames(frames, "ffmpeg")),
            static_cast<int64_t>(frames.size()));
}

class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~LocalZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(SerContainer, HeaderHoldsTheGeometryTheNamesAndTheFirstStartInLocalAndUtcTime) {
  const LocalZone zone("NOC-2");  // two hours east of UTC
  SerRecording rec;
  const FrameImage frame = pattern_frame(kWidth, kHeight, 1);
  const RecordingInfo info{"A. Observer", "Noctra camera", std::string(45, 'T')};
  ASSERT_TRUE(rec.open(frame, info).ok());
  ASSERT_TRUE(rec.append(frame, 0).ok());
  ASSERT_TRUE(rec.append(frame, 1).ok());
  ASSERT_TRUE(rec.container->close(false).ok());

  std::vector<uint8_t> expected(kSerHeaderBytes, 0);
  std::memcpy(expected.data(), "LUCAM-RECORDER", 14);
  const std::pair<std::size_t, uint32_t> fields[] = {
      {14, 0}, {18, 101}, {22, 0}, {26, kWidth}, {30, kHeight}, {34, 8}, {38, 2}};
  for (const auto& [offset, value] : fields) riff::store_u32(expected.data() + offset, value);
  std::memcpy(expected.data() + 42, "A. Observer", 11);
  std::memcpy(expected.data() + 82, "Noctra camera", 13);
  std::memset(expected.data() + 122, 'T', 40);  // cut to the field's 40 bytes
  riff::store_u64(expected.data() + 162, kTicksAt1970 + (kFirstStartUs + 7'200'000'000) * 10);
  riff::store_u64(expected.data() + 170, kTicksAt1970 + kFirstStartUs * 10);

  const std::vector<uint8_t> bytes = file_bytes(rec.path);
  ASSERT_GE(bytes.size(), kSerHeaderBytes);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kSerHeaderBytes), expected);
}

TEST(SerContainer, FramesAreStoredTopDownWithoutPaddingAndTheTimestampsFollowThem) {
  SerRecording rec;
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  ASSERT_TRUE(rec.open(frames[0]).ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rec.append(frames[i], i).ok());
  EXPECT_EQ(rec.container->frames(), 3);
  ASSERT_TRUE(rec.container->close(false).ok());

  const std::vector<uint8_t> bytes = file_bytes(rec.path);
  ASSERT_EQ(bytes.size(), kSerHeaderBytes + 3 * kFrameBytes + 3 * 8);
  for (int f = 0; f < 3; ++f) {
    for (int32_t line = 0; line < kHeight; ++line) {
      const uint8_t* stored = bytes.data() + kSerHeaderBytes + f * kFrameBytes + line * kWidth * 3;
      ASSERT_EQ(std::memcmp(stored, frames[f].row(kHeight - 1 - line), kWidth * 3), 0)
          << "frame " << f << ", line " << line;
    }
  }
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 24, bytes.end()), expected_trailer({0, 1, 2}));
  expect_ser_read_back(rec.path, frames);
}

TEST(SerContainer, ReadersSeeTheSamePicturesAsInTheAviFileOfTheSameFrames) {
  const auto frames = pattern_frames(kWidth, kHeight, {7, 8});
  SerRecording rec;
  ASSERT_TRUE(rec.open(frames[0]).ok());
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(rec.append(frames[i], i).ok());
  ASSERT_TRUE(rec.container->close(false).ok());
  WriterRig avi;
  for (const FrameImage& frame : frames) avi.writer.avi_write_frame(&frame);
  avi.writer.avi_close();

  std::vector<std::vector<uint8_t>> from_avi, from_ser;
  const auto keep = [](std::vector<std::vector<uint8_t>>& into) {
    return [&into](const std::vector<uint8_t>& decoded) {
      into.push_back(decoded);
      return true;
    };
  };
  EXPECT_EQ(stream_with_ffmpeg(avi.settings.image_file_path, kWidth, kHeight, keep(from_avi)), 2);
  EXPECT_EQ(stream_with_ffmpeg(rec.path, kWidth, kHeight, keep(from_ser)), 2);
  EXPECT_EQ(from_ser, from_avi);
}

TEST(SerContainer, AFrameOfAnotherSizeIsRefusedAndTheRecordingGoesOn) {
  SerRecording rec;
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2});
  const FrameImage other = pattern_frame(kWidth + 1, kHeight, 3);
  ASSERT_TRUE(rec.open(frames[0]).ok());
  ASSERT_TRUE(rec.append(frames[0], 0).ok());
  const ContainerStatus refused = rec.append(other, 1);
  EXPECT_EQ(refused.failure, ContainerFailure::Refused);
  EXPECT_EQ(container_failure_message(format_of_path(".ser"), refused, rec.path),
            "Frame not written to SER file " + rec.path +
                ": its size 64x47 differs from the recording's 63x47");
  ASSERT_TRUE(rec.append(frames[1], 1).ok());
  ASSERT_TRUE(rec.container->close(false).ok());
  expect_ser_read_back(rec.path, frames);
}

TEST(SerContainer, AMissingFolderFailsTheOpenAndLeavesNoFile) {
  SerRecording rec;
  rec.path = rec.folder.file("missing/m42.ser");
  const FrameImage frame = pattern_frame(kWidth, kHeight, 1);
  const ContainerStatus status = rec.open(frame);
  EXPECT_EQ(status.failure, ContainerFailure::Open);
  EXPECT_EQ(status.error, ENOENT);
  EXPECT_EQ(container_failure_message(format_of_path(".ser"), status, rec.path),
            "Can't open SER file " + rec.path);
  EXPECT_FALSE(fs::exists(rec.path));
}

TEST(SerContainer, FailedWritesAreCutBackToTheLastWholeFrameAndLaterFramesGoOn) {
  struct Case {
    const char* what;
    std::vector<int> failing;  // frame indices whose write fails
    bool on_count;             // the frame count's update fails, not the rows
    int error;
    bool partial;
  };
  const Case cases[] = {
      {"disk full in the middle of frame 1", {1}, false, ENOSPC, true},
      {"file too large for frames 1 and 2, then room again", {1, 2}, false, EFBIG, false},
      {"device gone while frame 3's count is written", {3}, true, EIO, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultyWriterIo io;
    io.partial_before_fault = c.partial;
    int current = -1;
    io.fault = [&](off_t offset, std::size_t bytes) {
      const bool failing =
          std::find(c.failing.begin(), c.failing.end(), current) != c.failing.end();
      const bool target = c.on_count ? (offset == 38 && bytes == 4) : bytes == kFrameBytes;
      return failing && target ? c.error : 0;
    };
    SerRecording rec(io);
    std::vector<FrameImage> kept;
    std::vector<int> kept_indices;
    int next_index = 0;
    const FrameImage first = pattern_frame(kWidth, kHeight, 100);
    ASSERT_TRUE(rec.open(first).ok());
    for (int i = 0; i < 5; ++i) {
      current = i;
      FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
      const ContainerStatus status = rec.append(frame, next_index);
      const bool failing = std::find(c.failing.begin(), c.failing.end(), i) != c.failing.end();
      EXPECT_EQ(status.failure, failing ? ContainerFailure::Write : ContainerFailure::None)
          << "frame " << i;
      if (failing) {
        EXPECT_EQ(status.error, c.error);
        EXPECT_EQ(fs::file_size(rec.path), kSerHeaderBytes + kept.size() * kFrameBytes);
      } else {
        kept.push_back(std::move(frame));
        kept_indices.push_back(next_index++);
      }
    }
    current = -1;
    EXPECT_EQ(rec.container->frames(), static_cast<int64_t>(kept.size()));
    ASSERT_TRUE(rec.container->close(false).ok());
    const std::vector<uint8_t> bytes = file_bytes(rec.path);
    ASSERT_EQ(bytes.size(), kSerHeaderBytes + kept.size() * (kFrameBytes + 8));
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - static_cast<long>(kept.size() * 8), bytes.end()),
              expected_trailer(kept_indices));
    expect_ser_read_back(rec.path, kept);
  }
}

TEST(SerContainer, TimestampsThatCannotBeWrittenAtCloseLeaveTheFramesReadable) {
  FaultyWriterIo io;
  bool closing = false;
  io.fault = [&](off_t, std::size_t bytes) { return closing && bytes == 3 * 8 ? ENOSPC : 0; };
  SerRecording rec(io);
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  ASSERT_TRUE(rec.open(frames[0]).ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rec.append(frames[i], i).ok());
  closing = true;
  const ContainerStatus status = rec.container->close(false);
  EXPECT_EQ(status.failure, ContainerFailure::Write);
  EXPECT_EQ(container_failure_message(format_of_path(".ser"), status, rec.path),
            "Can't write to SER file " + rec.path + ": No space left on device");
  EXPECT_EQ(fs::file_size(rec.path), kSerHeaderBytes + 3 * kFrameBytes);
  expect_ser_read_back(rec.path, frames);
}

TEST(SerContainer, FramesWithoutAStartInstantLeaveTheFileUndated) {
  SerRecording rec;
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2});
  ASSERT_TRUE(rec.open(frames[0]).ok());
  ASSERT_TRUE(rec.append(frames[0], 0).ok());
  ASSERT_TRUE(rec.container->append(frames[1], FrameTiming{}, FrameMetadata{}).ok());
  ASSERT_TRUE(rec.container->close(false).ok());
  EXPECT_EQ(fs::file_size(rec.path), kSerHeaderBytes + 2 * kFrameBytes);
  expect_ser_read_back(rec.path, frames);
}

// A child process records frames and tells the parent after each one.
pid_t start_recording_child(const std::string& path, int frames, int notify_fd) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  auto container = make_ser_container();
  const FrameImage first = pattern_frame(kWidth, kHeight, 1);
  if (!container->open(path, first, timing_of(0), {}).ok()) ::_exit(3);
  for (int i = 0; i < frames; ++i) {
    const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
    if (!container->append(frame, timing_of(i), {}).ok()) ::_exit(3);
    const char done = 1;
    if (::write(notify_fd, &done, 1) != 1) ::_exit(3);
  }
  for (;;) ::pause();
}

std::vector<FrameImage> first_frames(int count) {
  std::vector<FrameImage> frames;
  for (int i = 0; i < count; ++i)
    frames.push_back(pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1)));
  return frames;
}

TEST(SerCrash, KilledRecordingReadsToItsLastWholeFrameAndRepairAddsTheTimestamps) {
  TempFolder folder;
  const std::string path = folder.file("Killed.ser");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = start_recording_child(path, 5, pipe_fds[1]);
  ASSERT_GT(child, 0);
  ::close(pipe_fds[1]);
  int written = 0;
  char byte;
  while (written < 5 && ::read(pipe_fds[0], &byte, 1) == 1) ++written;
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipe_fds[0]);
  ASSERT_EQ(written, 5);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(fs::file_size(path), kSerHeaderBytes + 5 * kFrameBytes);  // no timestamps yet
  EXPECT_EQ(riff::load_u32(file_bytes(path).data() + 38), 5u);
  expect_ser_read_back(path, first_frames(5));

  // The same file cut in the middle of its fourth frame, with the count still at 5.
  const std::string cut = folder.file("Cut.ser");
  fs::copy_file(path, cut);
  fs::resize_file(cut, kSerHeaderBytes + 3 * kFrameBytes + kFrameBytes / 2);
  expect_ser_read_back(cut, first_frames(3));

  const std::string timing = folder.file("Killed.timing.csv");
  write_timing_record(timing, 6);  // a row for the frame under way, as the record may have
  const SerRepairResult repaired = repair_ser(path, timing);
  EXPECT_EQ(repaired.outcome, SerRepairOutcome::Completed) << repaired.message;
  EXPECT_EQ(repaired.frames, 5);
  const std::vector<uint8_t> bytes = file_bytes(path);
  ASSERT_EQ(bytes.size(), kSerHeaderBytes + 5 * (kFrameBytes + 8));
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 40, bytes.end()), expected_trailer({0, 1, 2, 3, 4}));
  expect_ser_read_back(path, first_frames(5));

  const SerRepairResult cut_repaired = repair_ser(cut, timing);
  EXPECT_EQ(cut_repaired.outcome, SerRepairOutcome::Completed) << cut_repaired.message;
  EXPECT_EQ(cut_repaired.frames, 3);
  const std::vector<uint8_t> cut_bytes = file_bytes(cut);
  ASSERT_EQ(cut_bytes.size(),
            kSerHeaderBytes + 3 * kFrameBytes + kFrameBytes / 2);  // never shortened
  EXPECT_EQ(riff::load_u32(cut_bytes.data() + 38), 3u);
  EXPECT_EQ(std::vector<uint8_t>(cut_bytes.begin() + kSerHeaderBytes + 3 * kFrameBytes,
                                 cut_bytes.begin() + kSerHeaderBytes + 3 * kFrameBytes + 24),
            expected_trailer({0, 1, 2}));
  expect_ser_read_back(cut, first_frames(3));
}

TEST(SerCrash, FileSizeLimitCutsAFrameButLaterFramesGoOnWhenRoomComesBack) {
  TempFolder folder;
  const std::string path = folder.file("Limited.ser");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    auto container = make_ser_container();
    const FrameImage first = pattern_frame(kWidth, kHeight, 1);
    if (!container->open(path, first, timing_of(0), {}).ok()) ::_exit(3);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    bool as_expected = true;
    for (int i = 0; i < 6; ++i) {
      // Room for two and a half more frames from the second, then room again.
      if (i == 1) limit.rlim_cur = fs::file_size(path) + kFrameBytes * 5 / 2;
      if (i == 4) limit.rlim_cur = limit.rlim_max;
      ::setrlimit(RLIMIT_FSIZE, &limit);
      const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
      const ContainerStatus status = container->append(frame, timing_of(i), {});
      as_expected = as_expected && (i == 3 ? status.error == EFBIG : status.ok());
    }
    as_expected = container->close(false).ok() && as_expected;
    ::_exit(as_expected ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(fs::file_size(path), kSerHeaderBytes + 5 * (kFrameBytes + 8));
  expect_ser_read_back(path, pattern_frames(kWidth, kHeight, {1, 2, 3, 5, 6}));
}

// A finished three-frame recording to repair in the ways a crash or a user can leave it.
std::string finished_recording(const TempFolder& folder, const std::string& name) {
  auto container = make_ser_container();
  const std::string path = folder.file(name);
  const auto frames = pattern_frames(kWidth, kHeight, {1, 2, 3});
  container->open(path, frames[0], timing_of(0), {});
  for (int i = 0; i < 3; ++i) container->append(frames[i], timing_of(i), {});
  container->close(false);
  return path;
}

TEST(SerRepair, EachStateOfAFileGetsItsOwnAnswerAndNoFileIsShortened) {
  struct Case {
    const char* what;
    std::function<void(const std::string& ser, const std::string& timing)> prepare;
    SerRepairOutcome outcome;
    int64_t frames;
    int64_t trailer_frames;  // timestamps expected after the frames (-1: bytes left as they were)
  };
  const uint64_t frames3 = kSerHeaderBytes + 3 * kFrameBytes;
  const auto set_count = [](const std::string& ser, uint32_t count) {
    std::fstream f(ser, std::ios::binary | std::ios::in | std::ios::out);
    uint8_t bytes[4];
    riff::store_u32(bytes, count);
    f.seekp(38);
    f.write(reinterpret_cast<const char*>(bytes), 4);
  };
  const Case cases[] = {
      {"complete file", [](auto&, auto& t) { write_timing_record(t, 3); },
       SerRepairOutcome::AlreadyComplete, 3, -1},
      {"no timestamps yet",
       [&](auto& s, auto& t) {
         fs::resize_file(s, frames3);
         write_timing_record(t, 3);
       },
       SerRepairOutcome::Completed, 3, 3},
      {"timestamps cut short",
       [&](auto& s, auto& t) {
         fs::resize_file(s, frames3 + 13);
         write_timing_record(t, 3);
       },
       SerRepairOutcome::Completed, 3, 3},
      {"count not brought up to date",
       [&](auto& s, auto& t) {
         fs::resize_file(s, frames3);
         set_count(s, 2);
         write_timing_record(t, 4);
       },
       SerRepairOutcome::Completed, 3, 3},
      {"no timing record",
       [&](auto& s, auto&) {
         fs::resize_file(s, frames3);
         set_count(s, 9);
       },
       SerRepairOutcome::CountOnly, 3, 0},
      {"timing record without frame 1",
       [&](auto& s, auto& t) {
         fs::resize_file(s, frames3);
         write_timing_record(t, 3);
         std::ofstream(t) << "frame,start_utc,end_utc,exposure_ms,delivered_utc\n0,"
                          << format_utc(kFirstStartUs) << ",x,1,x\n2,"
                          << format_utc(kFirstStartUs + 4'000'000) << ",x,1,x\n";
       },
       SerRepairOutcome::CountOnly, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string ser = finished_recording(folder, "m42.ser");
    const std::string timing = folder.file("m42.timing.csv");
    c.prepare(ser, timing);
    const std::vector<uint8_t> before = file_bytes(ser);
    const SerRepairResult result = repair_ser(ser, timing);
    EXPECT_EQ(result.outcome, c.outcome) << result.message;
    EXPECT_EQ(result.frames, c.frames);
    const std::vector<uint8_t> after = file_bytes(ser);
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(riff::load_u32(after.data() + 38), static_cast<uint32_t>(c.frames));
    if (c.trailer_frames < 0) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_EQ(after.size(), std::max<std::size_t>(before.size(), frames3 + 8 * c.trailer_frames));
      if (c.trailer_frames > 0) {
        EXPECT_EQ(std::vector<uint8_t>(after.begin() + frames3, after.begin() + frames3 + 24),
                  expected_trailer({0, 1, 2}));
      }
    }
    EXPECT_EQ(repair_exit_status(result.outcome), c.outcome == SerRepairOutcome::CountOnly ? 1 : 0);
    expect_ser_read_back(ser, pattern_frames(kWidth, kHeight, {1, 2, 3}));
  }
}

// A write that fails during the repair (a full disk) through the same seam
// as the recording's: said with the reason, and nothing cut off the file.
TEST(SerRepair, AFailedWriteIsSaidAndLeavesTheFileWhole) {
  const uint64_t frames3 = kSerHeaderBytes + 3 * kFrameBytes;
  for (const bool count_fails : {true, false}) {
    SCOPED_TRACE(count_fails ? "the count" : "the timestamps");
    TempFolder folder;
    const std::string ser = finished_recording(folder, "m42.ser");
    const std::string timing = folder.file("m42.timing.csv");
    fs::resize_file(ser, frames3);
    write_timing_record(timing, 3);
    const std::vector<uint8_t> before = file_bytes(ser);
    FaultyWriterIo io;
    io.fault = [&](off_t offset, std::size_t) {
      return (offset == 38) == count_fails ? ENOSPC : 0;
    };
    const SerRepairResult result = repair_ser(ser, timing, io);
    EXPECT_EQ(result.outcome, SerRepairOutcome::Failed);
    EXPECT_EQ(repair_exit_status(result.outcome), 1);
    EXPECT_EQ(result.message, "Can't write to " + ser + ": No space left on device");
    EXPECT_EQ(file_bytes(ser), before);
  }
}

// A file whose header makes its size billions of one-byte frames (a sparse
// file here): their timestamps would fill gigabytes of memory, which the
// repair never asks for.
TEST(SerRepair, BillionsOfTinyFramesNeedNoTrailerInMemory) {
  TempFolder folder;
  const std::string ser = folder.file("tiny.ser");
  std::vector<uint8_t> header(kSerHeaderBytes, 0);
  std::memcpy(header.data(), "LUCAM-RECORDER", 14);
  for (const std::size_t at : {26, 30}) riff::store_u32(header.data() + at, 1);  // 1 x 1
  riff::store_u32(header.data() + 34, 8);                                        // mono, 8 bits
  std::ofstream(ser, std::ios::binary)
      .write(reinterpret_cast<const char*>(header.data()), kSerHeaderBytes);
  fs::resize_file(ser, kSerHeaderBytes + (uint64_t{1} << 31));
  write_timing_record(folder.file("tiny.timing.csv"), 3);
  const SerRepairResult result = repair_ser(ser, folder.file("tiny.timing.csv"));
  EXPECT_EQ(result.outcome, SerRepairOutcome::CountOnly) << result.message;
  EXPECT_EQ(result.frames, INT32_MAX);
  EXPECT_EQ(fs::file_size(ser), kSerHeaderBytes + (uint64_t{1} << 31));
}

TEST(SerRepair, RefusesWhatIsNotASerFileAndLeavesItAsItWas) {
  TempFolder folder;
  WriterRig avi;
  const FrameImage frame = pattern_frame(kWidth, kHeight, 1);
  avi.writer.avi_write_frame(&frame);
  avi.writer.avi_close();
  std::vector<uint8_t> odd_colour(kSerHeaderBytes + kFrameBytes, 0);
  std::memcpy(odd_colour.data(), "LUCAM-RECORDER", 14);
  riff::store_u32(odd_colour.data() + 18, 55);
  riff::store_u32(odd_colour.data() + 26, kWidth);
  riff::store_u32(odd_colour.data() + 30, kHeight);
  riff::store_u32(odd_colour.data() + 34, 8);
  const std::map<std::string, std::vector<uint8_t>> files = {
      {"empty.ser", {}},
      {"short.ser", std::vector<uint8_t>(100, 'L')},
      {"video.ser", file_bytes(avi.settings.image_file_path)},
      {"colour.ser", odd_colour},
  };
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    const std::string path = folder.file(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    const SerRepairResult result = repair_ser(path, folder.file("none.csv"));
    EXPECT_EQ(result.outcome, SerRepairOutcome::NotSer);
    EXPECT_EQ(repair_exit_status(result.outcome), 2);
    EXPECT_NE(result.message.find(path + " is not a SER file"), std::string::npos)
        << result.message;
    EXPECT_EQ(file_bytes(path), content);
  }
  const SerRepairResult missing = repair_ser(folder.file("gone.ser"), folder.file("none.csv"));
  EXPECT_EQ(missing.outcome, SerRepairOutcome::Failed);
  EXPECT_EQ(missing.message,
            "Can't open " + folder.file("gone.ser") + ": No such file or directory");
}

TEST(SerRepair, TimingInstantsReadBackToTheMicrosecond) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"2026-12-07T21:04:05.123456Z", kFirstStartUs},
      {"2026-12-07T21:04:05.1Z", kFirstStartUs - 23456},
      {"2026-12-07T21:04:05Z", kFirstStartUs - 123456},
      {"1970-01-01T00:00:00.000001Z", 1},
      {"2024-02-29T00:00:00Z", int64_t{1709164800} * 1'000'000},
      {"2026-12-07T21:04:05.123456", std::nullopt},  // no zone letter
      {"2026-12-07T21:04:05.Z", std::nullopt},
      {"2026-12-07T21:04:05.1234567Z", std::nullopt},  // finer than the record writes
      {"2026-02-29T00:00:00Z", std::nullopt},
      {"2026-13-01T00:00:00Z", std::nullopt},
      {"2026-12-07 21:04:05Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_utc(text), expected) << text;
  for (int64_t us : {int64_t{0}, kFirstStartUs, kFirstStartUs + 999'999}) {
    EXPECT_EQ(parse_utc(format_utc(us)), us);
  }
}

}  // namespace
}  // namespace noctra::test
