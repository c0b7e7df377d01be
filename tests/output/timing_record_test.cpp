// The timing record beside an AVI recording: one row per frame in the file,
// whatever happens to the frames.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "output/avi_reader.h"
#include "output/faulty_io.h"
#include "output/recording.h"
#include "output/timing_log.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

// The program's writer over an AVI path in a folder of its own.
struct AviRecording {
  explicit AviRecording(WriterIo& io = posix_writer_io())
      : recording(settings, reporter, nullptr, standard_containers(io), io) {
    settings.image_file_path = folder.file("Images.avi");
  }
  TempFolder folder;
  Settings settings;
  RecordingReporter reporter;
  Recording recording;
};

constexpr int32_t kWidth = 32, kHeight = 24;

FrameTiming timing_of(int i) {
  FrameTiming t;
  const int64_t start = int64_t{1'796'677'445} * 1'000'000 + int64_t{i} * 2'000'000;
  t.start = Instant{start, 1'000'000 + int64_t{i} * 2'000'000};
  t.end = Instant{start + 1'000'000, t.start->mono_us + 1'000'000};
  t.delivered = Instant{start + 1'040'000, t.start->mono_us + 1'040'000};
  return t;
}

std::vector<std::string> rows_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  return rows;
}

// The frame numbers of the rows after the header, and that each row is the
// one its timing gives.
std::vector<int> frame_numbers(const std::vector<std::string>& rows) {
  std::vector<int> numbers;
  for (std::size_t i = 1; i < rows.size(); ++i) numbers.push_back(std::stoi(rows[i]));
  return numbers;
}

int64_t frames_in(const std::string& path) {
  std::string error;
  std::optional<AviReader> reader = AviReader::open(path, error);
  return reader ? static_cast<int64_t>(reader->frame_count()) : -1;
}

TEST(TimingRecord, HasARowForEveryFrameOfTheRecordingAfterStop) {
  AviRecording rig;
  for (int i = 0; i < 3; ++i) {
    const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
    rig.recording.write_frame(&frame, timing_of(i), FrameMetadata{});
  }
  rig.recording.write_frame(nullptr, timing_of(3), FrameMetadata{});  // a failed acquisition
  const std::string avi = rig.recording.open_path();
  rig.recording.close_recording();
  const std::vector<std::string> rows = rows_of(timing_path_for(avi));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0] + "\n", kTimingHeader);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rows[i + 1] + "\n", timing_row(i, timing_of(i), "Low Res"));
  EXPECT_EQ(frames_in(avi), 3);
  EXPECT_TRUE(rig.reporter.messages.empty());

  // The next recording of the same name starts a new record.
  const FrameImage frame = pattern_frame(kWidth, kHeight, 9);
  rig.recording.write_frame(&frame, timing_of(7), FrameMetadata{CaptureMode::HighRes});
  rig.recording.close_recording();
  const std::vector<std::string> again = rows_of(timing_path_for(avi));
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1] + "\n", timing_row(0, timing_of(7), "High Res"));
}

TEST(TimingRecord, AFrameThatCannotBeWrittenTakesItsRowBack) {
  FaultyWriterIo io;
  int frame_writes = 0;
  // The second frame's pixels meet a full disk; the others go through.
  io.fault = [&](off_t, std::size_t bytes) {
    if (bytes < static_cast<std::size_t>(kWidth) * kHeight * 3) return 0;
    return ++frame_writes == 2 ? ENOSPC : 0;
  };
  AviRecording rig(io);
  for (int i = 0; i < 3; ++i) {
    const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
    rig.recording.write_frame(&frame, timing_of(i), FrameMetadata{});
  }
  const std::string avi = rig.recording.open_path();
  rig.recording.close_recording();
  EXPECT_EQ(frames_in(avi), 2);
  const std::vector<std::string> rows = rows_of(timing_path_for(avi));
  EXPECT_EQ(frame_numbers(rows), (std::vector<int>{0, 1}));
  // The row of frame 1 is the third exposure's: the file's second frame.
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2] + "\n", timing_row(1, timing_of(2), "Low Res"));
  EXPECT_EQ(rig.reporter.messages.size(), 1u);
}

TEST(TimingRecord, AKilledRecordingHasAtMostOneRowMoreThanFrames) {
  for (const int frames : {1, 4}) {
    TempFolder folder;
    const std::string path = folder.file("Killed.avi");
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Settings settings;
      settings.image_file_path = path;
      RecordingReporter reporter;
      Recording writer(settings, reporter, nullptr, standard_containers());
      for (int i = 0; i < frames; ++i) {
        const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i + 1));
        writer.write_frame(&frame, timing_of(i), FrameMetadata{});
        const char done = 1;
        if (::write(pipe_fds[1], &done, 1) != 1) ::_exit(3);
      }
      for (;;) ::pause();
    }
    ::close(pipe_fds[1]);
    int written = 0;
    char byte;
    while (written < frames && ::read(pipe_fds[0], &byte, 1) == 1) ++written;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(pipe_fds[0]);
    ASSERT_EQ(written, frames);
    const int64_t in_file = frames_in(path);
    const auto rows = static_cast<int64_t>(frame_numbers(rows_of(timing_path_for(path))).size());
    EXPECT_EQ(in_file, frames);
    EXPECT_GE(rows, in_file);
    EXPECT_LE(rows, in_file + 1);
  }
}

}  // namespace
}  // namespace noctra::test
