#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <utility>

#include "output/avi_container.h"
#include "output/readers.h"
#include "output/riff.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

// The real file calls, with a fault where a test wants one and a clock the
// test sets.
class FaultyIo final : public WriterIo {
 public:
  // Given the offset and byte count of a write, the errno to fail it with, or 0.
  std::function<int(off_t offset, std::size_t bytes)> fault;
  bool partial_before_fault = false;  // write half first, as a filling disk does
  int64_t now = 0;
  // The flush may run on the writer's helper thread.
  std::atomic<int> syncs{0};
  std::atomic<int> sync_error{0};
  std::function<void()> while_syncing;

  int create_file(const char* path) override {
    const int fd = real_.create_file(path);
    // The faults and flushes counted are the AVI file's, not its timing record's.
    if (!std::string_view(path).ends_with(".timing.csv")) file_fd_ = fd;
    return fd;
  }
  int remove_file(const char* path) override { return real_.remove_file(path); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    if (fd != file_fd_) return real_.pwritev(fd, iov, count, offset);
    if (pending_error_ != 0) {
      // The rest of a partly written block meets the full disk.
      errno = std::exchange(pending_error_, 0);
      return -1;
    }
    std::size_t bytes = 0;
    for (int i = 0; i < count; ++i) bytes += iov[i].iov_len;
    const int error = fault ? fault(offset, bytes) : 0;
    if (error == 0) return real_.pwritev(fd, iov, count, offset);
    if (partial_before_fault && bytes > 1) {
      pending_error_ = error;
      std::vector<struct iovec> half(iov, iov + count);
      std::size_t left = bytes / 2;
      int parts = 0;
      for (; parts < count && left > 0; ++parts)
        left -= half[parts].iov_len = std::min(half[parts].iov_len, left);
      return real_.pwritev(fd, half.data(), parts, offset);
    }
    errno = error;
    return -1;
  }
  int ftruncate(int fd, off_t length) override { return real_.ftruncate(fd, length); }
  int fdatasync(int fd) override {
    if (fd != file_fd_) return real_.fdatasync(fd);
    ++syncs;
    if (while_syncing) while_syncing();
    if (sync_error != 0) {
      errno = sync_error.load();
      return -1;
    }
    return real_.fdatasync(fd);
  }
  int close(int fd) override { return real_.close(fd); }
  int64_t now_ms() override { return now; }

 private:
  PosixWriterIo real_;
  int pending_error_ = 0;
  int file_fd_ = -1;
};

constexpr int32_t kWidth = 64, kHeight = 48;
constexpr std::size_t kFrameChunk = 8 + 64 * 3 * 48;

uint64_t riff_size_of(const fs::path& file) {
  const auto chunks = walk_riff(file);
  return chunks.empty() ? 0 : chunks[0].size + 8u;
}

TEST(AviWriteFailures, FailedWritesAreCutBackReportedOnceAndLeftOutOfTheIndex) {
  struct Case {
    const char* what;
    std::vector<int> failing_frames;  // 1-based, among the frame writes
    int error;
    bool partial;
    const char* reason;
  };
  const Case cases[] = {
      {"disk full in the middle of frame 2", {2}, ENOSPC, true, "No space left on device"},
      {"file too large for frames 2 and 3, then room again",
       {2, 3},
       EFBIG,
       false,
       "File too large"},
      {"device gone for the last two frames", {4, 5}, EIO, true, "Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultyIo io;
    io.partial_before_fault = c.partial;
    int frame_writes = 0;
    io.fault = [&](off_t, std::size_t bytes) {
      if (bytes != kFrameChunk) return 0;
      ++frame_writes;
      for (int failing : c.failing_frames) {
        if (failing == frame_writes) return c.error;
      }
      return 0;
    };
    WriterRig rig(AviLimits{}, io);
    std::vector<FrameImage> kept;
    for (int i = 1; i <= 5; ++i) {
      FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i));
      rig.writer.avi_write_frame(&frame);
      if (std::find(c.failing_frames.begin(), c.failing_frames.end(), i) ==
          c.failing_frames.end()) {
        kept.push_back(std::move(frame));
      }
    }
    EXPECT_EQ(rig.writer.next_frame_index(), static_cast<int32_t>(kept.size()));
    rig.writer.avi_close();
    EXPECT_EQ(rig.reporter.messages, write_failure(rig.settings.image_file_path, c.reason));
    EXPECT_EQ(fs::file_size(rig.settings.image_file_path),
              riff_size_of(rig.settings.image_file_path));
    expect_read_back(rig.settings.image_file_path, kept);
  }
}

