#include "indi/port_trace.h"

#include <cerrno>
#include <cstring>

#include "camera/port_device.h"
#include "config/timing.h"

namespace noctra::indi {

bool PortTrace::open(const std::string& path, std::string* error) {
  close();
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    if (error != nullptr) *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void PortTrace::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void PortTrace::record(uint8_t byte, int64_t mono_us) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "port %s at %s ms\n", port_byte_text(byte).c_str(),
               format_mono_ms(mono_us).c_str());
  std::fflush(file_);
}

}  // namespace noctra::indi
