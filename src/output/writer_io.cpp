#include "output/writer_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace noctra {

int WriterIo::rename_file(const char* from, const char* to) { return std::rename(from, to); }

int WriterIo::open_folder(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int WriterIo::open_file(const char* path, bool writable) {
  int fd;
  do {
    fd = ::open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t WriterIo::pread(int fd, void* into, std::size_t bytes, off_t offset) {
  ssize_t got;
  do {
    got = ::pread(fd, into, bytes, offset);
  } while (got < 0 && errno == EINTR);
  return got;
}

int64_t WriterIo::file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

int PosixWriterIo::create_file(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int PosixWriterIo::remove_file(const char* path) { return std::remove(path); }

ssize_t PosixWriterIo::pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  ssize_t written;
  do {
    written = ::pwritev(fd, iov, count, offset);
  } while (written < 0 && errno == EINTR);
  return written;
}

int PosixWriterIo::ftruncate(int fd, off_t length) {
  int result;
  do {
    result = ::ftruncate(fd, length);
  } while (result < 0 && errno == EINTR);
  return result;
}

int PosixWriterIo::fdatasync(int fd) { return ::fdatasync(fd); }

int PosixWriterIo::close(int fd) { return ::close(fd); }

int64_t PosixWriterIo::now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WriterIo& posix_writer_io() {
  // Never destroyed: a reader or writer kept until the program's exit still
  // closes its file through it after the other statics have gone.
  static PosixWriterIo* const io = new PosixWriterIo;
  return *io;
}

}  // namespace noctra
