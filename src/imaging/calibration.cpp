#include "imaging/calibration.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace noctra {

namespace {

constexpr double kMadToSigma = 1.4826;
// One step of the 8-bit scale: the spread of a pixel over a few frames is
// never taken as less, so quantisation cannot clip a whole pixel away.
constexpr double kCombineSigmaFloor = 1.0;
// Far below any real master's noise; keeps a noiseless synthetic dark from
// making every tiny difference "hot".
constexpr double kHotSigmaFloor = 0.1;
// Samples the noise and k estimates take from a frame's grid.
constexpr std::size_t kGridSamples = 8192;
// Samples of strong thermal signal the k fit adds (glow and warm pixels).
constexpr std::size_t kThermalSamples = 16384;
constexpr double kThermalSampleSigmas = 3.0;
// Light samples further than this from the median at k = 1 (stars) are not
// background and stay out of the k fit.
constexpr double kBackgroundSigmas = 5.0;
// Noise is a standard deviation clipped at 3 sigma, corrected for the
// clipped tails of a Gaussian.
constexpr double kClipNoiseSigmas = 3.0;
constexpr double kClippedGaussianSpread = 0.98658;
constexpr double kKMin = 0.0, kKMax = 2.0, kKTolerance = 1e-3;
// A lone hot pixel's neighbours carry less than this share of its height.
constexpr double kLoneNeighbourShare = 0.25;
// Flats below this are holes, not vignetting: left uncorrected.
constexpr float kSmallestFlat = 0.05F;

// The plane of `planes` that serves channel c of a frame with any number of
// channels: a grey master serves every channel.
const float* plane_for(const FloatPlanes& planes, int32_t channel) {
  return planes.plane(planes.channels == 1 ? 0 : channel);
}

// Sorts the first `count` values in place (a handful: insertion sort).
float median_of(float* values, int count) {
  for (int i = 1; i < count; ++i) {
    const float v = values[i];
    int j = i;
    for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
    values[j] = v;
  }
  return (count % 2) == 1 ? values[count / 2] : 0.5F * (values[count / 2 - 1] + values[count / 2]);
}

// A pixel's eight neighbours in its own field: the two beside it in its row
// and three in each of the field's rows above and below (row_step away).
int gather_neighbours(const float* plane, int32_t width, int32_t height, int32_t x, int32_t y,
                      int32_t row_step, std::array<float, 8>& out) {
  int count = 0;
  for (int32_t dy : {-row_step, 0, row_step}) {
    const int32_t ny = y + dy;
    if (ny < 0 || ny >= height) continue;
    const float* row = plane + static_cast<std::size_t>(ny) * width;
    for (int32_t dx = -1; dx <= 1; ++dx) {
      const int32_t nx = x + dx;
      if ((dx == 0 && dy == 0) || nx < 0 || nx >= width) continue;
      out[count++] = row[nx];
    }
  }
  return count;
}

// The sixteen pixels two steps out, in the field's own geometry.
int gather_ring(const float* plane, int32_t width, int32_t height, int32_t x, int32_t y,
                int32_t row_step, std::array<float, 16>& out) {
  int count = 0;
  for (int32_t fy = -2; fy <= 2; ++fy) {
    const int32_t ny = y + fy * row_step;
    if (ny < 0 || ny >= height) continue;
    const float* row = plane + static_cast<std::size_t>(ny) * width;
    const int32_t dx_step = (fy == -2 || fy == 2) ? 1 : 4;
    for (int32_t dx = -2; dx <= 2; dx += dx_step) {
      const int32_t nx = x + dx;
      if (nx < 0 || nx >= width) continue;
      out[count++] = row[nx];
    }
  }
  return count;
}

// Plane indices of a regular grid with at most `most` points. The grid's
// row spacing is even, so doubled rows are never sampled twice.
std::vector<int32_t> grid_indices(int32_t width, int32_t height, std::size_t most) {
  const double pixels = static_cast<double>(width) * height;
  int32_t spacing = static_cast<int32_t>(std::ceil(std::sqrt(pixels / static_cast<double>(most))));
  spacing = std::max(2, spacing + (spacing % 2));
  std::vector<int32_t> indices;
  for (int32_t y = spacing / 2; y < height; y += spacing) {
    for (int32_t x = spacing / 2; x < width; x += spacing) indices.push_back(y * width + x);
  }
  return indices;
}

void copy_frame_channel(const FrameImage& frame, int32_t byte, float* out) {
  const int32_t w = frame.width();
  for (int32_t y = 0; y < frame.height(); ++y) {
    const uint8_t* row = frame.row(y) + byte;
    float* o = out + static_cast<std::size_t>(y) * w;
    for (int32_t x = 0; x < w; ++x) o[x] = row[3 * x];
  }
}

// The frame byte a channel of `channels` reads: a grey frame's blue byte.
int32_t frame_byte(int32_t channel, int32_t channels) { return channels == 1 ? 0 : channel; }

}  // namespace

