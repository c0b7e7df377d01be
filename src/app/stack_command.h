#pragma once
// `noctra --stack RECORDING [--dark FILE] [--flat FILE] [--output FILE.fits]`:
// stacks a recording (AVI, SER or FITS) with the live stack's engine and
// writes the stack's three files beside it (or beside --output).

#include <iosfwd>
#include <string>

namespace noctra {

struct StackRequest {
  std::string recording;
  std::string dark;    // a master dark, empty for none
  std::string flat;    // a master flat, empty for none
  std::string output;  // the FITS file, empty for beside the recording
};

// Prints one line on err naming the files and counting the frames stacked
// and left out (by reason). Returns the exit status: 0 when the files were
// written, 1 when no frame could be stacked or a file could not be written,
// 2 when the recording (or a frame of it, after which the frames read so
// far are still stacked and written) cannot be read, or a master given is
// not a master of its kind for frames of the recording's size. The dark
// is scaled to each frame's exposure and its k fitted, as the live stack
// does; hot pixels are mended from the dark's map.
int run_stack(const StackRequest& request, std::ostream& err);

}  // namespace noctra
