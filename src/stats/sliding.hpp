// Rolling and expanding windows in one pass: each window's sums are those of
// the previous window plus the values that entered and minus those that left,
// held exactly, so every window is answered as if its values alone had been
// summed, rounded once. No artefact of an earlier window survives it.
//
//   1. The fast tier: Σx in one 128-bit integer and Σx² in four words, both
//      modulo their width, placed (as rows.hpp places a row) so that every
//      window's true sums fit: a value is m·2^(p − base) units with
//      p <= top, and base = top + 53 + bits(widest window) − 126. Adding and
//      subtracting modulo 2^128 (2^256) is exact, and a true sum inside the
//      width is its own residue, so no window inherits anything from the
//      values that slid out before it.
//   2. `top` is chosen once per column, where the most values fit (a
//      histogram of exponents); values above it, or with bits below the
//      base, are held by the general tier: banded full accumulators
//      (grouped.hpp) that take values back by adding their negation.
//   3. A window without general values is answered from the fast tier
//      alone on the fixed-width path (narrow.hpp); one with them joins the
//      fast sums into the unscaled part and asks moment_answer, so every
//      answer is exact at any range.
//   4. Infinities and NaNs are counted per window, never summed: a window
//      answers as IEEE arithmetic would (or skips NaNs, as pandas does).
#pragma once

#include <cstdint>
#include <span>

#include "../error.hpp"
#include "answers.hpp"

namespace tallix {

enum class SlideAnswer : uint8_t { Sum, Mean, Var, Std, Count };

// Output i covers values [start(i), end(i)) (empty where start >= end).
// Window and offset lie within ±2^62.
// Fixed windows (explicit null): end = i + 1 + offset and start = end −
// window, both clipped to the values; expanding windows are fixed ones at
// least as wide as the column. Explicit bounds lie within the values and may
// move any way from one output to the next (pandas' custom indexers); the
// work is the values that enter and leave.
struct SlideBounds {
  const int64_t* starts = nullptr;
  const int64_t* ends = nullptr;
  int64_t window = 0;
  int64_t offset = 0;
};

struct SlideRequest {
  SlideAnswer what = SlideAnswer::Mean;
  double ddof = 1.0;
  uint64_t min_periods = 0;  // fewer values than this: NaN (a count: fewer rows)
  bool skip_nans = true;     // false: a NaN in the window makes it NaN
  Precision precision = Precision::Binary64;
};

// Asked between chunks of windows whether to go on (a caller
// checks for signals there); stopping returns Interrupted().
struct SlidePoll {
  bool (*keep_going)(void* context) = nullptr;
  void* context = nullptr;
  bool operator()() const { return keep_going == nullptr || keep_going(context); }
};
inline constexpr size_t kPollWindows = size_t{1} << 16;
inline constexpr size_t kPollWindowsSlow = size_t{1} << 10;  // skew, kurt, cov, corr
inline Rejection Interrupted() { return Rejection{"interrupted"}; }

// out[i] for every output i (out.size() outputs). Rejection where explicit
// bounds leave the values; OutOfMemory where a window beyond the
// fixed-width path could not reserve its query. Nothing is written then.
Status slide_moments(std::span<const double> values, const SlideBounds& bounds,
                     const SlideRequest& request, std::span<double> out, SlidePoll poll = {});

// pandas' bias-corrected skewness (n >= 3) and excess kurtosis (n >= 4) of
// each window, NaN where a window's values are all equal or include an
// infinity; NaNs are skipped. Σx to Σx⁴ slide in the placement of note 1
// (up to 512 bits), a window with values outside it is summed afresh, and
// every answer is rounded once from the exact integers.
enum class ShapeAnswer : uint8_t { Skew, Kurt };
Status slide_shape(std::span<const double> values, const SlideBounds& bounds, ShapeAnswer what,
                   uint64_t min_periods, std::span<double> out, SlidePoll poll = {});

// The covariance (with ddof) or correlation of each window of pairs, as
// pandas' Rolling.cov and corr: a pair counts where neither value is NaN,
// and a window with an infinity, or a correlation with a constant side, is
// NaN. xs and ys have equal lengths.
enum class PairSlide : uint8_t { Cov, Corr };
Status slide_pairs(std::span<const double> xs, std::span<const double> ys,
                   const SlideBounds& bounds, PairSlide what, double ddof, uint64_t min_periods,
                   std::span<double> out, SlidePoll poll = {});

}  // namespace tallix
