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
#include "sliding_tier.hpp"

namespace tallix {

namespace {

using namespace sliding_detail;

__extension__ using u128 = unsigned __int128;
__extension__ using i128 = __int128;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The fast tier may join the unscaled part of the general tier (note 3), whose
// squares are exact in DotF64's units: its values' lowest bits lie at or
// above 2^-537 and the values below 2^511 (compact.hpp, note 3).
constexpr long kLowestBase = 537;
constexpr long kHighestTop = 1023 + 510 - 53;

class FastTier {
 public:
  explicit FastTier(Placement placement) : placement_(placement), base_(placement.base()) {}
  // Sums and means need no squares: they are then neither kept nor read.
  void keep_squares(bool keep) { squares_kept_ = keep; }

  Placed place(double x) const { return placement_.place(x); }

  // Adds (sign = false) or takes back (sign = true) a placed fast value.
  void apply(const Placed& v, bool take_back) {
    // Signs are random in most data: −v as (v ^ −1) + 1, without a branch.
    const u128 sign = u128{0} - static_cast<u128>(v.negative != take_back);
    sum_ += ((static_cast<u128>(v.m) << v.shift) ^ sign) - sign;
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

  Placement placement_;
  long base_;
  u128 sum_ = 0;
  u128 squares_lo_ = 0, squares_hi_ = 0;  // Σx², low and high halves
  bool squares_kept_ = true;
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
    if (tally_.any_infinite()) return non_finite();
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
    tally_.move(v.kind, take_back);
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

}  // namespace

Status slide_moments(std::span<const double> values, const SlideBounds& bounds,
                     const SlideRequest& request, std::span<double> out) {
  const auto n = static_cast<int64_t>(values.size());
  const Bounds window(bounds, n);
  const Result<uint64_t> widest = widest_window(window, out.size(), n);
  if (!widest.ok()) return widest.failure();
  Slider slider(FastTier(choose_placement(values, widest.value(), kLowestBase, kHighestTop)),
                request);
  return slide_windows(
      window, out.size(), [&](size_t k) { slider.enter(values[k]); },
      [&](size_t k) { slider.leave(values[k]); },
      [&](size_t i) -> Status {
        const Result<double> v = slider.answer();
        if (!v.ok()) return v.failure();
        out[i] = v.value();
        return {};
      });
}

}  // namespace tallix
