#include "app/repair.h"

#include "output/ser_repair.h"
#include "output/timing_log.h"

namespace noctra {

int run_repair(const std::string& file, std::ostream& out, std::ostream& err) {
  const std::string timing = timing_path_for(file);
  const SerRepairResult result = repair_ser(file, timing);
  const int status = repair_exit_status(result.outcome);
  (status == 0 ? out : err) << "noctra: " << result.message << "\n";
  return status;
}

}  // namespace noctra
