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

constexpr double kInf = std::numeric_limits<double>::infinity();

// The fast tier may join the unscaled part of the general tier (note 3), whose
// squares are exact in DotF64's units: its values' lowest bits lie at or
// above 2^-537 and the values below 2^511 (compact.hpp, note 3).
constexpr long kLowestBase = 537;
constexpr long kHighestTop = 1023 + 510 - 53;

// A placed value's signed contribution to Σx (take_back: its negation).
inline u128 signed_placed(const Placed& v, bool take_back) {
  // Signs are random in most data: −v as (v ^ −1) + 1, without a branch.
  const u128 sign = u128{0} - static_cast<u128>(v.negative != take_back);
  return ((static_cast<u128>(v.m) << v.shift) ^ sign) - sign;
}

// Its square placed at twice its shift, as two 128-bit halves.
inline void placed_square(const Placed& v, u128& lo, u128& hi) {
  const u128 sq = static_cast<u128>(v.m) * v.m;
  const int at = 2 * v.shift;
  lo = at < 128 ? sq << at : 0;
  hi = at == 0 ? 0 : at < 128 ? sq >> (128 - at) : sq << (at - 128);
}

class FastTier {
 public:
  explicit FastTier(Placement placement) : placement_(placement), base_(placement.base()) {}
  // Sums and means need no squares: they are then neither kept nor read.
  void keep_squares(bool keep) { squares_kept_ = keep; }

  Placed place(double x) const { return placement_.place(x); }

  // Adds (sign = false) or takes back (sign = true) a placed fast value.
  void apply(const Placed& v, bool take_back) {
    const u128 sum = ((static_cast<u128>(sum_[1]) << 64) | sum_[0]) + signed_placed(v, take_back);
    sum_ = {static_cast<uint64_t>(sum), static_cast<uint64_t>(sum >> 64)};
    if (squares_kept_) add_square(v, take_back);
  }

  long base() const { return base_; }
  i128 sum() const { return static_cast<i128>((static_cast<u128>(sum_[1]) << 64) | sum_[0]); }
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

  // Σx² += x² (or −=) modulo 2^256, as two halves with one carry between.
  void add_square(const Placed& v, bool take_back) {
    u128 lo = 0, hi = 0;
    placed_square(v, lo, hi);
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

 public:
  // The sums as the steady loop (Slider::steady) takes them into locals.
  // Words, not one 128-bit value: written as two words, a 128-bit value is
  // read back by one vector load that waits for both stores to retire.
  std::array<uint64_t, 2> sum_{};
  u128 squares_lo_ = 0, squares_hi_ = 0;  // Σx², low and high halves
  bool squares_kept_ = true;
};

class Slider {
 public:
  Slider(FastTier fast, const SlideRequest& r)
      : fast_(fast),
        r_(r),
        integral_ddof_(r.ddof == std::trunc(r.ddof) && std::fabs(r.ddof) < 0x1p62),
        ddof_(integral_ddof_ ? static_cast<int64_t>(r.ddof) : 0) {
    fast_.keep_squares(r.what == SlideAnswer::Var || r.what == SlideAnswer::Std);
  }

  void enter(double x) { move(x, false); }
  void leave(double x) { move(x, true); }

  // Whether the next windows may take the steady loop: every value held is
  // in the fast tier and every answer of it on the fixed-width path (an
  // integral ddof, windows far below 2^32 values).
  bool steady_ready(uint64_t widest) const {
    return tally_.count(Kind::Fast) == tally_.values() && tally_.count(Kind::Nan) == 0 &&
           r_.what != SlideAnswer::Count && r_.ddof == std::trunc(r_.ddof) &&
           std::fabs(r_.ddof) < 0x1p31 && widest < (1u << 31);
  }

