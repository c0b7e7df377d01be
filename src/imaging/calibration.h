#pragma once
// Calibration of the camera's frames: master frames combined from many
// exposures, dark subtraction scaled to the light frame's exposure, flat
// fielding, and the removal of hot pixels. Pure arithmetic on frames already
// in memory; the files of the calibration library live in the output layer.
//
// The model of a frame. An 8-bit frame of this uncooled camera holds, per
// pixel,
//
//   L = B + D * t + G * a + S
//
// B is the bias (the grabber's black level and the read-out's fixed pattern),
// D the sensor's dark current (with its hot pixels), t the integration time
// (exposure start to trigger), G the amplifier's glow, a the time the
// amplifier line was on during the exposure, and S the light. A master bias
// (the shortest exposure, t_b and a_b) and a master dark (t_d, a_d) of the
// same amplifier setting give the thermal signal
//
//   T = dark - bias = D * (t_d - t_b) + G * (a_d - a_b)
//
// and the light frame is calibrated as
//
//   C = (L - bias - k * r * T) / F,    r = (t - t_b) / (t_d - t_b)
//
// with F the flat (mean 1). One thermal map cannot tell dark current and glow
// apart, and it need not, because masters are matched by the amplifier
// setting: without amplifier switching the amplifier is on for the whole
// exposure (a = t in bias, dark and light), so the glow grows at the same
// ratio as the dark current; with switching it is on only around the
// read-out, for the same short time in every frame (a = a_d = a_b), so its
// glow lies in the bias and r must not scale it. The ratio is therefore one
// of integration times, measured from the bias; the amplifier's on-time is
// counted apart (ExposureTimes::amplifier_s) and checked: when the light's
// on-time does not follow its master's rule (guide frames switched the
// amplifier on during a switched exposure, say), the report says how many
// seconds of glow the model could not account for.
//
// k (1 when fixed) is fitted per frame in [0, 2] by a golden-section search
// to 1e-3 for the least background noise: the dark current of an uncooled
// sensor follows its temperature, which the camera does not report.
//
// Frames are Noctra's 24-bit BGR bottom-up frames. A grey frame (B = G = R in
// every pixel) is calibrated as one channel, a colour frame as three. After
// field selection the kept field's rows are doubled, so a pixel's vertical
// neighbours in its own field are two stored rows away: every neighbourhood
// here takes a row step (2 for such frames, 1 otherwise).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/frame_image.h"
#include "imaging/plane_frame.h"

namespace noctra {

// The two clocks of one exposure, in seconds.
struct ExposureTimes {
  double integration_s = 0;  // exposure start to trigger
  double amplifier_s = 0;    // amplifier line on during the exposure
};

enum class MasterKind { Bias, Dark, Flat };

// Float samples of a frame, one plane per channel (1: grey; 3: blue, green,
// red), each with the stored rows in order (row 0 is the bottom line).
struct FloatPlanes {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<float> samples;

  std::size_t plane_size() const { return static_cast<std::size_t>(width) * height; }
  float* plane(int32_t channel) { return samples.data() + channel * plane_size(); }
  const float* plane(int32_t channel) const { return samples.data() + channel * plane_size(); }
  // Allocates (or keeps) the samples for that geometry; values are left as they are.
  void resize(int32_t width, int32_t height, int32_t channels);
  // The planes as the stack and the star list read them (8-bit saturation).
  PlaneFrame view() const;
};

struct MasterFrame {
  MasterKind kind = MasterKind::Dark;
  FloatPlanes image;
  ExposureTimes times;          // mean over the frames combined
  int32_t frames_combined = 0;  // frames that went into it
  // The master's own noise in ADU: one frame's temporal noise (the spread of
  // each pixel over the frames, after clipping) divided by the root of the
  // frame count.
  double noise = 0;
};

// 2 for frames whose kept field's rows were doubled by field selection, 1
// for frames that hold both fields (short frames, High Res merges).
int32_t neighbour_row_step(bool rows_doubled);

// Combines frames into a master by a per-pixel sigma-clipped mean: the centre
// and spread come from the median and the MAD (scaled to a standard
// deviation, at least one ADU), values more than 3 spreads from the centre
// are left out. Memory stays bounded: frames are kept as bytes in batches of
// kCombineBatchFrames, each batch is clipped on its own and its kept sums
// carried on, so a master of hundreds of frames needs no more memory than
// one of sixteen.
class MasterCombiner {
 public:
  static constexpr int32_t kCombineBatchFrames = 16;
  static constexpr double kClipSigmas = 3.0;

  explicit MasterCombiner(MasterKind kind);
  // False (the frame left out) when its size differs from the first frame's.
  bool add(const FrameImage& frame, const ExposureTimes& times);
  int32_t frames() const { return frames_; }
  // The master of the frames added so far; nothing before the first frame.
  // The master is grey when every frame was. A flat is returned as combined:
  // finish it with make_master_flat().
  std::optional<MasterFrame> finish();

 private:
  void combine_batch();