void FloatPlanes::resize(int32_t w, int32_t h, int32_t c) {
  width = w;
  height = h;
  channels = c;
  samples.resize(plane_size() * static_cast<std::size_t>(c));
}

PlaneFrame FloatPlanes::view() const {
  PlaneFrame frame;
  frame.width = width;
  frame.height = height;
  frame.channels = channels;
  for (int32_t c = 0; c < channels; ++c) {
    frame.planes[static_cast<std::size_t>(c)] = {plane(c), width, height, width, 255};
  }
  return frame;
}

int32_t neighbour_row_step(bool rows_doubled) { return rows_doubled ? 2 : 1; }

void frame_to_planes(const FrameImage& frame, FloatPlanes& planes) {
  const int32_t channels = is_grey_frame(frame) ? 1 : 3;
  planes.resize(frame.width(), frame.height(), channels);
  for (int32_t c = 0; c < channels; ++c) copy_frame_channel(frame, c, planes.plane(c));
}

double robust_sigma(std::vector<float>& values, float* median) {
  if (values.empty()) {
    if (median) *median = 0;
    return 0;
  }
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  const float centre = *middle;
  if (median) *median = centre;
  for (float& v : values) v = std::fabs(v - centre);
  std::nth_element(values.begin(), middle, values.end());
  return kMadToSigma * *middle;
}

double background_noise(const FloatPlanes& image, int32_t channel) {
  const float* plane = image.plane(channel);
  std::vector<float> values;
  for (int32_t index : grid_indices(image.width, image.height, kGridSamples)) {
    values.push_back(plane[index]);
  }
  std::vector<float> scratch(values);
  float centre = 0;
  // The MAD of whole ADU values is itself a whole number: it only starts a
  // clipped standard deviation, which is not quantised.
  double sigma = std::max(robust_sigma(scratch, &centre), kHotSigmaFloor);
  for (int pass = 0; pass < 2; ++pass) {
    double sum = 0, squares = 0;
    std::size_t kept = 0;
    for (float v : values) {
      const double d = v - centre;
      if (std::fabs(d) > kClipNoiseSigmas * sigma) continue;
      sum += d;
      squares += d * d;
      ++kept;
    }
    if (kept < 2) break;
    const double mean = sum / static_cast<double>(kept);
    sigma = std::sqrt(std::max(0.0, squares / static_cast<double>(kept) - mean * mean)) /
            kClippedGaussianSpread;
  }
  return sigma;
}

// ---- Master combination ----

MasterCombiner::MasterCombiner(MasterKind kind) : kind_(kind) {}

bool MasterCombiner::add(const FrameImage& frame, const ExposureTimes& times) {
  if (frames_ == 0) {
    width_ = frame.width();
    height_ = frame.height();
    const std::size_t values = static_cast<std::size_t>(width_) * height_ * 3;
    batch_.assign(values * kCombineBatchFrames, 0);
    kept_sum_.assign(values, 0.0);
    kept_count_.assign(values, 0);
  } else if (frame.width() != width_ || frame.height() != height_) {
    return false;
  }
  all_grey_ = all_grey_ && is_grey_frame(frame);
  time_sums_.integration_s += times.integration_s;
  time_sums_.amplifier_s += times.amplifier_s;
  const int32_t slot = batch_frames_;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* row = frame.row(y);
    uint8_t* out = batch_.data() + static_cast<std::size_t>(y) * width_ * 3 * kCombineBatchFrames;
    for (int32_t v = 0; v < width_ * 3; ++v) out[v * kCombineBatchFrames + slot] = row[v];
  }
  ++frames_;
  if (++batch_frames_ == kCombineBatchFrames) combine_batch();
  return true;
}

