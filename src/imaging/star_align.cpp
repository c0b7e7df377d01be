#include "imaging/star_align.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace noctra {

namespace {

// Triangles are made of the brightest stars, each with pairs of its nearest
// neighbours among them: few enough to match quickly, local enough that a
// triangle rarely reaches past the part of the sky both frames share.
constexpr int kTriangleStars = 30;
constexpr int kTriangleNeighbours = 5;
constexpr int kMostTriangles = kTriangleStars * kTriangleNeighbours * (kTriangleNeighbours - 1) / 2;
constexpr double kShortestSide = 5.0;  // px: shorter sides make the ratios noisy
// Sides closer than this leave it uncertain which vertex is which.
constexpr double kSideGap = 1.0;
constexpr double kRatioTolerance = 0.015;
constexpr double kLengthTolerance = 1.5;  // px, plus 1 % of the side
constexpr double kVertexTolerance = 2.0;  // px, a matched triangle's worst vertex
constexpr int kMostHypotheses = 768;
constexpr double kVoteAngle = 0.006;  // radians, about a third of a degree
constexpr double kVoteShift = 2.0;    // px
constexpr int kHypothesesTried = 4;
constexpr int kPairStars = 6;

// Where the prediction puts a star, it is looked for this far around.
constexpr double kPredictionRadius = 4.0;
// Once a transform is known, the stars that match it lie this close.
constexpr double kMatchRadius = 2.5;
// A lone star farther than this from where it is expected is another star.
constexpr double kSingleReach = 40.0;
constexpr double kLeastOutlier = 0.5;  // px: residuals below this are never outliers
constexpr double kOutlierFactor = 3.0;
constexpr int kOutlierRounds = 4;
// Star weights: signal-to-noise ratios held below this (a saturated star's
// centre counts as one of kSaturatedSnr).
constexpr double kMostSnr = 100;
constexpr double kSaturatedSnr = 30;
constexpr double kMostResidual = 1.0;  // px: a prediction fitting worse is searched again

struct Pair {
  int16_t ref;
  int16_t frame;
};

struct Pairs {
  std::array<Pair, kStarListCapacity> items;
  int count = 0;
};

double square(double v) { return v * v; }

double snr_of(const ListedStar& s) {
  return s.saturated ? kSaturatedSnr : std::clamp(double{s.snr}, 1.0, kMostSnr);
}

// The inverse variance of a pair's offset, from both stars' centroid errors.
double weight_of(const ListedStar& a, const ListedStar& b) {
  return 1.0 / (1.0 / square(snr_of(a)) + 1.0 / square(snr_of(b)));
}

const ListedStar& star(const StarList& list, int i) {
  return list.stars[static_cast<std::size_t>(i)];
}

// Each frame star with the nearest reference star that the transform puts
// within `radius` of it; a reference star goes to the nearest of the frame
// stars that chose it.
void match(const StarList& ref, const StarList& frame, const RigidTransform& t, double radius,
           Pairs& out) {
  std::array<double, kStarListCapacity> mx{}, my{}, claimed_distance{};
  std::array<int16_t, kStarListCapacity> claimed_by{};
  for (int i = 0; i < ref.count; ++i) {
    t.to_frame(star(ref, i).x, star(ref, i).row, mx[static_cast<std::size_t>(i)],
               my[static_cast<std::size_t>(i)]);
    claimed_by[static_cast<std::size_t>(i)] = -1;
  }
  const double limit = radius * radius;
  for (int j = 0; j < frame.count; ++j) {
    const ListedStar& f = star(frame, j);
    int best = -1;
    double best_d2 = limit;
    for (int i = 0; i < ref.count; ++i) {
      const double d2 = square(mx[static_cast<std::size_t>(i)] - f.x) +
                        square(my[static_cast<std::size_t>(i)] - f.row);
      if (d2 <= best_d2) {
        best_d2 = d2;
        best = i;
      }
    }
    if (best < 0) continue;
    const auto b = static_cast<std::size_t>(best);
    if (claimed_by[b] >= 0 && claimed_distance[b] <= best_d2) continue;
    claimed_by[b] = static_cast<int16_t>(j);
    claimed_distance[b] = best_d2;
  }
  out.count = 0;
  for (int i = 0; i < ref.count; ++i) {
    if (claimed_by[static_cast<std::size_t>(i)] >= 0) {
      out.items[static_cast<std::size_t>(out.count++)] = {static_cast<int16_t>(i),
                                                          claimed_by[static_cast<std::size_t>(i)]};
    }
  }
}

// The weighted least-squares rigid transform over the pairs; one pair keeps
// t's rotation and fits the shift.
void fit(const StarList& ref, const StarList& frame, const Pairs& pairs, RigidTransform& t) {
  double sw = 0, ax = 0, ay = 0, bx = 0, by = 0;
  for (int p = 0; p < pairs.count; ++p) {
    const Pair& pair = pairs.items[static_cast<std::size_t>(p)];
    const ListedStar& r = star(ref, pair.ref);
    const ListedStar& f = star(frame, pair.frame);
    const double w = weight_of(r, f);
    sw += w;
    ax += w * (r.x - t.cx);
    ay += w * (r.row - t.cy);
    bx += w * (f.x - t.cx);
    by += w * (f.row - t.cy);
  }
  if (!(sw > 0)) return;
  ax /= sw;
  ay /= sw;
  bx /= sw;
  by /= sw;
  if (pairs.count >= 2) {
    double cross = 0, dot = 0;
    for (int p = 0; p < pairs.count; ++p) {
      const Pair& pair = pairs.items[static_cast<std::size_t>(p)];
      const ListedStar& r = star(ref, pair.ref);
      const ListedStar& f = star(frame, pair.frame);
      const double w = weight_of(r, f);
      const double rx = r.x - t.cx - ax, ry = r.row - t.cy - ay;
      const double fx = f.x - t.cx - bx, fy = f.row - t.cy - by;
      cross += w * (rx * fy - ry * fx);
      dot += w * (rx * fx + ry * fy);
    }
    if (cross != 0 || dot != 0) t.rotation = std::atan2(cross, dot);
  }
  const double c = std::cos(t.rotation), s = std::sin(t.rotation);
  t.dx = bx - (c * ax - s * ay);
  t.dy = by - (s * ax + c * ay);
}

double residual(const StarList& ref, const StarList& frame, const Pair& pair,
                const RigidTransform& t) {
  double x = 0, y = 0;
  t.to_frame(star(ref, pair.ref).x, star(ref, pair.ref).row, x, y);
  return std::hypot(x - star(frame, pair.frame).x, y - star(frame, pair.frame).row);
}

double rms_of(const StarList& ref, const StarList& frame, const Pairs& pairs,
              const RigidTransform& t) {
  if (pairs.count == 0) return 0;
  double sum = 0;
  for (int p = 0; p < pairs.count; ++p) {
    sum += square(residual(ref, frame, pairs.items[static_cast<std::size_t>(p)], t));
  }
  return std::sqrt(sum / pairs.count);
}

// Fits over the pairs, dropping those far off the fit, until none is.
void fit_without_outliers(const StarList& ref, const StarList& frame, Pairs& pairs,
                          RigidTransform& t) {
  for (int round = 0; round < kOutlierRounds; ++round) {
    fit(ref, frame, pairs, t);
    if (pairs.count <= 2) return;
    const double limit = std::max(kOutlierFactor * rms_of(ref, frame, pairs, t), kLeastOutlier);
    int kept = 0;
    for (int p = 0; p < pairs.count; ++p) {
      const Pair pair = pairs.items[static_cast<std::size_t>(p)];
      if (residual(ref, frame, pair, t) <= limit)
        pairs.items[static_cast<std::size_t>(kept++)] = pair;
    }
    if (kept == pairs.count || kept < 2) return;
    pairs.count = kept;
  }
  fit(ref, frame, pairs, t);
}

// Matches around t, fits, and matches once more around the fit.
Alignment refine(const StarList& ref, const StarList& frame, RigidTransform t, double radius,
                 AlignMethod method) {
  Pairs pairs;
  for (int pass = 0; pass < 2; ++pass) {
    match(ref, frame, t, pass == 0 ? radius : kMatchRadius, pairs);
    if (pairs.count == 0) return {};
    fit_without_outliers(ref, frame, pairs, t);
  }
  Alignment result;
  result.transform = t;
  result.method = method;
  result.matched = pairs.count;
  result.residual_rms = rms_of(ref, frame, pairs, t);
  return result;
}

bool better(const Alignment& a, const Alignment& b) {
  return a.matched > b.matched || (a.matched == b.matched && a.residual_rms < b.residual_rms);
}

struct Triangle {
  float ratio_b = 0;  // middle side over longest
  float ratio_c = 0;  // shortest side over longest
  float longest = 0;
  bool counter_clockwise = false;
  std::array<int16_t, 3> vertex{};  // opposite the longest, middle and shortest side
};

using Triangles = std::array<Triangle, kMostTriangles>;

bool make_triangle(const StarList& list, int i, int j, int k, Triangle& out) {
  const std::array<int, 3> v{i, j, k};
  std::array<double, 3> side{};
  for (std::size_t n = 0; n < 3; ++n) {
    const ListedStar& p = star(list, v[(n + 1) % 3]);
    const ListedStar& q = star(list, v[(n + 2) % 3]);
    side[n] = std::hypot(p.x - q.x, p.row - q.row);
  }
  std::array<std::size_t, 3> order{0, 1, 2};
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return side[a] > side[b]; });
  const double a = side[order[0]], b = side[order[1]], c = side[order[2]];
  if (c < kShortestSide || a - b < kSideGap || b - c < kSideGap) return false;
  for (std::size_t n = 0; n < 3; ++n) out.vertex[n] = static_cast<int16_t>(v[order[n]]);
  const ListedStar& pa = star(list, out.vertex[0]);
  const ListedStar& pb = star(list, out.vertex[1]);
  const ListedStar& pc = star(list, out.vertex[2]);
  out.counter_clockwise = (pb.x - pa.x) * (pc.row - pa.row) - (pb.row - pa.row) * (pc.x - pa.x) > 0;
  out.ratio_b = static_cast<float>(b / a);
  out.ratio_c = static_cast<float>(c / a);
  out.longest = static_cast<float>(a);
  return true;
}

