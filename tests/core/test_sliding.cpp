// Sliding windows (stats/sliding.hpp) against each window summed afresh:
// a state fed that window's values alone, asked once.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "stats/grouped.hpp"
#include "stats/narrow.hpp"
#include "stats/sliding.hpp"

namespace {

using namespace tallix;
__extension__ using u128 = unsigned __int128;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

double afresh(std::span<const double> window, SlideAnswer what) {
  BandedMoments state;
  uint64_t n = 0;
  for (double x : window)
    if (!std::isnan(x)) {
      state.add(x);
      ++n;
    }
  if (what == SlideAnswer::Count) return static_cast<double>(n);
  std::vector<ScaledMoments> parts;
  for (auto& [scale, part] : state.parts) parts.push_back({&part.sum_x, &part.sum_xx, scale});
  if (parts.empty()) return what == SlideAnswer::Sum ? 0.0 : kNaN;
  static constexpr MomentAnswer kAsked[] = {MomentAnswer::Sum, MomentAnswer::Mean,
                                            MomentAnswer::Var, MomentAnswer::Std};
  return moment_answer(parts, kAsked[static_cast<int>(what)], 1.0, 0).value();
}

// Every answer over every fixed window of `width` (min_periods 1), and the
// expanding window, matches the fresh sums; so do the same windows given as
// explicit bounds (the path of time-based windows).
void check_column(const std::vector<double>& xs, int64_t width) {
  for (SlideAnswer what : {SlideAnswer::Sum, SlideAnswer::Mean, SlideAnswer::Var, SlideAnswer::Std,
                           SlideAnswer::Count})
    for (int64_t w : {width, static_cast<int64_t>(xs.size()) + 1}) {
      std::vector<int64_t> starts, ends;
      for (size_t i = 0; i < xs.size(); ++i) {
        ends.push_back(static_cast<int64_t>(i) + 1);
        starts.push_back(std::max<int64_t>(ends.back() - w, 0));
      }
      for (const SlideBounds& b :
           {SlideBounds{nullptr, nullptr, w, 0}, SlideBounds{starts.data(), ends.data(), 0, 0}}) {
        std::vector<double> out(xs.size());
        CHECK(slide_moments(xs, b, {what, 1.0, 1, true}, out).ok());
        for (size_t i = 0; i < xs.size(); ++i) {
          const std::span<const double> window(xs.data() + starts[i],
                                               static_cast<size_t>(ends[i] - starts[i]));
          CHECK(same(out[i], afresh(window, what)));
        }
      }
    }
}

}  // namespace

TEST(sliding_windows_match_fresh_sums) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  // Prices, a large offset with small noise, spikes, many binades, constant
  // runs, NaNs and infinities: the fast tier, the general tier and both.
  std::vector<double> prices, offset, binades, runs;
  for (int i = 0; i < 300; ++i) {
    prices.push_back(std::round(10000 + 500 * unit(rng)) / 100);
    offset.push_back(1e9 + 1e-3 * unit(rng));
    binades.push_back(std::ldexp(unit(rng), static_cast<int>(rng() % 1400) - 700));
    runs.push_back(i % 50 < 30 ? 0.1 : i % 50 == 30 ? 1e300 : unit(rng));
  }
  runs[60] = kNaN;
  runs[120] = std::numeric_limits<double>::infinity();
  for (const auto* xs : {&prices, &offset, &binades, &runs}) check_column(*xs, 20);
}

TEST(sliding_windows_move_any_way) {
  std::mt19937_64 rng(5);
  std::vector<double> xs;
  for (int i = 0; i < 200; ++i)
    xs.push_back(i % 7 == 0 ? std::ldexp(1.0, static_cast<int>(rng() % 1200) - 600)
                            : std::round(std::ldexp(static_cast<double>(rng() % 10000), -2)));
  std::vector<int64_t> starts, ends;
  for (int i = 0; i < 300; ++i) {  // forward, back, apart, empty
    const auto a = static_cast<int64_t>(rng() % 201), b = static_cast<int64_t>(rng() % 201);
    starts.push_back(std::min(a, b));
    ends.push_back(i % 13 == 0 ? std::min(a, b) : std::max(a, b));
  }
  for (SlideAnswer what : {SlideAnswer::Sum, SlideAnswer::Var}) {
    std::vector<double> out(starts.size());
    CHECK(slide_moments(xs, {starts.data(), ends.data(), 0, 0}, {what, 1.0, 0, true}, out).ok());
    for (size_t i = 0; i < out.size(); ++i) {
      const std::span<const double> window(xs.data() + starts[i],
                                           static_cast<size_t>(ends[i] - starts[i]));
      CHECK(same(out[i], afresh(window, what)));
    }
  }
  const int64_t bad_starts[] = {0, 1, 0}, bad_ends[] = {1, 2, 201};
  std::vector<double> out(3, 5.0);
  CHECK(!slide_moments(xs, {bad_starts, bad_ends, 0, 0}, {}, out).ok());
  CHECK_EQ(out[0], 5.0);  // refused before anything is written
}

TEST(prepared_divisor_divides_as_a_division) {
  std::mt19937_64 rng(11);
  for (int k = 0; k < 20000; ++k) {
    const uint64_t d = (rng() >> (rng() % 64)) | 2;
    const uint64_t hi = rng() % d, lo = rng();
    const WordDivisor divisor(d);
    uint64_t rem = 0;
    const uint64_t q = divisor.divide(hi, lo, rem);
    const auto num = (static_cast<u128>(hi) << 64) | lo;
    CHECK(q == static_cast<uint64_t>(num / d) && rem == static_cast<uint64_t>(num % d));
    // A mean through it rounds as through a division, at every exponent.
    const auto mag = (static_cast<u128>(rng()) << (rng() % 64)) | rng();
    const long exp = static_cast<long>(rng() % 2400) - 1300;
    CHECK(same(narrow_ratio(mag, k % 2 == 0, exp, divisor), narrow_ratio(mag, k % 2 == 0, exp, d)));
  }
}
