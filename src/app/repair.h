#pragma once
// `noctra --repair FILE.ser`: completes a SER recording that a crash cut
// short, from the timing record beside it.

#include <ostream>
#include <string>

namespace noctra {

// Repairs the file with <name>.timing.csv, says what was done in one line
// (on out when the file is complete, else on err) and returns the exit
// status: 0 complete, 1 not complete (the count set but timestamps missing,
// or a failed read or write), 2 not a SER file (nothing written).
int run_repair(const std::string& file, std::ostream& out, std::ostream& err);

}  // namespace noctra