// Triangles of each of the brightest stars with pairs of its nearest
// neighbours among them.
int build_triangles(const StarList& list, Triangles& out) {
  const int n = std::min(list.count, kTriangleStars);
  int count = 0;
  for (int i = 0; i < n; ++i) {
    std::array<int, kTriangleStars> others{};
    int m = 0;
    for (int j = 0; j < n; ++j) {
      if (j != i) others[static_cast<std::size_t>(m++)] = j;
    }
    const int near = std::min(m, kTriangleNeighbours);
    const auto distance = [&](int j) {
      return square(star(list, j).x - star(list, i).x) +
             square(star(list, j).row - star(list, i).row);
    };
    std::partial_sort(others.begin(), others.begin() + near, others.begin() + m,
                      [&](int a, int b) { return distance(a) < distance(b); });
    for (int a = 0; a < near; ++a) {
      for (int b = a + 1; b < near; ++b) {
        if (count < kMostTriangles && make_triangle(list, i, others[static_cast<std::size_t>(a)],
                                                    others[static_cast<std::size_t>(b)],
                                                    out[static_cast<std::size_t>(count)])) {
          ++count;
        }
      }
    }
  }
  return count;
}

// The transforms that the triangles matched between the two lists agree on,
// most votes first, refined over all stars.
Alignment match_triangles(const StarList& ref, const StarList& frame,
                          const RigidTransform& centre) {
  Triangles ref_triangles, frame_triangles;
  const int ref_count = build_triangles(ref, ref_triangles);
  const int frame_count = build_triangles(frame, frame_triangles);
  std::sort(ref_triangles.begin(), ref_triangles.begin() + ref_count,
            [](const Triangle& a, const Triangle& b) { return a.ratio_b < b.ratio_b; });

  std::array<RigidTransform, kMostHypotheses> hypotheses;
  int count = 0;
  for (int f = 0; f < frame_count && count < kMostHypotheses; ++f) {
    const Triangle& ft = frame_triangles[static_cast<std::size_t>(f)];
    const auto from = std::lower_bound(
        ref_triangles.begin(), ref_triangles.begin() + ref_count, ft.ratio_b - kRatioTolerance,
        [](const Triangle& t, double value) { return t.ratio_b < value; });
    for (auto rt = from; rt != ref_triangles.begin() + ref_count && count < kMostHypotheses; ++rt) {
      if (rt->ratio_b > ft.ratio_b + kRatioTolerance) break;
      if (std::abs(rt->ratio_c - ft.ratio_c) > kRatioTolerance ||
          std::abs(rt->longest - ft.longest) > kLengthTolerance + 0.01 * ft.longest ||
          rt->counter_clockwise != ft.counter_clockwise) {
        continue;
      }
      Pairs corners;
      corners.count = 3;
      for (std::size_t n = 0; n < 3; ++n) corners.items[n] = {rt->vertex[n], ft.vertex[n]};
      RigidTransform t = centre;
      fit(ref, frame, corners, t);
      bool fits = true;
      for (std::size_t n = 0; n < 3 && fits; ++n) {
        fits = residual(ref, frame, corners.items[n], t) <= kVertexTolerance;
      }
      if (fits) hypotheses[static_cast<std::size_t>(count++)] = t;
    }
  }
  std::sort(
      hypotheses.begin(), hypotheses.begin() + count,
      [](const RigidTransform& a, const RigidTransform& b) { return a.rotation < b.rotation; });
  std::array<int, kMostHypotheses> votes{};
  for (int i = 0; i < count; ++i) {
    const RigidTransform& h = hypotheses[static_cast<std::size_t>(i)];
    for (int j = i; j < count; ++j) {
      const RigidTransform& o = hypotheses[static_cast<std::size_t>(j)];
      if (o.rotation - h.rotation > kVoteAngle) break;
      if (std::abs(o.dx - h.dx) <= kVoteShift && std::abs(o.dy - h.dy) <= kVoteShift) {
        ++votes[static_cast<std::size_t>(i)];
        if (j != i) ++votes[static_cast<std::size_t>(j)];
      }
    }
  }
  Alignment best;
  for (int tried = 0; tried < kHypothesesTried; ++tried) {
    const auto top = std::max_element(votes.begin(), votes.begin() + count);
    if (top == votes.begin() + count || *top <= 0) break;
    const RigidTransform& h = hypotheses[static_cast<std::size_t>(top - votes.begin())];
    *top = 0;
    const Alignment a = refine(ref, frame, h, kMatchRadius, AlignMethod::Triangles);
    if (better(a, best)) best = a;
  }
  return best;
}

