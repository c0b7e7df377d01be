#pragma once
// The file system calls the recordings, the repair and the readers make,
// behind an interface so that tests can make a write fail (disk full, file
// too large, device gone) at an exact point, drive the flush timing with
// their own clock, or keep a whole file in memory.
//
// Calls follow the POSIX convention: -1 (or false) on failure with errno set.

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace noctra {

class WriterIo {
 public:
  virtual ~WriterIo() = default;
  // Creates or truncates the file for writing; a file descriptor or -1.
  virtual int create_file(const char* path) = 0;
  virtual int remove_file(const char* path) = 0;
  virtual ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) = 0;
  virtual int ftruncate(int fd, off_t length) = 0;
  virtual int fdatasync(int fd) = 0;
  virtual int close(int fd) = 0;
  // A monotonic millisecond count for the once-a-second flush.
  virtual int64_t now_ms() = 0;
  // Calls only the recordings made of many files need (a FITS frame is
  // written under a temporary name, then renamed, and the folder flushed).
  // The real calls unless a test replaces them.
  virtual int rename_file(const char* from, const char* to);
  // A descriptor of the folder, for fdatasync and close; -1 when it cannot be opened.
  virtual int open_folder(const char* path);
  // Calls that read an existing file (the readers) or mend one (the repair).
  // Opens it for reading, and for writing too when asked; a descriptor or -1.
  virtual int open_file(const char* path, bool writable);
  virtual ssize_t pread(int fd, void* into, std::size_t bytes, off_t offset);
  // The size of a regular file; -1 with errno set when the descriptor is
  // not one (EISDIR for a folder, EINVAL for anything else) or fstat fails.
  virtual int64_t file_size(int fd);
};

// The real calls. Stateless, so one instance can serve every writer.
class PosixWriterIo final : public WriterIo {
 public:
  int create_file(const char* path) override;
  int remove_file(const char* path) override;
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override;
  int ftruncate(int fd, off_t length) override;
  int fdatasync(int fd) override;
  int close(int fd) override;
  int64_t now_ms() override;
};

WriterIo& posix_writer_io();

}  // namespace noctra