TEST(AviWriteFailures, HeaderThatCannotBeWrittenLeavesNoFileAndTheNextFrameTriesAgain) {
  FaultyIo io;
  bool header_fails = true;
  io.fault = [&](off_t offset, std::size_t bytes) {
    return header_fails && offset == 0 && bytes > 100 ? ENOSPC : 0;
  };
  WriterRig rig(AviLimits{}, io);
  const auto frames = pattern_frames(kWidth, kHeight, {1});
  rig.writer.avi_write_frame(&frames[0]);
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
  header_fails = false;
  rig.writer.avi_write_frame(&frames[0]);
  rig.writer.avi_close();
  EXPECT_EQ(rig.reporter.messages, std::vector<std::string>{"Can't create AVI stream"});
  expect_read_back(rig.settings.image_file_path, frames);
}

TEST(AviWriteFailures, IndexThatCannotBeWrittenAtStopLeavesAReadableFile) {
  FaultyIo io;
  bool closing = false;
  io.fault = [&](off_t, std::size_t bytes) { return closing && bytes > 4 ? ENOSPC : 0; };
  WriterRig rig(AviLimits{}, io);
  const auto frames = write_frames(rig, 3, kWidth, kHeight);
  closing = true;
  rig.writer.avi_close();
  EXPECT_EQ(rig.reporter.messages,
            write_failure(rig.settings.image_file_path, "No space left on device"));
  expect_read_back(rig.settings.image_file_path, frames);
}

// A recording of a second and more whose flushes all fail leaves one report.
void expect_failed_flush_reported_once(WriterRig& rig, FaultyIo& io, const FrameImage& frame) {
  io.sync_error = EIO;
  for (int64_t t : {10000, 11000, 12000}) {
    io.now = t;
    rig.writer.avi_write_frame(&frame);
  }
  rig.writer.avi_close();
  EXPECT_EQ(rig.reporter.messages,
            write_failure(rig.settings.image_file_path, "Input/output error"));
}

TEST(AviWriteFailures, DataReachTheDiskAtMostOnceASecond) {
  FaultyIo io;
  RecordingOptions in_the_caller;
  in_the_caller.flush_in_background = false;
  WriterRig rig(AviLimits{}, io, in_the_caller);
  FrameImage frame = pattern_frame(8, 8, 1);
  for (int64_t t : {0, 300, 600, 999, 1000, 1500, 1999, 2100, 2200, 2300}) {
    io.now = t;
    rig.writer.avi_write_frame(&frame);
  }
  EXPECT_EQ(io.syncs, 2);  // at 1000 and 2100
  rig.writer.avi_close();
  EXPECT_EQ(io.syncs, 3);  // and once when the file is finished

  expect_failed_flush_reported_once(rig, io, frame);
}