// From pairs of the brightest stars whose separations agree, the transform
// nearest the prediction among those that match the most stars.
Alignment match_pairs(const StarList& ref, const StarList& frame, const RigidTransform& prediction,
                      int32_t width, int32_t height) {
  const int nr = std::min(ref.count, kPairStars), nf = std::min(frame.count, kPairStars);
  Alignment best;
  double best_jump = std::numeric_limits<double>::infinity();
  for (int f1 = 0; f1 < nf; ++f1) {
    for (int f2 = f1 + 1; f2 < nf; ++f2) {
      const double separation = std::hypot(star(frame, f1).x - star(frame, f2).x,
                                           star(frame, f1).row - star(frame, f2).row);
      if (separation < kShortestSide) continue;
      for (int r1 = 0; r1 < nr; ++r1) {
        for (int r2 = 0; r2 < nr; ++r2) {
          if (r1 == r2 || std::abs(std::hypot(star(ref, r1).x - star(ref, r2).x,
                                              star(ref, r1).row - star(ref, r2).row) -
                                   separation) > kLengthTolerance) {
            continue;
          }
          Pairs two;
          two.count = 2;
          two.items[0] = {static_cast<int16_t>(r1), static_cast<int16_t>(f1)};
          two.items[1] = {static_cast<int16_t>(r2), static_cast<int16_t>(f2)};
          RigidTransform t = prediction;
          fit(ref, frame, two, t);
          const Alignment a = refine(ref, frame, t, kMatchRadius, AlignMethod::Pair);
          const double jump = a.transform.distance_to(prediction, width, height);
          // A pair matches as well either way round: the way nearer the
          // prediction is the one.
          if (a.matched > best.matched || (a.matched == best.matched && jump < best_jump)) {
            best = a;
            best_jump = jump;
          }
        }
      }
    }
  }
  return best;
}

}  // namespace

