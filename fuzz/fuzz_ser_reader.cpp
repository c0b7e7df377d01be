// Arbitrary bytes as a SER file through the reader behind --measure: the
// header's checks and every frame it lists. Besides the sanitizers' checks
// that nothing is read outside the file or a frame, it checks what the
// reader promises (reader_check.h). The input lives in a memory file.

#include "output/ser_reader.h"
#include "reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string path = noctra::fuzz::memory_file_with(data, size);
  std::string error;
  noctra::fuzz::check_reader(noctra::SerReader::open(path, error), error);
  return 0;
}
