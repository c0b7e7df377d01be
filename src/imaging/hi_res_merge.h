#pragma once
// Hi-res merge: in High Res mode every exposure is acquired twice, the first
// frame read out by the guide trigger and the main frame by the main trigger.
// The merge builds one frame from the brighter field of each and matches the
// tones of the first frame's field to the main frame's field.

#include <array>
#include <cstdint>

#include "imaging/frame_image.h"

namespace noctra {

// Combines the two acquisitions in `main`: its even stored rows get the main
// frame's brighter field, its odd stored rows the first frame's brighter
// field passed through a tone table built from the two fields' histograms.
// `first` is only read. The main frame is left as acquired when the two
// frames differ in geometry or are too small for the sample patch.
void merge_hi_res(FrameImage& main, const FrameImage& first);

// The parts of the merge, exposed so that each can be timed and tested on
// its own. merge_hi_res is exactly: plan, histograms, tone table, then the
// two row passes.
namespace hi_res {

using Histogram = std::array<int32_t, 256>;
using ToneTable = std::array<uint8_t, 256>;

// Which stored rows end up where, decided from the field sums of both frames
// before anything changes.
struct MergePlan {
  // The main frame's odd field is brighter: its rows move down by one row.
  bool shift_main = false;
  // The first frame's field that fills the odd rows: 0 even, 1 odd.
  int32_t first_field = 0;
};

bool can_merge(const FrameImage& main, const FrameImage& first);
MergePlan plan_merge(const FrameImage& main, const FrameImage& first);

// Counts the first byte of every pixel of the stored rows start_row,
// start_row + 2, ... (pairs rows in all) into `histogram`, which it clears.
void count_field(const FrameImage& frame, int32_t start_row, int32_t pairs, Histogram& histogram);

// The tone table from the two field histograms (per-value counts, not yet
// cumulative): every value of the odd rows is lifted to the even rows'
// value at the same cumulative count, never darkened.
ToneTable build_tone_table(const Histogram& odd_rows, const Histogram& even_rows);

// Stored row 2k + 1 over stored row 2k for every pair: the same even rows as
// moving the whole frame down by one row, without touching the odd rows that
// the interleave overwrites anyway. An unpaired top row keeps its content.
void shift_odd_field_down(FrameImage& main);

// Main stored row 2k + 1 = table applied to every byte (fill bytes too) of
// the first frame's stored row 2k + first_field.
void interleave_remapped(FrameImage& main, const FrameImage& first, int32_t first_field,
                         const ToneTable& table);

}  // namespace hi_res
}  // namespace noctra
