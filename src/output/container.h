#pragma once
// One recording's file format behind one small interface. What every format
// shares (numbering and the settings' path, one report per recording, the
// flush at most once a second, the timing record) lives above the container;
// a container only lays out its own files and keeps them whole: a frame that
// cannot be written completely is cut back, so the recording always ends at
// its last whole frame.

#include <cstdint>
#include <memory>
#include <string>

#include "config/timing.h"
#include "imaging/frame_image.h"
#include "output/frame_metadata.h"
#include "output/writer_io.h"

namespace noctra {

// What went wrong in a container call, with the reason.
enum class ContainerFailure {
  None,
  Open,     // the recording could not be created (missing folder, no permission, ...)
  Stream,   // it was created but its header could not be written; nothing is left of it
  Format,   // its first frame's format cannot be recorded; nothing is left of it
  Write,    // a write, flush or close failed; the recording was cut back to its last whole frame
  Refused,  // the frame does not fit the recording (other size, too many frames); nothing written
};

// Kept apart from the project's Status: the recording words the message
// itself (the format's name, the recording's path or one frame's file, the
// errno text) and tells the kinds apart to report each once, so the
// container hands over the parts rather than finished text.
struct ContainerStatus {
  ContainerFailure failure = ContainerFailure::None;
  int error = 0;       // errno of an Open, Stream or Write failure
  std::string detail;  // why a frame was refused, or a library's words when there is no errno
  // The file the failure concerns when it is not the recording's own path
  // (one frame's file of a FITS recording); empty otherwise.
  std::string file;

  bool ok() const { return failure == ContainerFailure::None; }
  // The errno text ("No space left on device"), else the detail.
  std::string reason() const;

  static ContainerStatus success() { return {}; }
  static ContainerStatus open_failed(int error, std::string file = {});
  static ContainerStatus stream_not_created(int error);
  static ContainerStatus format_refused();
  static ContainerStatus write_failed(int error, std::string file = {}, std::string detail = {});
  static ContainerStatus refused(std::string detail);
};

// Fixed for a whole recording; empty strings are left out where the format allows.
struct RecordingInfo {
  std::string observer;
  std::string instrument;
  std::string telescope;
  // 8-bit frames, one byte a pixel: the B byte of each of the frame's pixels
  // (a mono camera's frames carry the luma in B, G and R alike).
  bool mono = false;
};

// A mono frame's bytes: stored row r of the frame (0 = the bottom line) goes
// to row r of `into`, or to row height - 1 - r when `top_down`, each row
// `stride` bytes (padding zeroed).
void take_luma(const FrameImage& frame, uint8_t* into, std::size_t stride, bool top_down);

// Refuses a frame whose size is not the recording's; success when it is.
ContainerStatus refuse_other_size(const FrameImage& frame, int32_t width, int32_t height);

// One open recording of one format. Calls come from one thread, except
// flush(), which may run on a helper thread while append() runs (it touches
// only the open descriptors); close() must not overlap a flush.
class RecordingContainer {
 public:
  virtual ~RecordingContainer() = default;
  // Creates the recording at `path` (already numbered), replacing an earlier
  // recording of that very name, for frames of `first`'s size; `first_timing`
  // dates the recording. Writes no frame: append(first, ...) follows.
  virtual ContainerStatus open(const std::string& path, const FrameImage& first,
                               const FrameTiming& first_timing, const RecordingInfo& info) = 0;
  // Appends one frame. On a Write failure the recording is cut back to its
  // last whole frame and stays open, so a later frame may go in again.
  virtual ContainerStatus append(const FrameImage& frame, const FrameTiming& timing,
                                 const FrameMetadata& metadata) = 0;
  // Whole frames in the recording so far.
  virtual int64_t frames() const = 0;
  // Puts everything written so far on the disk (fdatasync).
  virtual ContainerStatus flush() = 0;
  // Completes the recording and closes it; nothing to do when closed. With
  // `sync`, what it completes goes to the disk before the close, so a
  // finished recording is whole there.
  virtual ContainerStatus close(bool sync) = 0;
};

}  // namespace noctra
