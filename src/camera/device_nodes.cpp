#include "camera/device_nodes.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>

namespace noctra {

std::vector<std::string> device_nodes(const char* prefix) {
  std::vector<std::string> paths;
  if (DIR* dir = opendir("/dev")) {
    const std::size_t n = std::strlen(prefix);
    while (dirent* entry = readdir(dir)) {
      if (std::strncmp(entry->d_name, prefix, n) == 0 && entry->d_name[n] >= '0' &&
          entry->d_name[n] <= '9') {
        paths.push_back(std::string("/dev/") + entry->d_name);
      }
    }
    closedir(dir);
  }
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return paths;
}

}  // namespace noctra
