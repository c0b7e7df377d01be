// Any bytes as a settings file: parsing must neither crash nor read outside
// its input, and the fields must come out within their limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const noctra::Settings settings = noctra::settings_from_text(text, "/home/fuzz");
  if (settings.image_file_path.size() > noctra::kMaxPathChars) std::abort();
  if (settings.port.empty() || settings.source.empty()) std::abort();
  (void)noctra::parse_profile_int(std::string(text));
  return 0;
}
