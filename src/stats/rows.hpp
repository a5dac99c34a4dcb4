// The sum of a short row in one 128-bit integer: the row kernel of a tall
// array's axis reductions. A row of a few values usually spans a few dozen
// binades, so its exact sum fits one window placed by its largest value,
// and answering it costs a rounding (a division for a mean) instead of a
// state per row.
//
//   1. Value x = ±m·2^(p − 1074), m < 2^53, p the position of m's lowest
//      bit. With P the largest p of the row and n values, the window's
//      lowest bit sits at base = P + 53 + bits(n) − 126: every value is
//      below 2^(126 − bits(n)) in window units, so n of them sum below
//      2^126 and the signed 128-bit total cannot overflow.
//   2. Squares: x² = m²·2^(2p − 2148), so Σx² sits in four words at twice
//      the base: each square is below 2^(252 − 2·bits(n)) in those units,
//      and n of them below 2^256.
//   3. A value whose lowest bit falls below the base, or that is not
//      finite, leaves the row to the grouped path (grouped.hpp), which
//      answers every row alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tallix {

struct WindowSum {
  __extension__ __int128 total;  // Σx in units of 2^(base − 1074)
  long base;
  uint64_t n;        // values summed
  uint64_t missing;  // NaNs skipped
};

// Σx of a row, and Σx² into `squares` (units of 2^(2·base − 2148)) when given.
std::optional<WindowSum> window_sum(std::span<const double> row, bool skip_nans,
                                    std::array<uint64_t, 4>* squares = nullptr) noexcept;

// The row's variance with ddof (NaN for no values), or its correctly rounded
// standard deviation; nothing where the window or the fixed-width path
// cannot answer (a divisor beyond 64 bits, a fractional ddof, n <= ddof).
std::optional<double> window_spread(std::span<const double> row, bool skip_nans, double ddof,
                                    bool root, bool binary32) noexcept;

// Σx rounded once, or Σx / n (NaN for no values), to binary32 when asked.
double window_answer(const WindowSum& s, bool mean, bool binary32) noexcept;

// The rows of a weighted mean, at most this wide, take the window.
inline constexpr size_t kMaxWindowRow = 64;

// Σw·x / Σw rounded once (NaN when Σw = 0) and Σw rounded once, for a row of
// values and its weights. Each product is its rounded value plus its exact
// fma error, so Σw·x is a window sum of twice as many terms. Nothing where
// a product is not exact that way, a window cannot hold a sum, or Σw
// (without its trailing zero bits) passes 64 bits: the caller asks states.
struct WeightedMean {
  double mean, weight;
};
std::optional<WeightedMean> window_average(std::span<const double> xs,
                                           std::span<const double> ws) noexcept;

}  // namespace tallix