void RigidTransform::to_frame(double x, double y, double& fx, double& fy) const {
  const double c = std::cos(rotation), s = std::sin(rotation);
  const double ax = x - cx, ay = y - cy;
  fx = cx + c * ax - s * ay + dx;
  fy = cy + s * ax + c * ay + dy;
}

void RigidTransform::to_reference(double fx, double fy, double& x, double& y) const {
  const double c = std::cos(rotation), s = std::sin(rotation);
  const double bx = fx - cx - dx, by = fy - cy - dy;
  x = cx + c * bx + s * by;
  y = cy - s * bx + c * by;
}

double RigidTransform::distance_to(const RigidTransform& other, int32_t width,
                                   int32_t height) const {
  double most = 0;
  for (const double x : {0.0, width - 1.0}) {
    for (const double y : {0.0, height - 1.0}) {
      double ax = 0, ay = 0, bx = 0, by = 0;
      to_frame(x, y, ax, ay);
      other.to_frame(x, y, bx, by);
      most = std::max(most, std::hypot(ax - bx, ay - by));
    }
  }
  return most;
}

namespace {

bool usable(const StarList& list) {
  if (list.count < 0 || list.count > kStarListCapacity) return false;
  return std::all_of(list.stars.begin(), list.stars.begin() + list.count, [](const ListedStar& s) {
    return std::isfinite(s.x) && std::isfinite(s.row) && std::isfinite(s.snr);
  });
}

}  // namespace

