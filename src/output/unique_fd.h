#pragma once
// One open file descriptor and the calls that opened it, owned: it is closed
// when its owner goes, and moving hands it on, so that its owners move by
// `= default` and have no close paths of their own.

#include <cerrno>
#include <utility>

#include "output/writer_io.h"

namespace noctra {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes fd (-1 for none), to be closed through io.
  UniqueFd(int fd, WriterIo& io) : fd_(fd), io_(&io) {}
  UniqueFd(UniqueFd&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), io_(std::exchange(other.io_, nullptr)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
      io_ = std::exchange(other.io_, nullptr);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { close(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes it now: 0, or the errno of a close that failed; nothing to do
  // when there is none.
  int close() {
    if (fd_ < 0) return 0;
    const int result = io_->close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
  WriterIo* io_ = nullptr;
};

}  // namespace noctra
