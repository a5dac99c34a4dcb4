// The one-pass windows of sliding.hpp.
#include "sliding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "../binary64.hpp"
#include "compact.hpp"
#include "grouped.hpp"
#include "narrow.hpp"

namespace tallix {

namespace {

__extension__ using u128 = unsigned __int128;
__extension__ using i128 = __int128;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The fast tier may join the unscaled part of the general tier (note 3), whose
// squares are exact in DotF64's units: its values' lowest bits lie at or
// above 2^-537 and the values below 2^511 (compact.hpp, note 3).
constexpr long kLowestBase = 537;
constexpr long kHighestTop = 1023 + 510 - 53;

struct Window {
  int64_t start, end;
};

class Bounds {
 public:
  Bounds(const SlideBounds& b, int64_t n) : b_(b), n_(n) {}
  Window operator()(size_t i) const {
    if (b_.starts != nullptr) return {b_.starts[i], b_.ends[i]};
    const int64_t end = static_cast<int64_t>(i) + 1 + b_.offset;
    // A window wider than the column is expanding: no subtraction to overflow.
    const int64_t start = b_.window >= n_ ? 0 : end - b_.window;
    return {std::clamp<int64_t>(start, 0, n_), std::clamp<int64_t>(end, 0, n_)};
  }

 private:
  SlideBounds b_;
  int64_t n_;
};

// p of rows.hpp: the position of m's lowest bit in units of 2^-1074.
long position_of(uint64_t biased) { return std::max<long>(static_cast<long>(biased), 1) - 1; }

enum class Kind : uint8_t { Fast, General, Nan, PosInf, NegInf };

// A value as the tiers see it: m·2^shift fast-tier units, or another kind.
struct Placed {
  Kind kind;
  bool negative;
  uint64_t m;
  int shift;
};

class FastTier {
 public:
  FastTier(long top, long base) : top_(top), base_(base) {}
  // Sums and means need no squares: they are then neither kept nor read.
  void keep_squares(bool keep) { squares_kept_ = keep; }

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
    const long p = position_of(biased);
    if (m == 0) return {Kind::Fast, negative, 0, 0};
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

  // Adds (sign = false) or takes back (sign = true) a placed fast value.
  void apply(const Placed& v, bool take_back) {
    const bool negative = v.negative != take_back;
    const u128 placed = static_cast<u128>(v.m) << v.shift;
    sum_ += negative ? u128{0} - placed : placed;
    if (squares_kept_) add_square(static_cast<u128>(v.m) * v.m, 2 * v.shift, take_back);
  }

  long base() const { return base_; }
  i128 sum() const { return static_cast<i128>(sum_); }
  std::array<uint64_t, 4> squares() const {
    return {static_cast<uint64_t>(squares_lo_), static_cast<uint64_t>(squares_lo_ >> 64),
            static_cast<uint64_t>(squares_hi_), static_cast<uint64_t>(squares_hi_ >> 64)};
  }

  // The window's sums placed into a full state's limbs (units of 2^-1074):
  // note 3 of the header, the unscaled part's sums.
  void join_into(MomentsF64& part) const {
    const i128 s = sum();
    const u128 mag = s < 0 ? u128{0} - static_cast<u128>(s) : static_cast<u128>(s);
    add_wide(part.sum_x.limbs, mag, base_, s < 0);
    const std::array<uint64_t, 4> squares = this->squares();
    for (int k = 0; k < 4; ++k)
      if (squares[k] != 0)
        add_shifted(part.sum_xx.sum.limbs, squares[k],
                    static_cast<unsigned>(2 * base_ - 1074 + 64 * k), false);
  }

 private:
  static void add_wide(Limbs& limbs, u128 mag, long at, bool negative) {
    const auto lo = static_cast<uint64_t>(mag), hi = static_cast<uint64_t>(mag >> 64);
    if (lo != 0) add_shifted(limbs, lo, static_cast<unsigned>(at), negative);
    if (hi != 0) add_shifted(limbs, hi, static_cast<unsigned>(at + 64), negative);
  }