void MasterCombiner::combine_batch() {
  if (batch_frames_ == 0) return;
  const int32_t n = batch_frames_;
  // A grey batch needs its first channel only; the others are copies.
  const int32_t channels = all_grey_ ? 1 : 3;
  const std::size_t pixels = static_cast<std::size_t>(width_) * height_;
  std::array<float, kCombineBatchFrames> sorted{}, deviations{};
  for (std::size_t p = 0; p < pixels; ++p) {
    for (int32_t c = 0; c < channels; ++c) {
      const std::size_t value_index = p * 3 + static_cast<std::size_t>(c);
      const uint8_t* values = batch_.data() + value_index * kCombineBatchFrames;
      for (int32_t f = 0; f < n; ++f) sorted[f] = values[f];
      const float centre = median_of(sorted.data(), n);
      for (int32_t f = 0; f < n; ++f) deviations[f] = std::fabs(sorted[f] - centre);
      const double sigma =
          std::max(kMadToSigma * median_of(deviations.data(), n), kCombineSigmaFloor) * kClipSigmas;
      double sum = 0, squares = 0;
      uint32_t kept = 0;
      for (int32_t f = 0; f < n; ++f) {
        const double v = values[f];
        if (std::fabs(v - centre) > sigma) continue;
        sum += v;
        squares += v * v;
        ++kept;
      }
      if (kept > 1) {
        variance_sum_ += std::max(0.0, (squares - sum * sum / kept) / (kept - 1));
        variance_weight_ += 1;
      }
      kept_sum_[value_index] += sum;
      kept_count_[value_index] += kept;
    }
    if (channels == 1) {
      kept_sum_[p * 3 + 1] = kept_sum_[p * 3 + 2] = kept_sum_[p * 3];
      kept_count_[p * 3 + 1] = kept_count_[p * 3 + 2] = kept_count_[p * 3];
    }
  }
  batch_frames_ = 0;
}

std::optional<MasterFrame> MasterCombiner::finish() {
  if (frames_ == 0) return std::nullopt;
  combine_batch();
  MasterFrame master;
  master.kind = kind_;
  master.frames_combined = frames_;
  master.times.integration_s = time_sums_.integration_s / frames_;
  master.times.amplifier_s = time_sums_.amplifier_s / frames_;
  const int32_t channels = all_grey_ ? 1 : 3;
  master.image.resize(width_, height_, channels);
  const std::size_t pixels = master.image.plane_size();
  for (int32_t c = 0; c < channels; ++c) {
    float* out = master.image.plane(c);
    for (std::size_t p = 0; p < pixels; ++p) {
      const std::size_t i = p * 3 + static_cast<std::size_t>(c);
      // The median is always within its own spread, so no pixel loses every value.
      out[p] = kept_count_[i] > 0 ? static_cast<float>(kept_sum_[i] / kept_count_[i]) : 0.0F;
    }
  }
  const double frame_variance = variance_weight_ > 0 ? variance_sum_ / variance_weight_ : 0.0;
  master.noise = std::sqrt(frame_variance / frames_);
  return master;
}

std::optional<MasterFrame> make_master_flat(const MasterFrame& combined_flats,
                                            const FloatPlanes* flat_dark) {
  MasterFrame flat = combined_flats;
  flat.kind = MasterKind::Flat;
  FloatPlanes& image = flat.image;
  if (flat_dark != nullptr &&
      (flat_dark->width != image.width || flat_dark->height != image.height)) {
    return std::nullopt;
  }
  const std::size_t pixels = image.plane_size();
  for (int32_t c = 0; c < image.channels; ++c) {
    float* plane = image.plane(c);
    if (flat_dark != nullptr) {
      const float* dark = plane_for(*flat_dark, c);
      for (std::size_t p = 0; p < pixels; ++p) plane[p] -= dark[p];
    }
    double sum = 0;
    for (std::size_t p = 0; p < pixels; ++p) sum += plane[p];
    const double mean = sum / static_cast<double>(pixels);
    if (!(mean > 0)) return std::nullopt;
    const auto scale = static_cast<float>(1.0 / mean);
    for (std::size_t p = 0; p < pixels; ++p) plane[p] *= scale;
    if (c == 0) flat.noise = combined_flats.noise / mean;
  }
  return flat;
}

