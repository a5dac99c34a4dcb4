// The binary64 format as bits: masks, class tests, the total-order key, and
// when splitting a product into its rounded value and fma error stops being
// exact. Every kernel form must decide the last alike to the bit, so the rule
// is stated here once; the vector forms in the kernels reproduce it lane by
// lane (kernels/bank.hpp, note 5).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace tallix {

inline constexpr uint64_t kSignBit = uint64_t{1} << 63;
inline constexpr uint64_t kAbsMask = ~kSignBit;
inline constexpr uint64_t kHiddenBit = uint64_t{1} << 52;  // the implicit bit of normal values
inline constexpr uint64_t kFracMask = kHiddenBit - 1;
inline constexpr uint64_t kInfBits = 0x7FF0000000000000;  // also the exponent mask
inline constexpr double kMinNormal = 0x1p-1022;
inline constexpr uint64_t kMinNormalBits = std::bit_cast<uint64_t>(kMinNormal);
// Products at or above 2^-968 in magnitude have every bit at or above
// 2^-1074: a * b below 2^(la + lb + 106) (la, lb the exponents of the lowest
// set bits) leaves la + lb >= -1074 once |fl(a * b)| reaches 2^-969.
inline constexpr double kSplitSafe = 0x1p-968;
inline constexpr uint64_t kSplitSafeBits = std::bit_cast<uint64_t>(kSplitSafe);
inline constexpr int kLowestBitExponent = -1074;

// The biased exponent field: 0 for zeros and subnormals, 0x7FF for
// infinities and NaNs.
inline uint64_t biased_exponent(uint64_t bits) noexcept { return (bits >> 52) & 0x7FF; }
inline uint64_t abs_bits(double x) noexcept { return std::bit_cast<uint64_t>(x) & kAbsMask; }
inline bool is_finite_bits(uint64_t bits) noexcept { return (bits & kInfBits) != kInfBits; }
inline bool is_nan(double x) noexcept { return abs_bits(x) > kInfBits; }
// Zero or subnormal: a magnitude below 2^-1022, given as bits without sign.
inline bool below_min_normal(uint64_t mag) noexcept { return mag < kMinNormalBits; }

// IEEE 754 totalOrder as one signed integer per bit pattern: numeric order
// for non-NaN values, with -0.0 strictly below +0.0. Negative patterns grow
// with magnitude; flipping their low 63 bits turns them into keys that shrink
// with magnitude, all below the non-negative ones.
inline int64_t order_key(double x) noexcept {
  int64_t k = std::bit_cast<int64_t>(x);
  return k ^ ((k >> 63) & INT64_MAX);
}
// The bit pattern of a key; the flip is its own inverse.
inline double from_key(int64_t k) noexcept {
  return std::bit_cast<double>(k ^ ((k >> 63) & INT64_MAX));
}

// k for x = m * 2^k with m odd; x finite and non-zero (infinities and NaNs
// give exponents of 972 or more, too high to matter below).
inline int lowest_bit_exponent(double x) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(x);
  int biased = static_cast<int>(biased_exponent(bits));
  uint64_t m = (bits & kFracMask) | (biased != 0 ? kHiddenBit : 0);
  return std::max(biased, 1) - 1075 + std::countr_zero(m);
}

// Whether p = fl(a * b) plus e = fma(a, b, -p) can differ from a * b in an
// accumulator whose unit is 2^-1074: with non-zero factors (a NaN counts as
// non-zero), either p fell below 2^-1022 or a * b has a bit below 2^-1074,
// which then neither p nor e can hold.
inline bool split_loses_exactness(double a, double b, double p) noexcept {
  uint64_t mag = abs_bits(p);
  if (a == 0.0 || b == 0.0 || mag >= kSplitSafeBits) return false;
  return below_min_normal(mag) ||
         lowest_bit_exponent(a) + lowest_bit_exponent(b) < kLowestBitExponent;
}

}  // namespace tallix
