// When splitting a product into its rounded value and fma error stops being
// exact. Every kernel form must decide this alike to the bit, so the rule is
// stated here once; the vector forms in the kernels reproduce it lane by lane.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace tallix {

inline constexpr double kMinNormal = 0x1p-1022;
inline constexpr uint64_t kMinNormalBits = std::bit_cast<uint64_t>(kMinNormal);
// Products at or above 2^-968 in magnitude have every bit at or above
// 2^-1074: a * b below 2^(la + lb + 106) (la, lb the exponents of the lowest
// set bits) leaves la + lb >= -1074 once |fl(a * b)| reaches 2^-969.
inline constexpr double kSplitSafe = 0x1p-968;
inline constexpr uint64_t kSplitSafeBits = std::bit_cast<uint64_t>(kSplitSafe);
inline constexpr int kLowestBitExponent = -1074;

// k for x = m * 2^k with m odd; x finite and non-zero (infinities and NaNs
// give exponents of 972 or more, too high to matter below).
inline int lowest_bit_exponent(double x) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(x);
  int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t m = (bits & (kMinNormalBits - 1)) | (uint64_t{biased != 0} << 52);
  return std::max(biased, 1) - 1075 + std::countr_zero(m);
}

// Whether p = fl(a * b) plus e = fma(a, b, -p) can differ from a * b in an
// accumulator whose unit is 2^-1074: with non-zero factors (a NaN counts as
// non-zero), either p fell below 2^-1022 or a * b has a bit below 2^-1074,
// which then neither p nor e can hold.
inline bool split_loses_exactness(double a, double b, double p) noexcept {
  uint64_t mag = std::bit_cast<uint64_t>(p) & ~(uint64_t{1} << 63);
  if (a == 0.0 || b == 0.0 || mag >= kSplitSafeBits) return false;
  return mag < kMinNormalBits ||
         lowest_bit_exponent(a) + lowest_bit_exponent(b) < kLowestBitExponent;
}

}  // namespace tallix