// ---- Hot pixels ----

std::vector<std::vector<int32_t>> find_hot_pixels(const FloatPlanes& dark, int32_t row_step) {
  const int32_t w = dark.width, h = dark.height;
  std::vector<std::vector<int32_t>> hot(static_cast<std::size_t>(dark.channels));
  std::vector<float> excess(dark.plane_size());
  std::array<float, 8> around{};
  for (int32_t c = 0; c < dark.channels; ++c) {
    const float* plane = dark.plane(c);
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const int count = gather_neighbours(plane, w, h, x, y, row_step, around);
        const std::size_t i = static_cast<std::size_t>(y) * w + x;
        excess[i] = count > 0 ? plane[i] - median_of(around.data(), count) : 0.0F;
      }
    }
    std::vector<float> spread(excess);
    float centre = 0;
    const double sigma = std::max(robust_sigma(spread, &centre), kHotSigmaFloor);
    const auto limit = static_cast<float>(centre + kHotPixelSigmas * sigma);
    for (std::size_t i = 0; i < excess.size(); ++i) {
      if (excess[i] > limit) hot[c].push_back(static_cast<int32_t>(i));
    }
  }
  return hot;
}

namespace {

// Replaces the listed pixels of one plane by their unlisted neighbours' median.
int32_t replace_listed(float* plane, int32_t w, int32_t h, const std::vector<int32_t>& listed,
                       int32_t row_step) {
  int32_t replaced = 0;
  std::array<float, 8> around{};
  for (int32_t index : listed) {
    const int32_t x = index % w, y = index / w;
    int count = 0;
    for (int32_t dy : {-row_step, 0, row_step}) {
      const int32_t ny = y + dy;
      if (ny < 0 || ny >= h) continue;
      for (int32_t dx = -1; dx <= 1; ++dx) {
        const int32_t nx = x + dx;
        if ((dx == 0 && dy == 0) || nx < 0 || nx >= w) continue;
        const int32_t n = ny * w + nx;
        if (std::binary_search(listed.begin(), listed.end(), n)) continue;
        around[count++] = plane[n];
      }
    }
    if (count == 0) continue;
    plane[index] = median_of(around.data(), count);
    ++replaced;
  }
  return replaced;
}

int32_t replace_lone(float* plane, int32_t w, int32_t h, double sigma, int32_t row_step) {
  const auto margin = static_cast<float>(kCosmeticSigmas * sigma);
  int32_t replaced = 0;
  std::array<float, 8> around{};
  std::array<float, 16> ring{};
  for (int32_t y = 0; y < h; ++y) {
    float* row = plane + static_cast<std::size_t>(y) * w;
    for (int32_t x = 0; x < w; ++x) {
      const float v = row[x];
      // Most pixels fail on the neighbour beside them.
      if (w > 1 && v - margin <= row[x > 0 ? x - 1 : x + 1]) continue;
      const int count = gather_neighbours(plane, w, h, x, y, row_step, around);
      if (count == 0) continue;
      const float highest = *std::max_element(around.begin(), around.begin() + count);
      if (v - margin <= highest) continue;
      const int ring_count = gather_ring(plane, w, h, x, y, row_step, ring);
      const float background = ring_count > 0 ? median_of(ring.data(), ring_count) : highest;
      if (highest - background >= kLoneNeighbourShare * (v - background)) continue;
      row[x] = median_of(around.data(), count);
      ++replaced;
    }
  }
  return replaced;
}

}  // namespace

int32_t correct_hot_pixels(FloatPlanes& image, const std::vector<std::vector<int32_t>>& hot,
                           int32_t row_step) {
  int32_t replaced = 0;
  for (int32_t c = 0; c < image.channels && !hot.empty(); ++c) {
    const auto& listed = hot[hot.size() == 1 ? 0 : static_cast<std::size_t>(c)];
    replaced += replace_listed(image.plane(c), image.width, image.height, listed, row_step);
  }
  return replaced;
}

int32_t correct_lone_hot_pixels(FloatPlanes& image, const std::vector<double>& sigma,
                                int32_t row_step) {
  int32_t replaced = 0;
  for (int32_t c = 0; c < image.channels && c < static_cast<int32_t>(sigma.size()); ++c) {
    if (!(sigma[c] > 0)) continue;
    replaced += replace_lone(image.plane(c), image.width, image.height, sigma[c], row_step);
  }
  return replaced;
}

