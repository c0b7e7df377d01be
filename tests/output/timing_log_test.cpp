#include "output/timing_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

TEST(TimingLog, PathReplacesTheRecordingsExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/sky/m42_000.avi", "/sky/m42_000.timing.csv"},
      {"/sky/m42.SER", "/sky/m42.timing.csv"},
      {"/sky/m42.fits", "/sky/m42.timing.csv"},
      {"/sky/m42", "/sky/m42.timing.csv"},
      {"/sky.d/m42", "/sky.d/m42.timing.csv"},  // a dot in a folder is no extension
      {"m42.x.avi", "m42.x.timing.csv"},
  };
  for (const auto& [recording, timing] : cases) EXPECT_EQ(timing_path_for(recording), timing);
}

FrameTiming sample_timing() {
  FrameTiming t;
  t.start = Instant{1796677445'123456, 12345'678'901};
  t.end = Instant{1796677446'124456, 12346'679'901};
  t.delivered = Instant{1796677446'164000, 12346'719'445};
  t.source_mono_us = 12346'701'002;
  return t;
}

TEST(TimingLog, RowCarriesEveryInstantInItsColumn) {
  EXPECT_EQ(timing_row(7, sample_timing(), "Low Res"),
            "7,2026-12-07T21:04:05.123456Z,2026-12-07T21:04:06.124456Z,1001.000,"
            "2026-12-07T21:04:06.164000Z,12345678.901,12346679.901,12346719.445,12346701.002,"
            "Low Res\n");
  FrameTiming partial;
  partial.end = Instant{0, 999};
  EXPECT_EQ(timing_row(0, partial, "High Res"),
            "0,,1970-01-01T00:00:00.000000Z,,,,0.999,,,High Res\n");
}

// The real calls, failing the n-th write after half of it, as a filling disk does.
class FillingDiskIo final : public WriterIo {
 public:
  int fail_write = -1;
  int create_file(const char* path) override { return real_.create_file(path); }
  int remove_file(const char* path) override { return real_.remove_file(path); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    if (writes_++ != fail_write) return real_.pwritev(fd, iov, count, offset);
    if (iov[0].iov_len > 1 && !half_done_) {
      half_done_ = true;
      --writes_;  // the rest of this row is the write that fails
      struct iovec half {
        iov[0].iov_base, iov[0].iov_len / 2
      };
      return real_.pwritev(fd, &half, 1, offset);
    }
    errno = ENOSPC;
    return -1;
  }
  int ftruncate(int fd, off_t length) override { return real_.ftruncate(fd, length); }
  int fdatasync(int fd) override { return real_.fdatasync(fd); }
  int close(int fd) override { return real_.close(fd); }
  int64_t now_ms() override { return 0; }

 private:
  PosixWriterIo real_;
  int writes_ = 0;
  bool half_done_ = false;
};

class TimingLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("noctra_timing_" + std::to_string(getpid()));
    fs::create_directories(folder_);
    path_ = (folder_ / "m42.timing.csv").string();
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string contents() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path folder_;
  std::string path_;
};

TEST_F(TimingLogFile, RowsFollowTheHeaderAndAFailedFrameTakesItsRowBack) {
  TimingLog log;
  ASSERT_EQ(log.open(path_), 0);
  ASSERT_EQ(log.append(0, sample_timing(), "Low Res"), 0);
  ASSERT_EQ(log.append(1, sample_timing(), "Low Res"), 0);
  ASSERT_EQ(log.cut_back_last_row(), 0);  // frame 1 never reached the recording
  ASSERT_EQ(log.append(1, sample_timing(), "Low Res"), 0);
  EXPECT_EQ(log.flush(), 0);
  EXPECT_EQ(log.close(), 0);
  const std::string row0 = timing_row(0, sample_timing(), "Low Res");
  const std::string row1 = timing_row(1, sample_timing(), "Low Res");
  EXPECT_EQ(contents(), std::string(kTimingHeader) + row0 + row1);
}

TEST_F(TimingLogFile, AHalfWrittenRowIsCutOff) {
  FillingDiskIo io;
  io.fail_write = 2;  // header, row 0, then row 1 meets the full disk
  TimingLog log(io);
  ASSERT_EQ(log.open(path_), 0);
  ASSERT_EQ(log.append(0, sample_timing(), "Low Res"), 0);
  EXPECT_EQ(log.append(1, sample_timing(), "Low Res"), ENOSPC);
  log.close();
  EXPECT_EQ(contents(), std::string(kTimingHeader) + timing_row(0, sample_timing(), "Low Res"));
}

TEST_F(TimingLogFile, OpenInAMissingFolderFails) {
  TimingLog log;
  EXPECT_EQ(log.open((folder_ / "no such folder" / "x.timing.csv").string()), ENOENT);
  EXPECT_FALSE(log.is_open());
  EXPECT_EQ(log.append(0, sample_timing(), "Low Res"), EBADF);
}

}  // namespace
}  // namespace noctra::test