TEST(AviWriteFailures, SlowFlushNeverHoldsUpTheNextFrames) {
  FaultyIo io;
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  std::future<void> flush_entered = entered.get_future();
  bool first_sync = true;
  io.while_syncing = [&] {
    if (!std::exchange(first_sync, false)) return;
    entered.set_value();
    released.wait_for(std::chrono::seconds(20));  // a disk that takes its time
  };
  WriterRig rig(AviLimits{}, io);
  std::vector<FrameImage> frames;
  for (int64_t t : {0, 1000, 2000, 3000}) {
    io.now = t;
    frames.push_back(pattern_frame(kWidth, kHeight, static_cast<uint32_t>(t + 1)));
    rig.writer.avi_write_frame(&frames.back());
    if (t == 1000) {
      ASSERT_EQ(flush_entered.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }
  }
  // Frames at 2000 and 3000 went on while the flush of 1000 was still stuck,
  // and no second flush was started behind it.
  EXPECT_EQ(rig.writer.next_frame_index(), 4);
  EXPECT_EQ(io.syncs.load(), 1);
  release.set_value();
  rig.writer.avi_close();
  EXPECT_EQ(io.syncs.load(), 2);  // and the one that finishes the file
  EXPECT_TRUE(rig.reporter.messages.empty());
  expect_read_back(rig.settings.image_file_path, frames);

  // A flush that fails in the background is reported, once.
  expect_failed_flush_reported_once(rig, io, frames[0]);
}

TEST(AviWriteFailures, StopWhileTheMessageIsUpLeavesTheWriterClosed) {
  FaultyIo io;
  io.fault = [&](off_t, std::size_t bytes) { return bytes == kFrameChunk ? ENOSPC : 0; };
  WriterRig rig(AviLimits{}, io);
  rig.reporter.while_shown = [&] { rig.writer.avi_close(); };
  FrameImage frame = pattern_frame(kWidth, kHeight, 1);
  rig.writer.avi_write_frame(&frame);
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  ASSERT_EQ(rig.reporter.messages.size(), 1u);
  // The stopped recording's file is finished (empty) and readable.
  EXPECT_EQ(probe_video(rig.settings.image_file_path)["codec_name"], "rawvideo");

  // The next recording opens again; its open failure is stopped the same way.
  rig.settings.image_file_path = rig.folder.file("missing/Images.avi");
  rig.writer.avi_write_frame(&frame);
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_EQ(rig.reporter.messages.size(), 2u);
  EXPECT_EQ(rig.numbering_calls, 2);
}

// A child process writes frames and tells the parent after each one.
pid_t start_writer_child(const std::string& path, int frames, AviLimits limits, int notify_fd) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  Settings settings;
  settings.image_file_path = path;
  RecordingReporter reporter;
  Recording recording(settings, reporter, nullptr, [limits](const RecordingFormat&) {
    return std::make_unique<AviContainer>(posix_writer_io(), limits);
  });
  AviWriterCalls writer{recording};
  for (int i = 1; i <= frames; ++i) {
    const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i));
    writer.avi_write_frame(&frame);
    const char done = 1;
    if (::write(notify_fd, &done, 1) != 1) ::_exit(3);
  }
  for (;;) ::pause();
}

TEST(AviCrash, FileOfAKilledWriterReadsUpToItsLastWholeFrame) {
  struct Case {
    const char* what;
    AviLimits limits;
    int frames;
  };
  const Case cases[] = {
      {"first segment", AviLimits{}, 5},
      {"third segment", AviLimits{.segment_bytes = 64 << 10, .max_segments = 64}, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.file("Killed.avi");
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = start_writer_child(path, c.frames, c.limits, pipe_fds[1]);
    ASSERT_GT(child, 0);
    ::close(pipe_fds[1]);
    int written = 0;
    char byte;
    while (written < c.frames && ::read(pipe_fds[0], &byte, 1) == 1) ++written;
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipe_fds[0]);
    ASSERT_EQ(written, c.frames);
    ASSERT_TRUE(WIFSIGNALED(status));

    std::vector<FrameImage> frames;
    for (int i = 1; i <= c.frames; ++i)
      frames.push_back(pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i)));
    expect_read_back(path, frames);
  }
}

TEST(AviCrash, FileSizeLimitCutsFramesButLaterFramesGoOnWhenRoomComesBack) {
  TempFolder folder;
  const std::string path = folder.file("Limited.avi");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    Settings settings;
    settings.image_file_path = path;
    RecordingReporter reporter;
    Recording recording(settings, reporter, nullptr, standard_containers());
    AviWriterCalls writer{recording};
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    for (int i = 1; i <= 6; ++i) {
      // Room for the header and two and a half frames from frame 2, then room again.
      if (i == 2) limit.rlim_cur = fs::file_size(path) + kFrameChunk * 5 / 2;
      if (i == 5) limit.rlim_cur = limit.rlim_max;
      ::setrlimit(RLIMIT_FSIZE, &limit);
      const FrameImage frame = pattern_frame(kWidth, kHeight, static_cast<uint32_t>(i));
      writer.avi_write_frame(&frame);
    }
    writer.avi_close();
    const bool one_report = reporter.messages == write_failure(path, "File too large");
    ::_exit(one_report && writer.next_frame_index() == -1 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expect_read_back(path, pattern_frames(kWidth, kHeight, {1, 2, 3, 5, 6}));
}

}  // namespace
}  // namespace noctra::test