  // Σx² += sq·2^at (or −=) modulo 2^256, sq < 2^106 and at <= 146, as two
  // 128-bit halves with one carry between them.
  void add_square(u128 sq, int at, bool take_back) {
    u128 lo = 0, hi = 0;
    if (at < 128) {
      lo = sq << at;
      hi = at == 0 ? 0 : sq >> (128 - at);
    } else {
      hi = sq << (at - 128);
    }
    if (take_back) {
      const u128 borrow = squares_lo_ < lo ? 1 : 0;
      squares_lo_ -= lo;
      squares_hi_ -= hi + borrow;
    } else {
      squares_lo_ += lo;
      squares_hi_ += hi + (squares_lo_ < lo ? 1 : 0);
    }
  }

  long top_, base_;
  u128 sum_ = 0;
  u128 squares_lo_ = 0, squares_hi_ = 0;  // Σx², low and high halves
  bool squares_kept_ = true;
};

// Note 2: the top where most finite non-zero values fit below it and above
// the base, for windows of up to `widest` values.
FastTier choose_tier(std::span<const double> values, uint64_t widest) {
  const long span = 126 - 53 - std::bit_width(std::max<uint64_t>(widest, 1));
  std::array<uint64_t, 2048> counts{};
  for (double x : values) ++counts[biased_exponent(std::bit_cast<uint64_t>(x))];
  counts[0] = counts[0x7FF] = 0;  // zeros fit anywhere; subnormals and the rest never
  const long lowest_top = kLowestBase + span;
  uint64_t inside = 0, best = 0;
  long best_top = lowest_top;
  // Positions p = biased − 1 in [top − span, top]: a sliding sum over the histogram.
  for (long p = 0; p <= kHighestTop; ++p) {
    inside += counts[static_cast<size_t>(p + 1)];
    if (p - span - 1 >= 0) inside -= counts[static_cast<size_t>(p - span)];
    if (p >= lowest_top && inside > best) {
      best = inside;
      best_top = p;
    }
  }
  return FastTier(best_top, best_top - span);
}

struct Tally {
  std::array<uint64_t, 5> of{};  // by Kind
  uint64_t count(Kind k) const { return of[static_cast<size_t>(k)]; }
  uint64_t values() const {
    return count(Kind::Fast) + count(Kind::General) + count(Kind::PosInf) + count(Kind::NegInf);
  }
};

class Slider {
 public:
  Slider(FastTier fast, const SlideRequest& r) : fast_(fast), r_(r) {
    fast_.keep_squares(r.what == SlideAnswer::Var || r.what == SlideAnswer::Std);
  }

  void enter(double x) { move(x, false); }
  void leave(double x) { move(x, true); }

  Result<double> answer() const {
    const uint64_t n = tally_.values();
    // pandas counts the non-NaN values of windows that hold min_periods
    // rows, NaNs among them (a count of the rows' presence flags).
    if (r_.what == SlideAnswer::Count)
      return n + tally_.count(Kind::Nan) < r_.min_periods ? kNaN : static_cast<double>(n);
    if (n < r_.min_periods) return kNaN;
    if (tally_.count(Kind::Nan) != 0 && !r_.skip_nans) return kNaN;
    if (tally_.count(Kind::PosInf) != 0 || tally_.count(Kind::NegInf) != 0) return non_finite();
    const bool spread = r_.what == SlideAnswer::Var || r_.what == SlideAnswer::Std;
    if (n == 0 && r_.what != SlideAnswer::Sum) return kNaN;
    if (spread && static_cast<double>(n) - r_.ddof <= 0) return kNaN;
    if (tally_.count(Kind::General) == 0)
      if (auto v = fast_answer(n)) return *v;
    return general_answer(n);
  }

 private:
  void move(double x, bool take_back) {
    const Placed v = fast_.place(x);
    tally_.of[static_cast<size_t>(v.kind)] += take_back ? ~uint64_t{0} : 1;
    if (v.kind == Kind::Fast) {
      fast_.apply(v, take_back);
    } else if (v.kind == Kind::General) {
      if (take_back)
        general_.remove(x);
      else
        general_.add(x);
    }
  }