int32_t correct_hot_pixels_in_frame(FrameImage& frame, const std::vector<std::vector<int32_t>>& hot,
                                    int32_t row_step) {
  FloatPlanes planes;
  frame_to_planes(frame, planes);
  int32_t corrected = correct_hot_pixels(planes, hot, row_step);
  std::vector<double> sigma;
  for (int32_t c = 0; c < planes.channels; ++c) sigma.push_back(background_noise(planes, c));
  corrected += correct_lone_hot_pixels(planes, sigma, row_step);
  render_display_frame(planes, frame);
  return corrected;
}

bool render_display_frame(const FloatPlanes& planes, FrameImage& frame) {
  if (planes.width != frame.width() || planes.height != frame.height() ||
      (planes.channels != 1 && planes.channels != 3)) {
    return false;
  }
  const int32_t w = planes.width;
  for (int32_t y = 0; y < planes.height; ++y) {
    uint8_t* row = frame.row(y);
    for (int32_t byte = 0; byte < 3; ++byte) {
      const float* in =
          planes.plane(planes.channels == 1 ? 0 : byte) + static_cast<std::size_t>(y) * w;
      for (int32_t x = 0; x < w; ++x) {
        const float v = std::clamp(in[x] + 0.5F, 0.0F, 255.0F);
        row[3 * x + byte] = static_cast<uint8_t>(v);
      }
    }
  }
  return true;
}

// ---- The calibrator ----

std::optional<Calibrator> Calibrator::prepare(const Masters& masters, int32_t row_step,
                                              std::string* why) {
  Calibrator calibrator;
  calibrator.row_step_ = std::max(1, row_step);
  const MasterFrame* all[] = {masters.bias, masters.dark, masters.flat};
  const MasterFrame* first = nullptr;
  for (const MasterFrame* m : all) {
    if (m == nullptr) continue;
    if (m->image.channels != 1 && m->image.channels != 3) {
      if (why) *why = "a master has neither one nor three channels";
      return std::nullopt;
    }
    if (first == nullptr) {
      first = m;
    } else if (m->image.width != first->image.width || m->image.height != first->image.height) {
      if (why) *why = "the masters differ in size";
      return std::nullopt;
    }
    calibrator.channels_ = std::max(calibrator.channels_, m->image.channels);
  }
  if (first == nullptr) return calibrator;
  calibrator.width_ = first->image.width;
  calibrator.height_ = first->image.height;
  const int32_t channels = calibrator.channels_;
  const int32_t w = calibrator.width_, h = calibrator.height_;
  const std::size_t pixels = static_cast<std::size_t>(w) * h;

  // What is taken off every frame as it is: the bias, else the dark.
  const MasterFrame* base = masters.bias != nullptr ? masters.bias : masters.dark;
  calibrator.has_bias_ = masters.bias != nullptr;
  calibrator.has_dark_ = masters.dark != nullptr;
  if (base != nullptr) {
    calibrator.base_.resize(w, h, channels);
    for (int32_t c = 0; c < channels; ++c) {
      std::copy_n(plane_for(base->image, c), pixels, calibrator.base_.plane(c));
    }
  }
  if (masters.bias != nullptr) calibrator.bias_times_ = masters.bias->times;
  if (masters.dark != nullptr) {
    calibrator.dark_times_ = masters.dark->times;
    calibrator.hot_ = find_hot_pixels(masters.dark->image, calibrator.row_step_);
    calibrator.hot_mask_.assign(pixels * static_cast<std::size_t>(channels), 0);
    for (int32_t c = 0; c < channels; ++c) {
      const auto& listed = calibrator.hot_[calibrator.hot_.size() == 1 ? 0 : c];
      for (int32_t i : listed) calibrator.hot_mask_[c * pixels + static_cast<std::size_t>(i)] = 1;
    }
  }
  if (masters.bias != nullptr && masters.dark != nullptr) {
    calibrator.thermal_.resize(w, h, channels);
    std::vector<int32_t> grid = grid_indices(w, h, kGridSamples);
    for (int32_t c = 0; c < channels; ++c) {
      const float* dark = plane_for(masters.dark->image, c);
      const float* bias = plane_for(masters.bias->image, c);
      float* thermal = calibrator.thermal_.plane(c);
      for (std::size_t p = 0; p < pixels; ++p) thermal[p] = dark[p] - bias[p];
      // The k samples: the grid, plus the pixels whose thermal signal
      // stands out (spaced out when there are many).
      std::vector<float> values;
      for (int32_t i : grid) values.push_back(thermal[i]);
      float centre = 0;
      const double sigma = std::max(robust_sigma(values, &centre), kHotSigmaFloor);
      const auto limit = static_cast<float>(centre + kThermalSampleSigmas * sigma);
      const uint8_t* hot = calibrator.hot_mask_.data() + c * pixels;
      std::vector<int32_t> strong;
      for (int32_t y = 0; y < h; y += calibrator.row_step_) {
        for (int32_t x = 0; x < w; ++x) {
          const int32_t i = y * w + x;
          if (thermal[i] > limit && hot[i] == 0) strong.push_back(i);
        }
      }
      const std::size_t spacing = strong.size() / kThermalSamples + 1;
      std::vector<int32_t> samples;
      for (int32_t i : grid) {
        if (hot[i] == 0) samples.push_back(i);
      }
      for (std::size_t s = 0; s < strong.size(); s += spacing) samples.push_back(strong[s]);
      calibrator.k_samples_.push_back(std::move(samples));
    }
  }
  if (masters.flat != nullptr) {
    calibrator.has_flat_ = true;
    calibrator.flat_reciprocal_.resize(w, h, channels);
    for (int32_t c = 0; c < channels; ++c) {
      const float* flat = plane_for(masters.flat->image, c);
      float* out = calibrator.flat_reciprocal_.plane(c);
      for (std::size_t p = 0; p < pixels; ++p) {
        out[p] = flat[p] >= kSmallestFlat && std::isfinite(flat[p]) ? 1.0F / flat[p] : 1.0F;
      }
    }
  }
  return calibrator;
}