  // Windows k < count that each take ins[k] in and, when `Drops`, let
  // outs[k] go, answered into answers[k] with the sums held in locals (the
  // calls and stores of the general step would keep them in memory). Stops
  // before the first window with a value outside the fast tier; returns how
  // many windows it answered.
  template <bool Squares, bool Drops>
  size_t steady(const double* ins, const double* outs, size_t count, double* answers) {
    u128 sum = (static_cast<u128>(fast_.sum_[1]) << 64) | fast_.sum_[0];
    u128 sq_lo = fast_.squares_lo_, sq_hi = fast_.squares_hi_;
    uint64_t n = tally_.count(Kind::Fast);
    const bool spread = r_.what == SlideAnswer::Var || r_.what == SlideAnswer::Std;
    size_t k = 0;
    for (; k < count; ++k) {
      const Placed in = fast_.place(ins[k]);
      Placed out{Kind::Fast, false, 0, 0};
      if constexpr (Drops) out = fast_.place(outs[k]);
      if (in.kind != Kind::Fast || out.kind != Kind::Fast) [[unlikely]]
        break;
      sum += signed_placed(in, false);
      if constexpr (Drops) sum += signed_placed(out, true);
      if constexpr (Squares) {
        u128 lo = 0, hi = 0;
        placed_square(in, lo, hi);
        sq_lo += lo;
        sq_hi += hi + (sq_lo < lo ? 1 : 0);
        if constexpr (Drops) {
          placed_square(out, lo, hi);
          const u128 borrow = sq_lo < lo ? 1 : 0;
          sq_lo -= lo;
          sq_hi -= hi + borrow;
        }
      }
      if constexpr (!Drops) ++n;
      if (n < r_.min_periods || (spread && static_cast<double>(n) - r_.ddof <= 0) ||
          (n == 0 && r_.what != SlideAnswer::Sum)) {
        answers[k] = kNaN;
        continue;
      }
      const std::array<uint64_t, 4> squares = {
          static_cast<uint64_t>(sq_lo), static_cast<uint64_t>(sq_lo >> 64),
          static_cast<uint64_t>(sq_hi), static_cast<uint64_t>(sq_hi >> 64)};
      answers[k] = steady_answer(n, sum, squares);
    }
    fast_.sum_ = {static_cast<uint64_t>(sum), static_cast<uint64_t>(sum >> 64)};
    fast_.squares_lo_ = sq_lo;
    fast_.squares_hi_ = sq_hi;
    if constexpr (!Drops) tally_.of[static_cast<size_t>(Kind::Fast)] = n;
    return k;
  }

  // Explicit windows that move forward (their starts and ends never step
  // back, and each meets or overlaps the window before), every value that
  // enters or leaves in the fast tier: time-based windows. Answered as
  // `steady` answers, from output i on; stops at the first window that is
  // not such a move, or at the first value outside the tier, with [lo, hi)
  // the values held then. Returns the output it stopped at.
  template <bool Squares>
  size_t steady_forward(const SlideBounds& b, size_t i, size_t outputs, const double* values,
                        int64_t& lo, int64_t& hi, double* answers) {
    u128 sum = (static_cast<u128>(fast_.sum_[1]) << 64) | fast_.sum_[0];
    u128 sq_lo = fast_.squares_lo_, sq_hi = fast_.squares_hi_;
    uint64_t n = tally_.count(Kind::Fast);
    int64_t l = lo, h = hi;
    auto move = [&](int64_t k, bool take_back) {
      const Placed v = fast_.place(values[k]);
      if (v.kind != Kind::Fast) [[unlikely]]
        return false;
      sum += signed_placed(v, take_back);
      if constexpr (Squares) {
        u128 add_lo = 0, add_hi = 0;
        placed_square(v, add_lo, add_hi);
        if (take_back) {
          const u128 borrow = sq_lo < add_lo ? 1 : 0;
          sq_lo -= add_lo;
          sq_hi -= add_hi + borrow;
        } else {
          sq_lo += add_lo;
          sq_hi += add_hi + (sq_lo < add_lo ? 1 : 0);
        }
      }
      n += take_back ? ~uint64_t{0} : 1;
      return true;
    };
    const bool spread = r_.what == SlideAnswer::Var || r_.what == SlideAnswer::Std;
    bool held = true;  // every value met so far was in the tier
    for (; i < outputs; ++i) {
      const int64_t start = b.starts[i], end = std::max(start, b.ends[i]);
      if (start < l || end < h || start > h) break;
      while (held && h < end) held = move(h, false) && (++h, true);
      while (held && l < start) held = move(l, true) && (++l, true);
      if (!held) break;  // [l, h) is what is held: the general step goes on from it
      if (n < r_.min_periods || (spread && static_cast<double>(n) - r_.ddof <= 0) ||
          (n == 0 && r_.what != SlideAnswer::Sum)) {
        answers[i] = kNaN;
        continue;
      }
      const std::array<uint64_t, 4> squares = {
          static_cast<uint64_t>(sq_lo), static_cast<uint64_t>(sq_lo >> 64),
          static_cast<uint64_t>(sq_hi), static_cast<uint64_t>(sq_hi >> 64)};
      answers[i] = steady_answer(n, sum, squares);
    }
    fast_.sum_ = {static_cast<uint64_t>(sum), static_cast<uint64_t>(sum >> 64)};
    fast_.squares_lo_ = sq_lo;
    fast_.squares_hi_ = sq_hi;
    tally_.of[static_cast<size_t>(Kind::Fast)] = n;
    lo = l;
    hi = h;
    return i;
  }

