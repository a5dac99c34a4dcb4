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
// expanding window, matches the fresh sums.
void check_column(const std::vector<double>& xs, int64_t width) {
  for (SlideAnswer what : {SlideAnswer::Sum, SlideAnswer::Mean, SlideAnswer::Var, SlideAnswer::Std,
                           SlideAnswer::Count})
    for (int64_t w : {width, static_cast<int64_t>(xs.size()) + 1}) {
      std::vector<double> out(xs.size());
      CHECK(slide_moments(xs, {nullptr, nullptr, w, 0}, {what, 1.0, 1, true}, out).ok());
      for (size_t i = 0; i < xs.size(); ++i) {
        const size_t start = i + 1 >= static_cast<size_t>(w) ? i + 1 - static_cast<size_t>(w) : 0;
        const std::span<const double> window(xs.data() + start, i + 1 - start);
        CHECK(same(out[i], afresh(window, what)));
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

TEST(sliding_explicit_bounds_refused_when_stepping_back) {
  const std::vector<double> xs = {1, 2, 3};
  const int64_t starts[] = {0, 1, 0}, ends[] = {1, 2, 3};
  std::vector<double> out(3, 5.0);
  CHECK(!slide_moments(xs, {starts, ends, 0, 0}, {}, out).ok());
  CHECK_EQ(out[0], 5.0);  // nothing written
}

TEST(prepared_divisor_divides_as_a_division) {
  std::mt19937_64 rng(11);
  for (int k = 0; k < 20000; ++k) {
    const uint64_t d = (rng() >> (rng() % 64)) | 2;
    const uint64_t hi = rng() % d, lo = rng();
    const WordDivisor divisor(d);
    uint64_t rem = 0;
    const uint64_t q = divisor.divide(hi, lo, rem);
    const auto num = (static_cast<unsigned __int128>(hi) << 64) | lo;
    CHECK(q == static_cast<uint64_t>(num / d) && rem == static_cast<uint64_t>(num % d));
    // A mean through it rounds as through a division, at every exponent.
    const auto mag = (static_cast<unsigned __int128>(rng()) << (rng() % 64)) | rng();
    const long exp = static_cast<long>(rng() % 2400) - 1300;
    CHECK(same(narrow_ratio(mag, k % 2 == 0, exp, divisor), narrow_ratio(mag, k % 2 == 0, exp, d)));
  }
}
