// What the one-pass windows share (sliding.hpp): the windows an output
// covers, and the placement that holds most of a column's values as small
// integers (note 1 there) with the kinds of the values it cannot hold.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>

#include "../binary64.hpp"
#include "../error.hpp"
#include "sliding.hpp"

namespace tallix::sliding_detail {

__extension__ using u128 = unsigned __int128;
__extension__ using i128 = __int128;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Window {
  int64_t start, end;
};

class Bounds {
 public:
  Bounds(const SlideBounds& b, int64_t n) : b_(b), n_(n) {}
  Window operator()(size_t i) const {
    if (b_.starts != nullptr) return {b_.starts[i], b_.ends[i]};
    // Window and offset lie within ±2^62 (the binding's check): no overflow.
    const int64_t end = static_cast<int64_t>(i) + 1 + b_.offset;
    const int64_t start = end - b_.window;
    return {std::clamp<int64_t>(start, 0, n_), std::clamp<int64_t>(end, 0, n_)};
  }
  bool explicit_bounds() const { return b_.starts != nullptr; }

 private:
  SlideBounds b_;
  int64_t n_;
};

// The widest window, or a rejection where explicit bounds leave the values.
// A start at or beyond its end is an empty window.
inline Result<uint64_t> widest_window(const Bounds& bounds, size_t outputs, int64_t n) {
  uint64_t widest = 0;
  for (size_t i = 0; i < outputs; ++i) {
    const Window w = bounds(i);
    if (bounds.explicit_bounds() && (w.start < 0 || w.end > n || w.start > n || w.end < 0))
      return Rejection{"window bounds must lie within the values"};
    widest = std::max(widest, static_cast<uint64_t>(std::max<int64_t>(w.end - w.start, 0)));
  }
  return widest;
}

// Moves the held window [lo, hi) to w, values entering through enter(k) and
// leaving through leave(k): any move, since taking a value back is exact.
// Windows that overlap move by their differences; others let everything
// held go first.
template <class Enter, class Leave>
void move_window(int64_t& lo, int64_t& hi, Window w, Enter enter, Leave leave) {
  const int64_t start = w.start, end = std::max(w.start, w.end);
  if (end <= lo || start >= hi) {
    for (; lo < hi; ++lo) leave(static_cast<size_t>(lo));
    lo = hi = start;
  }
  for (; hi < end; ++hi) enter(static_cast<size_t>(hi));
  for (; hi > end;) leave(static_cast<size_t>(--hi));
  for (; lo > start;) enter(static_cast<size_t>(--lo));
  for (; lo < start; ++lo) leave(static_cast<size_t>(lo));
}

// Every window in turn: moved to (move_window), then answer(i); `poll`
// asked after every kPollWindowsSlow windows (answers of microseconds).
template <class Enter, class Leave, class Answer>
Status slide_windows(const Bounds& bounds, size_t outputs, Enter enter, Leave leave, Answer answer,
                     SlidePoll poll) {
  int64_t lo = 0, hi = 0;
  for (size_t i = 0; i < outputs; ++i) {
    move_window(lo, hi, bounds(i), enter, leave);
    const Status s = answer(i);
    if (!s.ok()) return s;
    if ((i + 1) % kPollWindowsSlow == 0 && !poll()) return Interrupted();
  }
  return {};
}

enum class Kind : uint8_t { Fast, General, Nan, PosInf, NegInf };

// A value as the tiers see it: m·2^shift units of 2^(base − 1074), or another
// kind.
struct Placed {
  Kind kind;
  bool negative;
  uint64_t m;
  int shift;
};

// Values m·2^(p − 1074) with p <= top and their lowest set bit at or above
// base, top − base = span (note 1 of sliding.hpp).
class Placement {
 public:
  Placement(long top, long base) : top_(top), base_(base) {}
  long base() const { return base_; }

  Placed place(double x) const {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const uint64_t biased = biased_exponent(bits);
    const bool negative = (bits & kSignBit) != 0;
    if (biased == 0x7FF)
      return {(bits & kFracMask) != 0 ? Kind::Nan
              : negative              ? Kind::NegInf
                                      : Kind::PosInf,
              negative, 0, 0};
    uint64_t m = (bits & kFracMask) | (biased != 0 ? kHiddenBit : 0);
    if (m == 0) return {Kind::Fast, negative, 0, 0};
    const long p = std::max<long>(static_cast<long>(biased), 1) - 1;  // m's lowest bit
    long shift = p - base_;
    if (shift < 0) {  // its trailing zero bits may still reach the base
      const int zeros = std::countr_zero(m);
      if (-shift > zeros) return {Kind::General, negative, 0, 0};
      m >>= -shift;
      shift = 0;
    }
    if (p > top_) return {Kind::General, negative, 0, 0};
    return {Kind::Fast, negative, m, static_cast<int>(shift)};
  }

 private:
  long top_, base_;
};

// Note 2 of sliding.hpp: the top where most finite non-zero values fit, for
// windows of up to `widest` values, with top and base inside [lowest_base,
// highest_top].
inline Placement choose_placement(std::span<const double> values, uint64_t widest, long lowest_base,
                                  long highest_top) {
  const long span = 126 - 53 - std::bit_width(std::max<uint64_t>(widest, 1));
  std::array<uint64_t, 2048> counts{};
  for (double x : values) ++counts[biased_exponent(std::bit_cast<uint64_t>(x))];
  counts[0] = counts[0x7FF] = 0;  // zeros fit anywhere; subnormals and the rest never
  const long lowest_top = lowest_base + span;
  uint64_t inside = 0, best = 0;
  long best_top = lowest_top;
  // Positions p = biased − 1 in [top − span, top]: a sliding sum over the histogram.
  for (long p = 0; p <= highest_top; ++p) {
    inside += counts[static_cast<size_t>(p + 1)];
    if (p - span - 1 >= 0) inside -= counts[static_cast<size_t>(p - span)];
    if (p >= lowest_top && inside > best) {
      best = inside;
      best_top = p;
    }
  }
  return Placement(best_top, best_top - span);
}

// How many values of each kind a window holds.
struct Tally {
  std::array<uint64_t, 5> of{};  // by Kind
  uint64_t count(Kind k) const { return of[static_cast<size_t>(k)]; }
  void move(Kind k, bool take_back) { of[static_cast<size_t>(k)] += take_back ? ~uint64_t{0} : 1; }
  bool any_infinite() const { return count(Kind::PosInf) != 0 || count(Kind::NegInf) != 0; }
  uint64_t values() const {
    return count(Kind::Fast) + count(Kind::General) + count(Kind::PosInf) + count(Kind::NegInf);
  }
};

}  // namespace tallix::sliding_detail