  bool squares_kept() const { return fast_.squares_kept_; }

  // A steady window's answer: steady_ready leaves every one of them to the
  // fixed-width path (an integral ddof, a divisor within a word, sums of the
  // same values), so there is always one.
  double steady_answer(uint64_t n, u128 sum, const std::array<uint64_t, 4>& squares) const {
    return fast_answer(n, static_cast<i128>(sum), squares).value_or(kNaN);
  }

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
    if (tally_.count(Kind::General) == 0) [[likely]]
      if (auto v = fast_answer(n)) return *v;
    return general_answer(n);
  }

 private:
  void move(double x, bool take_back) {
    const Placed v = fast_.place(x);
    tally_.move(v.kind, take_back);
    if (v.kind == Kind::Fast) [[likely]]
      fast_.apply(v, take_back);
    else if (v.kind == Kind::General)
      move_general(x, take_back);
  }

  // Out of line: rare in most data, and its calls would hold the fast
  // tier's sums in memory across every step.
  [[gnu::noinline, gnu::cold]] void move_general(double x, bool take_back) {
    if (take_back)
      general_.remove(x);
    else
      general_.add(x);
  }

  double non_finite() const {
    const bool pos = tally_.count(Kind::PosInf) != 0, neg = tally_.count(Kind::NegInf) != 0;
    if ((r_.what != SlideAnswer::Sum && r_.what != SlideAnswer::Mean) || (pos && neg)) return kNaN;
    return pos ? kInf : -kInf;
  }

  std::optional<double> fast_answer(uint64_t n) const {
    return fast_answer(n, fast_.sum(), fast_.squares());
  }

  std::optional<double> fast_answer(uint64_t n, i128 s,
                                    const std::array<uint64_t, 4>& squares) const {
    const bool binary32 = r_.precision == Precision::Binary32;
    const u128 mag = s < 0 ? u128{0} - static_cast<u128>(s) : static_cast<u128>(s);
    const long exp = fast_.base() - 1074;
    const WordDivisor* den = divisor_for(n);
    switch (r_.what) {
      case SlideAnswer::Sum:
        return narrow_ratio(mag, s < 0, exp, 1, binary32);
      case SlideAnswer::Mean:
        if (den != nullptr) return narrow_ratio(mag, s < 0, exp, *den, binary32);
        return narrow_ratio(mag, s < 0, exp, n, binary32);
      case SlideAnswer::Var:
        if (den != nullptr) return narrow_window_variance(mag, squares, 2 * exp, n, *den, binary32);
        if (const uint64_t d = spread_divisor(n); d != 0)
          return narrow_window_variance(mag, squares, 2 * exp, n, d, binary32);
        [[fallthrough]];
      case SlideAnswer::Std:
        if (den != nullptr && r_.what == SlideAnswer::Std)
          return narrow_window_deviation(mag, squares, 2 * exp, n, *den, binary32);
        return narrow_window_spread(mag, squares, 2 * exp, n, r_.ddof, r_.what == SlideAnswer::Std,
                                    binary32);
      case SlideAnswer::Count:
        break;
    }
    return std::nullopt;
  }

  // n·(n − ddof) for an integral ddof where it is positive and fits a word;
  // else 0.
  uint64_t spread_divisor(uint64_t n) const {
    int64_t dof = 0;
    uint64_t den = 0;
    if (!integral_ddof_ || __builtin_sub_overflow(static_cast<int64_t>(n), ddof_, &dof) ||
        dof < 1 || __builtin_mul_overflow(n, static_cast<uint64_t>(dof), &den))
      return 0;
    return den;
  }

