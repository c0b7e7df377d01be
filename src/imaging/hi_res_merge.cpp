#include "imaging/hi_res_merge.h"

#include <cstring>

#include "imaging/field_selection.h"

namespace noctra {
namespace hi_res {

namespace {

// Separate counters for neighbouring pixels, so that runs of equal values
// (a dark sky) do not stall on one counter.
constexpr int kSubHistograms = 4;

void count_row(const uint8_t* row, int32_t width, uint32_t (&counts)[kSubHistograms][256]) {
  int32_t x = 0;
  const uint8_t* p = row;
  for (; x + kSubHistograms <= width; x += kSubHistograms, p += kSubHistograms * kBytesPerPixel) {
    ++counts[0][p[0]];
    ++counts[1][p[3]];
    ++counts[2][p[6]];
    ++counts[3][p[9]];
  }
  for (; x < width; ++x, p += kBytesPerPixel) ++counts[0][p[0]];
}

// Eight looked-up bytes leave as one word store: the remap is bound by
// stores, not by the look-ups.
void remap_row(const uint8_t* source, uint8_t* target, std::size_t length, const ToneTable& table) {
  std::size_t b = 0;
  for (; b + 8 <= length; b += 8) {
    uint8_t block[8];
    for (int i = 0; i < 8; ++i) block[i] = table[source[b + static_cast<std::size_t>(i)]];
    std::memcpy(target + b, block, sizeof block);
  }
  for (; b < length; ++b) target[b] = table[source[b]];
}

bool is_identity(const ToneTable& table) {
  for (std::size_t v = 0; v < table.size(); ++v) {
    if (table[v] != v) return false;
  }
  return true;
}

}  // namespace

bool can_merge(const FrameImage& main, const FrameImage& first) {
  return main.width() == first.width() && main.height() == first.height() &&
         main.bit_count() == first.bit_count() && main.stride() == first.stride() &&
         has_sample_patch(main);
}

MergePlan plan_merge(const FrameImage& main, const FrameImage& first) {
  const FieldSums main_sums = measure_fields(main);
  const FieldSums first_sums = measure_fields(first);
  MergePlan plan;
  plan.shift_main = main_sums.odd > main_sums.even;
  plan.first_field = first_sums.odd > first_sums.even ? 1 : 0;
  return plan;
}

void count_field(const FrameImage& frame, int32_t start_row, int32_t pairs, Histogram& histogram) {
  uint32_t counts[kSubHistograms][256] = {};
  const int32_t width = frame.width();
  for (int32_t k = 0; k < pairs; ++k) count_row(frame.row(start_row + 2 * k), width, counts);
  for (int v = 0; v < 256; ++v) {
    uint32_t total = 0;
    for (const auto& sub : counts) total += sub[v];
    // At most width x height / 2 samples, far below 2^31 for any frame the
    // frame image accepts.
    histogram[static_cast<std::size_t>(v)] = static_cast<int32_t>(total);
  }
}

ToneTable build_tone_table(const Histogram& odd_rows, const Histogram& even_rows) {
  Histogram odd = odd_rows;
  Histogram even = even_rows;
  // Bin 255 is never consulted, so it stays a plain count.
  for (std::size_t v = 1; v <= 254; ++v) {
    odd[v] += odd[v - 1];
    even[v] += even[v - 1];
  }
  ToneTable table{};
  std::size_t j = 0;
  for (std::size_t i = 0; i <= 254; ++i) {
    table[j] = static_cast<uint8_t>(i);
    if (odd[j] <= even[i]) ++j;
  }
  for (; j < table.size(); ++j) table[j] = 255;
  return table;
}

void shift_odd_field_down(FrameImage& main) {
  const int32_t pairs = main.height() / 2;
  const std::size_t stride = main.stride();
  for (int32_t k = 0; k < pairs; ++k) std::memcpy(main.row(2 * k), main.row(2 * k + 1), stride);
}

void interleave_remapped(FrameImage& main, const FrameImage& first, int32_t first_field,
                         const ToneTable& table) {
  const int32_t pairs = main.height() / 2;
  const std::size_t stride = main.stride();
  // A first frame already as bright as the main frame at every level gets
  // the identity table; its rows then go across as plain copies.
  if (is_identity(table)) {
    for (int32_t k = 0; k < pairs; ++k)
      std::memcpy(main.row(2 * k + 1), first.row(2 * k + first_field), stride);
    return;
  }
  for (int32_t k = 0; k < pairs; ++k) {
    remap_row(first.row(2 * k + first_field), main.row(2 * k + 1), stride, table);
  }
}

}  // namespace hi_res

void merge_hi_res(FrameImage& main, const FrameImage& first) {
  using namespace hi_res;
  if (!can_merge(main, first)) return;
  const MergePlan plan = plan_merge(main, first);
  const int32_t pairs = main.height() / 2;

  // Both histograms are taken from the rows that will end up in the merged
  // frame, before any of them is written, so the frame is passed over once.
  Histogram odd_rows;
  Histogram even_rows;
  count_field(first, plan.first_field, pairs, odd_rows);
  count_field(main, plan.shift_main ? 1 : 0, pairs, even_rows);
  const ToneTable table = build_tone_table(odd_rows, even_rows);

  if (plan.shift_main) shift_odd_field_down(main);
  interleave_remapped(main, first, plan.first_field, table);
}

}  // namespace noctra
