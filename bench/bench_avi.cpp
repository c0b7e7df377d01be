// How fast frames reach an AVI recording (the recording over the AVI
// container, with its timing record, as the program writes it), against a
// plain sequential write() of the same bytes into the same folder, and what
// the recording keeps in memory.
//
// The files go into $NOCTRA_BENCH_DIR (default: the current folder) and are
// deleted after each run.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "output/avi_container.h"
#include "output/recording.h"

// Counts every allocation, to show that writing a frame makes none. GCC takes
// the malloc/free pair of these replacements for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace noctra {
namespace {

namespace fs = std::filesystem;

fs::path bench_file(const char* name) {
  const char* dir = std::getenv("NOCTRA_BENCH_DIR");
  return fs::path(dir != nullptr ? dir : ".") / name;
}

class QuietReporter final : public ErrorReporter {
 public:
  void show_error(const std::string& text) override { last = text; }
  std::string last;
};

FrameImage bench_frame(int32_t width, int32_t height) {
  FrameImage frame = *FrameImage::create(width, height);
  uint32_t state = 1;
  for (uint8_t& byte : frame.rows()) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return frame;
}

// The real calls, counting the recording's flushes (the file's and its
// timing record's, on the recording's helper thread).
class CountingIo final : public WriterIo {
 public:
  int create_file(const char* path) override { return real_.create_file(path); }
  int remove_file(const char* path) override { return real_.remove_file(path); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    return real_.pwritev(fd, iov, count, offset);
  }
  int ftruncate(int fd, off_t length) override { return real_.ftruncate(fd, length); }
  int fdatasync(int fd) override {
    ++flushes;
    return real_.fdatasync(fd);
  }
  int close(int fd) override { return real_.close(fd); }
  int64_t now_ms() override { return real_.now_ms(); }
  std::atomic<int> flushes{0};

