#pragma once
// A file with one line per camera port write, "port 0x27 at 1234.567 ms"
// (the monotonic clock in milliseconds after the byte), flushed line by line
// so that a test or a user with tail -f sees each byte as it goes out.

#include <cstdint>
#include <cstdio>
#include <string>

namespace noctra::indi {

class PortTrace {
 public:
  PortTrace() = default;
  ~PortTrace() { close(); }
  PortTrace(const PortTrace&) = delete;
  PortTrace& operator=(const PortTrace&) = delete;

  // Starts a new trace (appending to the file); an empty path ends it. False
  // with the reason when the file cannot be opened; the trace is then off.
  bool open(const std::string& path, std::string* error);
  void close();
  bool active() const { return file_ != nullptr; }
  void record(uint8_t byte, int64_t mono_us);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace noctra::indi