  // The divisor of a mean (n) or spread (n·(n − ddof)) prepared once for
  // windows that keep their count (full windows of a rolling column); none
  // while the count changes (expanding windows), where it would cost the
  // division it saves.
  const WordDivisor* divisor_for(uint64_t n) const {
    if (n == divisor_n_) return &divisor_;
    const bool repeated = n == last_n_;
    last_n_ = n;
    const bool spread = r_.what == SlideAnswer::Var || r_.what == SlideAnswer::Std;
    if (!repeated || n < 2 || (r_.what != SlideAnswer::Mean && !spread)) return nullptr;
    const uint64_t den = spread ? spread_divisor(n) : n;
    if (den == 0) return nullptr;
    divisor_ = WordDivisor(den);
    divisor_n_ = n;
    return &divisor_;
  }

  // Every part of the general tier with the fast sums joined to the unscaled
  // one; the count is the window's, held by that part alone.
  [[gnu::noinline]] Result<double> general_answer(uint64_t n) const {
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

  mutable WordDivisor divisor_{1};
  mutable uint64_t divisor_n_ = 0, last_n_ = 0;
  FastTier fast_;
  BandedMoments general_;
  Tally tally_;
  SlideRequest r_;
  bool integral_ddof_;  // ddof as an integer, read once rather than every window
  int64_t ddof_;
};

}  // namespace

namespace {

// Fixed windows that slide by one value at a time: from output i on, while
// the windows stay inside the values, window j is [j + 1 + offset − window,
// j + 1 + offset) (or starts at 0 for an expanding one). The number of such
// windows from i given that [lo, hi) is the window before i; 0 if none.
size_t steady_run(const SlideBounds& b, int64_t n, size_t i, size_t outputs, int64_t lo,
                  int64_t hi) {
  if (b.starts != nullptr || i == 0) return 0;
  const int64_t end = static_cast<int64_t>(i) + b.offset;  // the end of window i − 1, unclipped
  const bool expanding = b.window >= n;
  if (hi != end || hi >= n || (expanding ? lo != 0 : lo != end - b.window || lo < 0)) return 0;
  return std::min(outputs - i, static_cast<size_t>(n - hi));
}

template <bool Squares, bool Drops>
size_t run_steady(Slider& slider, std::span<const double> values, int64_t lo, int64_t hi,
                  size_t count, double* answers) {
  return slider.steady<Squares, Drops>(values.data() + hi, values.data() + lo, count, answers);
}

}  // namespace

Status slide_moments(std::span<const double> values, const SlideBounds& bounds,
                     const SlideRequest& request, std::span<double> out, SlidePoll poll) {
  const auto n = static_cast<int64_t>(values.size());
  const Bounds window(bounds, n);
  const Result<uint64_t> widest = widest_window(window, out.size(), n);
  if (!widest.ok()) return widest.failure();
  Slider slider(FastTier(choose_placement(values, widest.value(), kLowestBase, kHighestTop)),
                request);
  const bool drops = bounds.window < n;
  int64_t lo = 0, hi = 0;
  size_t i = 0;
  while (i < out.size()) {
    // Windows in chunks, the caller polled between them (signals).
    const size_t last = std::min(out.size(), i + kPollWindows);
    while (i < last) {
      if (bounds.starts != nullptr && slider.steady_ready(widest.value())) {
        i = slider.squares_kept()
                ? slider.steady_forward<true>(bounds, i, last, values.data(), lo, hi, out.data())
                : slider.steady_forward<false>(bounds, i, last, values.data(), lo, hi, out.data());
        if (i == last) break;
      }
      if (const size_t run = steady_run(bounds, n, i, last, lo, hi);
          run != 0 && slider.steady_ready(widest.value())) {
        const bool sq = slider.squares_kept();
        const size_t done =
            sq ? (drops ? run_steady<true, true>(slider, values, lo, hi, run, &out[i])
                        : run_steady<true, false>(slider, values, lo, hi, run, &out[i]))
               : (drops ? run_steady<false, true>(slider, values, lo, hi, run, &out[i])
                        : run_steady<false, false>(slider, values, lo, hi, run, &out[i]));
        i += done;
        hi += static_cast<int64_t>(done);
        if (drops) lo += static_cast<int64_t>(done);
        if (i == last) break;
      }
      // One window the general way: any bounds, any values.
      move_window(
          lo, hi, window(i), [&](size_t k) { slider.enter(values[k]); },
          [&](size_t k) { slider.leave(values[k]); });
      const Result<double> v = slider.answer();
      if (!v.ok()) return v.failure();
      out[i++] = v.value();
    }
    if (!poll()) return Interrupted();
  }
  return {};
}

}  // namespace tallix
