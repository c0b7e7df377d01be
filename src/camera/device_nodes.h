#pragma once
// Finding device nodes in /dev by name, for the listings and the automatic
// choice of port and source.

#include <string>
#include <vector>

namespace noctra {

// The /dev entries named prefix followed by a digit, in numeric order
// (parport2 before parport10, video2 before video10), as full paths.
std::vector<std::string> device_nodes(const char* prefix);

}  // namespace noctra
