// The row window of rows.hpp: one pass for the largest position, one to add.
#include "rows.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "../binary64.hpp"
#include "../kernels/fma.hpp"
#include "compact.hpp"
#include "narrow.hpp"

namespace tallix {

namespace {

__extension__ using i128 = __int128;
__extension__ using u128 = unsigned __int128;

// p of note 1: biased − 1 for normal values, 0 for subnormals and zeros.
long position_of(uint64_t bits) {
  const auto biased = static_cast<long>(biased_exponent(bits));
  return std::max(biased, 1L) - 1;
}

}  // namespace

namespace {

// The second pass of window_sum: every value placed and added, without
// branches on the data. Nans: the row holds NaNs to skip (their place adds
// nothing). False where a value's bits fall below the window.
template <bool Nans, bool Squares>
bool add_placed(std::span<const double> row, long base, i128& total,
                std::array<uint64_t, 4>& squares) noexcept {
  i128 sum = 0;
  uint64_t below = 0;
  for (double x : row) {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const uint64_t biased = biased_exponent(bits);
    uint64_t m = (bits & kFracMask) | (biased != 0 ? kHiddenBit : 0);
    long shift = position_of(bits) - base;
    if constexpr (Nans) {  // a NaN adds nothing, at no place (infinities were refused)
      m = biased == 0x7FF ? 0 : m;
      shift = biased == 0x7FF ? 0 : shift;
    }
    below |= shift < 0 ? m : 0;  // a value below the window: refused, so its place is moot
    const u128 placed = static_cast<u128>(m) << (shift < 0 ? 0 : shift);
    const i128 sign = static_cast<int64_t>(bits) >> 63;  // 0 or −1: −v = (v ^ −1) + 1
    sum += (static_cast<i128>(placed) ^ sign) - sign;
    if constexpr (Squares)
      compact_detail::add_at(squares, static_cast<int>(2 * (shift < 0 ? 0 : shift)),
                             static_cast<u128>(m) * m, false);  // note 2
  }
  total = sum;
  return below == 0;
}

}  // namespace

std::optional<WindowSum> window_sum(std::span<const double> row, bool skip_nans,
                                    std::array<uint64_t, 4>* squares) noexcept {
  uint64_t top_bits = 0, nans = 0, special = 0;
  for (double x : row) {
    const uint64_t mag = std::bit_cast<uint64_t>(x) & kAbsMask;
    const bool nan = mag > kInfBits;
    nans += nan ? 1 : 0;
    special |= mag >= kInfBits && !(nan && skip_nans) ? 1 : 0;
    top_bits = std::max(top_bits, nan ? 0 : mag);
  }
  if (special != 0) return std::nullopt;  // infinities, or NaNs kept
  const uint64_t n = row.size() - nans;
  const long base = position_of(top_bits) + 53 + std::bit_width(n) - 126;
  i128 total = 0;
  std::array<uint64_t, 4> unused;
  std::array<uint64_t, 4>& sq = squares != nullptr ? *squares : unused;
  sq.fill(0);
  const bool placed = squares != nullptr
                          ? (nans != 0 ? add_placed<true, true>(row, base, total, sq)
                                       : add_placed<false, true>(row, base, total, sq))
                          : (nans != 0 ? add_placed<true, false>(row, base, total, sq)
                                       : add_placed<false, false>(row, base, total, sq));
  if (!placed) return std::nullopt;
  return WindowSum{total, base, n, nans};
}

std::optional<double> window_spread(std::span<const double> row, bool skip_nans, double ddof,
                                    bool root, bool binary32) noexcept {
  std::array<uint64_t, 4> squares;
  const auto s = window_sum(row, skip_nans, &squares);
  if (!s) return std::nullopt;
  if (s->n == 0) return std::numeric_limits<double>::quiet_NaN();
  const u128 magnitude = s->total < 0 ? -static_cast<u128>(s->total) : static_cast<u128>(s->total);
  return narrow_window_spread(magnitude, squares, 2 * (s->base - 1074), s->n, ddof, root, binary32);
}

double window_answer(const WindowSum& s, bool mean, bool binary32) noexcept {
  if (mean && s.n == 0) return std::numeric_limits<double>::quiet_NaN();
  const bool negative = s.total < 0;
  const u128 magnitude = negative ? -static_cast<u128>(s.total) : static_cast<u128>(s.total);
  return narrow_ratio(magnitude, negative, s.base - 1074, mean ? s.n : 1, binary32);
}

std::optional<WeightedMean> window_average(std::span<const double> xs,
                                           std::span<const double> ws) noexcept {
  if (xs.size() != ws.size() || xs.size() > kMaxWindowRow) return std::nullopt;
  std::array<double, 2 * kMaxWindowRow> terms;
  for (size_t i = 0; i < xs.size(); ++i) {
    const double p = ws[i] * xs[i];
    if (!std::isfinite(p) || split_loses_exactness(ws[i], xs[i], p)) return std::nullopt;
    terms[2 * i] = p;
    terms[2 * i + 1] = fma_exact(ws[i], xs[i], -p);
  }
  const auto num = window_sum({terms.data(), 2 * xs.size()}, false);
  const auto den = window_sum(ws, false);
  if (!num || !den) return std::nullopt;
  const double weight = window_answer(*den, false, false);
  if (den->total == 0) return WeightedMean{std::numeric_limits<double>::quiet_NaN(), weight};
  // Σw·x / Σw = (a·2^ea) / (b·2^eb); b loses its trailing zeros to the exponent.
  const u128 a = num->total < 0 ? -static_cast<u128>(num->total) : static_cast<u128>(num->total);
  u128 b = den->total < 0 ? -static_cast<u128>(den->total) : static_cast<u128>(den->total);
  const uint64_t low = static_cast<uint64_t>(b);
  const int zeros =
      low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(static_cast<uint64_t>(b >> 64));
  b >>= zeros;
  if ((b >> 64) != 0) return std::nullopt;
  const bool negative = (num->total < 0) != (den->total < 0);
  const double mean =
      narrow_ratio(a, negative, num->base - den->base - zeros, static_cast<uint64_t>(b));
  return WeightedMean{mean, weight};
}

}  // namespace tallix
