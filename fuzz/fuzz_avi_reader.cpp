// Arbitrary bytes as an AVI file through the reader: opening, indexing and
// reading every frame it lists. Besides the sanitizers' checks that nothing
// is read outside the file or a frame, it checks what the reader promises
// (reader_check.h). The input lives in a memory file, so no disk is touched.

#include "output/avi_reader.h"
#include "reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string path = noctra::fuzz::memory_file_with(data, size);
  std::string error;
  noctra::fuzz::check_reader(noctra::AviReader::open(path, error), error);
  return 0;
}
