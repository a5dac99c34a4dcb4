// Queries whose exact sums span a few machine words, answered in
// fixed-width integers: a small state's variance at the speed of floats
// instead of 2176-bit arithmetic. Each function gives the same bits as the
// big-integer path (rational.hpp), or nothing when that path must answer:
// sums too wide, a count whose divisor passes 64 bits, a fractional ddof,
// a state that cannot be read (empty, not finite, inexact products), or the
// root of a negative spread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../acc.hpp"
#include "../dot.hpp"

namespace tallix {

// Σx / n rounded once, to binary32 (held in a double) when asked.
std::optional<double> narrow_mean(const SumF64& sum, uint64_t n, bool binary32 = false);

// (n·Σxy − Σx·Σy) / (n·(n − ddof)) rounded once, or the correctly rounded
// square root of it when it is not negative.
std::optional<double> narrow_centred(const SumF64& x, const SumF64& y, const DotF64& xy, uint64_t n,
                                     double ddof, bool root, bool binary32 = false);

// (n·Σx² − (Σx)²) / (n·(n − ddof)) rounded once, or its correctly rounded
// square root; Σx² is the dot product of the values with themselves.
std::optional<double> narrow_spread(const SumF64& sum, const DotF64& squares, uint64_t n,
                                    double ddof, bool root, bool binary32 = false);

// Σw·x / Σw and (Σw·Σw·x² − (Σw·x)²) / (Σw)², rounded once, of a weighted
// state with a positive weight sum that, without its trailing zero bits,
// fits 64 bits (32 for the variance): integer weights, or weights of a few
// binades.
std::optional<double> narrow_weighted_mean(const SumF64& w, const DotF64& wx, const DotF64& wxx);
std::optional<double> narrow_weighted_variance(const SumF64& w, const DotF64& wx,
                                               const DotF64& wxx);

// A sum held as `count` two's-complement words whose first sits at limb
// `at` of the limbs' scale (the compact groups of compact.hpp): the same
// answers without building full limbs. The sums are finite and exact.
struct PlacedWords {
  const uint64_t* words;
  int count;
  int at;
};
std::optional<double> narrow_sum(PlacedWords sum, bool binary32 = false);
std::optional<double> narrow_mean(PlacedWords sum, uint64_t n, bool binary32 = false);
std::optional<double> narrow_spread(PlacedWords sum, PlacedWords squares, uint64_t n, double ddof,
                                    bool root, bool binary32 = false);

// ±magnitude·2^exp / den rounded once (den >= 1; +0.0 for a zero
// magnitude): a sum held in 128 bits, or its mean.
__extension__ using Magnitude128 = unsigned __int128;
double narrow_ratio(Magnitude128 magnitude, bool negative, long exp, uint64_t den,
                    bool binary32 = false);

// A divisor of many divisions (the count of windows that stay full): its
// reciprocal found once, each division then two products and a correction
// (Möller and Granlund, division by invariant integers), the quotient and
// remainder exactly those of a division.
class WordDivisor {
 public:
  explicit WordDivisor(uint64_t d);
  uint64_t value() const { return d_; }
  // (hi·2^64 + lo) / d for hi < d, and its remainder.
  uint64_t divide(uint64_t hi, uint64_t lo, uint64_t& rem) const;

 private:
  uint64_t d_, normal_, reciprocal_;
  int shift_;
};

// narrow_ratio's mean, dividing by a prepared divisor (at least 2).
double narrow_ratio(Magnitude128 magnitude, bool negative, long exp, const WordDivisor& den,
                    bool binary32 = false);

// (n·Σx² − (Σx)²) / (n·(n − ddof)) rounded once, or its root, for Σx =
// sum·2^k (a magnitude: its sign does not matter here) and Σx² =
// squares·2^(2k), where exp = 2k: a row window's variance (rows.hpp).
std::optional<double> narrow_window_spread(Magnitude128 sum, const std::array<uint64_t, 4>& squares,
                                           long exp, uint64_t n, double ddof, bool root,
                                           bool binary32 = false);
// ±magnitude·2^exp / den rounded once (den >= 1), for a magnitude of up to
// five words: a window's covariance n·Σxy − Σx·Σy over n·(n − ddof).
double narrow_quotient(const std::array<uint64_t, 5>& magnitude, bool negative, long exp,
                       uint64_t den);

// The variance alone, with n·(n − ddof) given (positive), or prepared.
double narrow_window_variance(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                              uint64_t n, uint64_t den, bool binary32 = false);
double narrow_window_variance(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                              uint64_t n, const WordDivisor& den, bool binary32 = false);
// Its correctly rounded square root, the standard deviation.
double narrow_window_deviation(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                               uint64_t n, const WordDivisor& den, bool binary32 = false);

}  // namespace tallix