 private:
  PosixWriterIo real_;
};

// The writer and a plain write() of the same bytes (chunk header and rows)
// take turns frame by frame, each into its own file in the same folder, so
// both meet the same page cache and disk. Args: width, height, the writer's
// once-a-second flush (0/1), the same flush for the plain file (0/1, an
// fdatasync in the loop as a simple recorder would do it). Counters: each side's throughput, their
// ratio the writer's heap allocations per frame and its flushes while frames came (the one that
// finishes the file not counted).
void BM_WriterVsPlainWrite(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const FrameImage frame =
      bench_frame(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  const fs::path avi_file = bench_file("bench_avi_writer.avi");
  const fs::path plain_file = bench_file("bench_plain_write.bin");
  Settings settings;
  settings.image_file_path = avi_file.string();
  QuietReporter reporter;
  RecordingOptions options;
  options.flush_interval_ms = state.range(2) != 0 ? 1000 : -1;
  CountingIo io;
  Recording writer(settings, reporter, nullptr, standard_containers(io), io, options);
  const int fd = ::open(plain_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    state.SkipWithError("cannot create the plain file");
    return;
  }
  writer.write_frame(&frame, {}, {});  // opens the file outside the measurement
  const uint8_t chunk_header[8] = {'0', '0', 'd', 'b', 0, 0, 0, 0};
  Clock::duration writer_time{}, plain_time{};
  bool plain_ok = true;
  const bool plain_flush = state.range(3) != 0;
  int64_t plain_last_flush = posix_writer_io().now_ms();
  const uint64_t allocations_before = g_allocations.load();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    writer.write_frame(&frame, {}, {});
    const auto t1 = Clock::now();
    plain_ok = ::write(fd, chunk_header, sizeof chunk_header) ==
                   static_cast<ssize_t>(sizeof chunk_header) &&
               plain_ok;
    plain_ok =
        ::write(fd, frame.pixels(), frame.rows_size()) == static_cast<ssize_t>(frame.rows_size()) &&
        plain_ok;
    if (plain_flush && posix_writer_io().now_ms() - plain_last_flush >= 1000) {
      plain_last_flush = posix_writer_io().now_ms();
      plain_ok = ::fdatasync(fd) == 0 && plain_ok;
    }
    const auto t2 = Clock::now();
    writer_time += t1 - t0;
    plain_time += t2 - t1;
  }
  const uint64_t allocations = g_allocations.load() - allocations_before;
  writer.close_recording();
  // Those that finish the file and its timing record not counted.
  state.counters["writer_flushes"] = io.flushes.load() - (options.flush_interval_ms >= 0 ? 2 : 0);
  ::close(fd);
  fs::remove(avi_file);
  fs::remove(plain_file);
  if (!reporter.last.empty()) state.SkipWithError(reporter.last.c_str());
  if (!plain_ok) state.SkipWithError("plain write failed");

  const double bytes =
      static_cast<double>(state.iterations()) * static_cast<double>(frame.rows_size() + 8);
  const double writer_s = std::chrono::duration<double>(writer_time).count();
  const double plain_s = std::chrono::duration<double>(plain_time).count();
  state.counters["writer_MBps"] = bytes / writer_s / 1e6;
  state.counters["plain_MBps"] = bytes / plain_s / 1e6;
  state.counters["writer_vs_plain"] = plain_s / writer_s;
  state.counters["allocs_per_frame"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(2 * bytes));
}

// What the once-a-second flush costs during a real recording: one second of
// frames at 25 a second is written (not timed), then one fdatasync (timed).
void BM_FlushOneSecondOfFrames(benchmark::State& state) {
  const FrameImage frame =
      bench_frame(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  const fs::path file = bench_file("bench_flush.bin");
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    for (uint32_t i = 0; i < kAviFrameRate; ++i) {
      if (::write(fd, frame.pixels(), frame.rows_size()) < 0) state.SkipWithError("write failed");
    }
    state.ResumeTiming();
    ::fdatasync(fd);
  }
  ::close(fd);
  fs::remove(file);
}

// Does nothing with the bytes, so that only the writer's own memory shows.
class DiscardingIo final : public WriterIo {
 public:
  int create_file(const char*) override { return 1000; }
  int remove_file(const char*) override { return 0; }
  ssize_t pwritev(int, const struct iovec* iov, int count, off_t) override {
    ssize_t bytes = 0;
    for (int i = 0; i < count; ++i) bytes += static_cast<ssize_t>(iov[i].iov_len);
    return bytes;
  }
  int ftruncate(int, off_t) override { return 0; }
  int fdatasync(int) override { return 0; }
  int close(int) override { return 0; }
  int64_t now_ms() override { return 0; }
};

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Resident memory added by a 10,000-frame recording of 640 x 480 frames.
void BM_ResidentGrowth10000Frames(benchmark::State& state) {
  const FrameImage frame = bench_frame(640, 480);
  constexpr int kFrames = 10000;
  double growth_per_frame = 0;
  for (auto _ : state) {
    Settings settings;
    settings.image_file_path = "discarded.avi";
    QuietReporter reporter;
    DiscardingIo io;
    Recording writer(settings, reporter, nullptr, standard_containers(io), io);
    writer.write_frame(&frame, {}, {});
    const long before = resident_bytes();
    for (int i = 1; i < kFrames; ++i) writer.write_frame(&frame, {}, {});
    const long after = resident_bytes();
    writer.close_recording();
    growth_per_frame = static_cast<double>(after - before) / (kFrames - 1);
  }
  state.counters["rss_bytes_per_frame"] = benchmark::Counter(growth_per_frame);
}

// About 1.4 GB through each side per case.
BENCHMARK(BM_WriterVsPlainWrite)
    ->Args({640, 480, 1, 0})
    ->Args({640, 480, 0, 0})
    ->Args({640, 480, 1, 1})
    ->Iterations(1500)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriterVsPlainWrite)
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 0, 0})
    ->Args({1920, 1080, 1, 1})
    ->Iterations(220)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlushOneSecondOfFrames)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResidentGrowth10000Frames)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace noctra

BENCHMARK_MAIN();