int32_t Calibrator::hot_pixel_count() const {
  std::size_t count = 0;
  for (const auto& listed : hot_) count += listed.size();
  return static_cast<int32_t>(count);
}

double Calibrator::fit_k(const FrameImage& light, int32_t light_channels, double ratio) const {
  // For each sample: a = (L - bias) / F and b = r T / F, centred, so that
  // the calibrated background is a - k b.
  struct Sample {
    float a, b;
  };
  std::vector<Sample> samples;
  for (int32_t c = 0; c < std::max(channels_, light_channels); ++c) {
    const int32_t mc = channels_ == 1 ? 0 : c;
    const int32_t byte = frame_byte(c, light_channels);
    const float* base = base_.plane(mc);
    const float* thermal = thermal_.plane(mc);
    const float* reciprocal = has_flat_ ? flat_reciprocal_.plane(mc) : nullptr;
    std::vector<Sample> channel;
    std::vector<float> at_one;
    for (int32_t i : k_samples_[mc]) {
      const float f = reciprocal ? reciprocal[i] : 1.0F;
      const uint8_t* pixel = light.row(i / width_) + 3 * (i % width_);
      const Sample s{(pixel[byte] - base[i]) * f, static_cast<float>(ratio) * thermal[i] * f};
      channel.push_back(s);
      at_one.push_back(s.a - s.b);
    }
    float centre = 0;
    const double sigma = robust_sigma(at_one, &centre);
    const auto limit = static_cast<float>(kBackgroundSigmas * std::max(sigma, kHotSigmaFloor));
    double sum_a = 0, sum_b = 0;
    std::size_t first = samples.size();
    for (const Sample& s : channel) {
      if (std::fabs(s.a - s.b - centre) > limit) continue;
      samples.push_back(s);
      sum_a += s.a;
      sum_b += s.b;
    }
    const std::size_t kept = samples.size() - first;
    if (kept == 0) continue;
    const auto mean_a = static_cast<float>(sum_a / kept), mean_b = static_cast<float>(sum_b / kept);
    for (std::size_t s = first; s < samples.size(); ++s) {
      samples[s].a -= mean_a;
      samples[s].b -= mean_b;
    }
  }
  if (samples.empty()) return 1.0;
  // The background's variance (stars left out above) is convex in k, so
  // the search finds its one minimum.
  const auto deviation = [&samples](double k) {
    const auto kf = static_cast<float>(k);
    float sum = 0;
    for (const Sample& s : samples) sum += (s.a - kf * s.b) * (s.a - kf * s.b);
    return sum;
  };
  const double inverse_phi = (std::sqrt(5.0) - 1) / 2;
  double lo = kKMin, hi = kKMax;
  double x1 = hi - inverse_phi * (hi - lo), x2 = lo + inverse_phi * (hi - lo);
  double f1 = deviation(x1), f2 = deviation(x2);
  while (hi - lo > kKTolerance) {
    if (f1 <= f2) {
      hi = x2;
      x2 = x1;
      f2 = f1;
      x1 = hi - inverse_phi * (hi - lo);
      f1 = deviation(x1);
    } else {
      lo = x1;
      x1 = x2;
      f1 = f2;
      x2 = lo + inverse_phi * (hi - lo);
      f2 = deviation(x2);
    }
  }
  return 0.5 * (lo + hi);
}