  MasterKind kind_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t frames_ = 0;
  bool all_grey_ = true;
  ExposureTimes time_sums_;
  std::vector<uint8_t> batch_;  // [pixel][channel][frame in batch]
  int32_t batch_frames_ = 0;
  std::vector<double> kept_sum_;  // per pixel and channel
  std::vector<uint32_t> kept_count_;
  double variance_sum_ = 0;  // of the kept values, summed over pixels and batches
  double variance_weight_ = 0;
};

// A master flat from the combined flat frames: their own dark taken off (a
// scaled dark, or the bias, of the flats' exposure; nothing when none is at
// hand) and each channel divided by its mean. Nothing when the sizes differ or
// a channel's mean is not above zero.
std::optional<MasterFrame> make_master_flat(const MasterFrame& combined_flats,
                                            const FloatPlanes* flat_dark);

// Hot pixels of a master dark: each pixel is compared with the median of its
// eight neighbours in its own field; pixels more than kHotPixelSigmas above
// it, in standard deviations estimated from the MAD of those differences over
// the frame, are hot. The neighbours' median rather than the frame's keeps
// the amplifier glow and gradients out of the map. Sorted indices into the
// plane, one list per channel.
inline constexpr double kHotPixelSigmas = 5.0;
std::vector<std::vector<int32_t>> find_hot_pixels(const FloatPlanes& dark, int32_t row_step);

// Replaces each listed pixel by the median of its same-field neighbours that
// are not listed themselves (a pixel whose neighbours are all listed stays).
// Returns how many were replaced.
int32_t correct_hot_pixels(FloatPlanes& image, const std::vector<std::vector<int32_t>>& hot,
                           int32_t row_step);

// Cosmetic correction of single hot pixels not in any map: a pixel more than
// kCosmeticSigmas x sigma above all eight of its neighbours, none of which
// carries more than a quarter of its height above the local background (the
// median of the ring two steps out), is replaced by the neighbours' median.
// The quarter keeps stars safe: any star wider than 1.4 pixels FWHM spreads
// more than that into its nearest neighbours. `sigma` per channel (the
// background noise); returns the count corrected.
inline constexpr double kCosmeticSigmas = 8.0;
int32_t correct_lone_hot_pixels(FloatPlanes& image, const std::vector<double>& sigma,
                                int32_t row_step);

// What to apply. Fixed k = 1 scales the dark by exactly the exposure ratio r.
struct CalibrationOptions {
  bool dark = true;
  bool flat = true;
  bool hot_pixels = true;
  bool lone_hot_pixels = true;
  std::optional<double> fixed_k;  // nothing: fitted in [0, 2]
};

// What one calibration did.
struct CalibrationReport {
  bool dark_applied = false;
  bool flat_applied = false;
  double time_ratio = 1;  // r
  double k = 1;
  // Amplifier seconds the model could not account for (the light's on-time
  // against what its master's rule expects); 0 when it fits.
  double unmodelled_glow_s = 0;
  int32_t hot_pixels_corrected = 0;
  int32_t lone_hot_pixels_corrected = 0;
  std::vector<double> background_noise;  // per channel, ADU, after calibration
};

// The masters that go with one kind of light frame, prepared once (thermal
// map, flat reciprocal, hot-pixel map) and then applied to every frame; const
// calls may run on several threads at once.
class Calibrator {
 public:
  struct Masters {
    const MasterFrame* bias = nullptr;  // any may be missing
    const MasterFrame* dark = nullptr;
    const MasterFrame* flat = nullptr;
  };
  // Nothing, with the reason in *why, when the masters differ in size from
  // each other.
  static std::optional<Calibrator> prepare(const Masters& masters, int32_t row_step,
                                           std::string* why = nullptr);

  // Calibrates `light` into `out` (float planes: 1 for a grey frame, 3 for a
  // colour frame; reused between calls without allocating when the size
  // stays). A frame of another size than the masters is converted as it is,
  // with nothing applied (the report says so).
  CalibrationReport calibrate(const FrameImage& light, const ExposureTimes& times,
                              const CalibrationOptions& options, FloatPlanes& out) const;

  // The hot-pixel map of the dark (sorted plane indices, one list per
  // channel of the masters) and its size, for the capture dialog and for
  // correct_hot_pixels_in_frame().
  const std::vector<std::vector<int32_t>>& hot_pixels() const { return hot_; }
  int32_t hot_pixel_count() const;
  bool has_bias() const { return has_bias_; }
  bool has_dark() const { return has_dark_; }
  bool has_flat() const { return has_flat_; }

 private:
  Calibrator() = default;
  double fit_k(const FrameImage& light, int32_t light_channels, double ratio) const;

  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t channels_ = 0;  // of the masters: 1 or 3
  int32_t row_step_ = 1;
  bool has_bias_ = false;
  bool has_dark_ = false;
  bool has_flat_ = false;
  ExposureTimes bias_times_;
  ExposureTimes dark_times_;
  FloatPlanes base_;     // bias, else the dark itself
  FloatPlanes thermal_;  // dark - bias (empty without both)
  FloatPlanes flat_reciprocal_;
  std::vector<std::vector<int32_t>> hot_;
  std::vector<uint8_t> hot_mask_;  // per plane sample, 1 where hot
  // Where k is measured: a grid over the frame and every pixel whose thermal
  // signal stands out (glow, warm pixels), per channel of the masters.
  std::vector<std::vector<int32_t>> k_samples_;
};

// Only the hot pixels of a frame (guide frames): the map's pixels and lone hot
// pixels replaced in the frame's own bytes, each channel alike. Returns the
// count corrected.
int32_t correct_hot_pixels_in_frame(FrameImage& frame, const std::vector<std::vector<int32_t>>& hot,
                                    int32_t row_step);

// Float planes (1 or 3 channels) into a 24-bit frame of the same size,
// rounded and clamped to 0..255 (grey planes go to B, G and R alike). False
// when the sizes differ.
bool render_display_frame(const FloatPlanes& planes, FrameImage& frame);

// The frame's bytes as float planes: 1 channel when grey, else 3.
void frame_to_planes(const FrameImage& frame, FloatPlanes& planes);

// The background noise of one channel: the robust spread over a grid of
// samples, the same estimate the calibration reports.
double background_noise(const FloatPlanes& image, int32_t channel);

// Robust spread: 1.4826 x the median absolute deviation from the median.
// Reorders `values`.
double robust_sigma(std::vector<float>& values, float* median = nullptr);

}  // namespace noctra