Alignment align_stars(const StarList& reference, const StarList& frame,
                      const RigidTransform& prediction) {
  const bool finite = std::isfinite(prediction.dx) && std::isfinite(prediction.dy) &&
                      std::isfinite(prediction.rotation) && std::isfinite(prediction.cx) &&
                      std::isfinite(prediction.cy) && std::abs(prediction.cx) < 1e6 &&
                      std::abs(prediction.cy) < 1e6;
  if (!finite || !usable(reference) || !usable(frame)) return {};
  const int fewest = std::min(reference.count, frame.count);
  if (fewest <= 0) return {};
  const int needed = std::min(3, fewest);
  const int32_t width = static_cast<int32_t>(2 * prediction.cx + 1);
  const int32_t height = static_cast<int32_t>(2 * prediction.cy + 1);
  const auto enough = [&](const Alignment& a) {
    return a.matched >= needed && a.matched >= fewest / 4 && a.residual_rms <= kMostResidual;
  };

  Alignment a = refine(reference, frame, prediction, kPredictionRadius, AlignMethod::Prediction);
  if (!enough(a)) {
    Alignment searched;
    if (fewest >= 3) searched = match_triangles(reference, frame, prediction);
    if (!enough(searched) && fewest >= 2) {
      const Alignment paired = match_pairs(reference, frame, prediction, width, height);
      if (better(paired, searched)) searched = paired;
    }
    if (fewest == 1 && searched.matched == 0) {
      // The frame's brightest star is the reference star nearest where the
      // prediction expects it; the rotation stays the predicted one.
      double x = 0, y = 0;
      prediction.to_reference(frame.stars[0].x, frame.stars[0].row, x, y);
      int nearest = -1;
      double nearest_d = kSingleReach;
      for (int i = 0; i < reference.count; ++i) {
        const double d = std::hypot(star(reference, i).x - x, star(reference, i).row - y);
        if (d <= nearest_d) {
          nearest_d = d;
          nearest = i;
        }
      }
      if (nearest >= 0) {
        Pairs one;
        one.count = 1;
        one.items[0] = {static_cast<int16_t>(nearest), 0};
        RigidTransform t = prediction;
        fit(reference, frame, one, t);
        searched = {true, t, AlignMethod::Single, 1, 0};
      }
    }
    if (better(searched, a)) a = searched;
  }
  a.found = a.matched >= needed;
  if (a.method == AlignMethod::Prediction && fewest == 1) a.method = AlignMethod::Single;
  return a;
}

}  // namespace noctra
