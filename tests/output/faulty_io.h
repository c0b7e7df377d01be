#pragma once
// The real file calls, with a fault where a test wants one: given the offset
// and byte count of a write, the errno to fail it with (0 lets it through),
// optionally after half the bytes went in, as a filling disk does.

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "output/writer_io.h"

namespace noctra::test {

class FaultyWriterIo final : public WriterIo {
 public:
  std::function<int(off_t offset, std::size_t bytes)> fault;
  bool partial_before_fault = false;
  int rename_error = 0;
  int syncs = 0;

  int create_file(const char* path) override { return real_.create_file(path); }
  int remove_file(const char* path) override { return real_.remove_file(path); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) override {
    if (pending_error_ != 0) {
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
      for (; parts < count && left > 0; ++parts) {
        left -= half[parts].iov_len = std::min(half[parts].iov_len, left);
      }
      return real_.pwritev(fd, half.data(), parts, offset);
    }
    errno = error;
    return -1;
  }
  int ftruncate(int fd, off_t length) override { return real_.ftruncate(fd, length); }
  int fdatasync(int fd) override {
    ++syncs;
    return real_.fdatasync(fd);
  }
  int close(int fd) override { return real_.close(fd); }
  int64_t now_ms() override { return 0; }
  int rename_file(const char* from, const char* to) override {
    if (rename_error != 0) {
      errno = rename_error;
      return -1;
    }
    return real_.rename_file(from, to);
  }

 private:
  PosixWriterIo real_;
  int pending_error_ = 0;
};

}  // namespace noctra::test