  double non_finite() const {
    const bool pos = tally_.count(Kind::PosInf) != 0, neg = tally_.count(Kind::NegInf) != 0;
    if ((r_.what != SlideAnswer::Sum && r_.what != SlideAnswer::Mean) || (pos && neg)) return kNaN;
    return pos ? kInf : -kInf;
  }

  std::optional<double> fast_answer(uint64_t n) const {
    const bool binary32 = r_.precision == Precision::Binary32;
    const i128 s = fast_.sum();
    const u128 mag = s < 0 ? u128{0} - static_cast<u128>(s) : static_cast<u128>(s);
    switch (r_.what) {
      case SlideAnswer::Sum:
      case SlideAnswer::Mean:
        return narrow_ratio(mag, s < 0, fast_.base() - 1074, r_.what == SlideAnswer::Sum ? 1 : n,
                            binary32);
      case SlideAnswer::Var:
      case SlideAnswer::Std:
        return narrow_window_spread(mag, fast_.squares(), 2 * (fast_.base() - 1074), n, r_.ddof,
                                    r_.what == SlideAnswer::Std, binary32);
      case SlideAnswer::Count:
        break;
    }
    return std::nullopt;
  }

  // Every part of the general tier with the fast sums joined to the unscaled
  // one; the count is the window's, held by that part alone.
  Result<double> general_answer(uint64_t n) const {
    BandedMoments joined = general_;
    MomentsF64& unscaled = joined.part(0);
    fast_.join_into(unscaled);
    std::vector<ScaledMoments> parts;
    parts.reserve(joined.parts.size());
    for (auto& [scale, state] : joined.parts) {
      state.sum_x.count = &state == &unscaled ? n : 0;
      parts.push_back({&state.sum_x, &state.sum_xx, scale});
    }
    static constexpr MomentAnswer kAsked[] = {MomentAnswer::Sum, MomentAnswer::Mean,
                                              MomentAnswer::Var, MomentAnswer::Std};
    return moment_answer(parts, kAsked[static_cast<int>(r_.what)], r_.ddof, 0, r_.precision);
  }

  FastTier fast_;
  BandedMoments general_;
  Tally tally_;
  SlideRequest r_;
};

// The widest window, or a rejection where explicit bounds leave the values
// or step back.
Result<uint64_t> widest_window(const Bounds& bounds, size_t outputs, int64_t n,
                               bool explicit_bounds) {
  uint64_t widest = 0;
  Window last{0, 0};
  for (size_t i = 0; i < outputs; ++i) {
    const Window w = bounds(i);
    if (explicit_bounds &&
        (w.start < last.start || w.end < last.end || w.start > w.end || w.start < 0 || w.end > n))
      return Rejection{"window bounds must lie within the values and never step back"};
    widest = std::max(widest, static_cast<uint64_t>(std::max<int64_t>(w.end - w.start, 0)));
    last = w;
  }
  return widest;
}

}  // namespace

Status slide_moments(std::span<const double> values, const SlideBounds& bounds,
                     const SlideRequest& request, std::span<double> out) {
  const auto n = static_cast<int64_t>(values.size());
  const Bounds window(bounds, n);
  const Result<uint64_t> widest = widest_window(window, out.size(), n, bounds.starts != nullptr);
  if (!widest.ok()) return widest.failure();
  Slider slider(choose_tier(values, widest.value()), request);
  int64_t lo = 0, hi = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const Window w = window(i);
    if (w.start >= w.end) {  // an empty window starts afresh past everything held
      for (; lo < hi; ++lo) slider.leave(values[static_cast<size_t>(lo)]);
      lo = hi = std::max(w.start, hi);
    }
    for (; hi < w.end; ++hi) slider.enter(values[static_cast<size_t>(hi)]);
    for (; lo < w.start; ++lo) slider.leave(values[static_cast<size_t>(lo)]);
    const Result<double> v = slider.answer();
    if (!v.ok()) return v.failure();
    out[i] = v.value();
  }
  return {};
}

}  // namespace tallix