CalibrationReport Calibrator::calibrate(const FrameImage& light, const ExposureTimes& times,
                                        const CalibrationOptions& options, FloatPlanes& out) const {
  CalibrationReport report;
  const int32_t light_channels = is_grey_frame(light) ? 1 : 3;
  const bool fits = channels_ > 0 && light.width() == width_ && light.height() == height_;
  if (!fits) {
    out.resize(light.width(), light.height(), light_channels);
    for (int32_t c = 0; c < light_channels; ++c) copy_frame_channel(light, c, out.plane(c));
    for (int32_t c = 0; c < light_channels; ++c)
      report.background_noise.push_back(background_noise(out, c));
    return report;
  }
  const int32_t channels = std::max(channels_, light_channels);
  out.resize(width_, height_, channels);

  const bool subtract = options.dark && (has_dark_ || has_bias_);
  const bool scale = options.dark && has_dark_ && has_bias_;
  report.dark_applied = options.dark && has_dark_;
  report.flat_applied = options.flat && has_flat_;
  if (scale) {
    const double span = dark_times_.integration_s - bias_times_.integration_s;
    if (span > 1e-6) {
      report.time_ratio = (times.integration_s - bias_times_.integration_s) / span;
    }
    const double expected_amplifier =
        bias_times_.amplifier_s +
        report.time_ratio * (dark_times_.amplifier_s - bias_times_.amplifier_s);
    report.unmodelled_glow_s = times.amplifier_s - expected_amplifier;
    report.k = options.fixed_k ? std::clamp(*options.fixed_k, kKMin, kKMax)
                               : fit_k(light, light_channels, report.time_ratio);
  }
  const auto thermal_factor = static_cast<float>(report.k * report.time_ratio);
  for (int32_t c = 0; c < channels; ++c) {
    const int32_t mc = channels_ == 1 ? 0 : c;
    const int32_t byte = frame_byte(c, light_channels);
    const float* base = subtract ? base_.plane(mc) : nullptr;
    const float* thermal = scale ? thermal_.plane(mc) : nullptr;
    const float* reciprocal = report.flat_applied ? flat_reciprocal_.plane(mc) : nullptr;
    float* plane = out.plane(c);
    for (int32_t y = 0; y < height_; ++y) {
      const uint8_t* row = light.row(y) + byte;
      const std::size_t start = static_cast<std::size_t>(y) * width_;
      float* o = plane + start;
      for (int32_t x = 0; x < width_; ++x) {
        const std::size_t p = start + static_cast<std::size_t>(x);
        float v = row[3 * x];
        if (base) v -= base[p];
        if (thermal) v -= thermal_factor * thermal[p];
        if (reciprocal) v *= reciprocal[p];
        o[x] = v;
      }
    }
  }
  if (options.hot_pixels && !hot_.empty()) {
    report.hot_pixels_corrected = correct_hot_pixels(out, hot_, row_step_);
  }
  for (int32_t c = 0; c < channels; ++c)
    report.background_noise.push_back(background_noise(out, c));
  if (options.lone_hot_pixels) {
    report.lone_hot_pixels_corrected =
        correct_lone_hot_pixels(out, report.background_noise, row_step_);
  }
  return report;
}

}  // namespace noctra
