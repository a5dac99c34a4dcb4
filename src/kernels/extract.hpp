// The scalar side of error-free extraction (bank.hpp, note 7): how a block's
// largest and smallest magnitudes fix the first sigma and the number of
// levels, and how a level's sum reaches the limbs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "acc.hpp"
#include "binary64.hpp"
#include "kernels/bank.hpp"

namespace tallix {

struct ExtractPlan {
  int sigma_exp;  // log2 of the first level's sigma
  int levels;     // levels after which every remainder is zero; 0: bank the block
};

// The plan for a block whose largest magnitude has the bits `max_mag` (> 0)
// and whose smallest non-zero one has `min_mag`, both without sign.
inline ExtractPlan plan_extraction(uint64_t max_mag, uint64_t min_mag) noexcept {
  constexpr int M = kExtractSlack;
  int e_max = std::max(static_cast<int>(max_mag >> 52), 1);
  int e_min = std::max(static_cast<int>(min_mag >> 52), 1);
  int sigma_exp = e_max - 1022 + M;  // every |x| < 2^(e_max - 1022)
  if (max_mag >= kInfBits || sigma_exp > 1023) return {0, 0};
  int levels = (e_max - e_min + M) / (53 - M) + 2;
  return {sigma_exp, levels <= kExtractLevels ? levels : 0};
}

// 2^k for -1074 <= k <= 1023.
inline double pow2(int k) noexcept {
  uint64_t bits = k >= -1022 ? static_cast<uint64_t>(k + 1023) << 52 : uint64_t{1} << (k + 1074);
  return std::bit_cast<double>(bits);
}

// The exponent of a level's unit, max(u sigma, 2^-1074): its q's and their
// sums are whole multiples of it.
inline int unit_exp(int sigma_exp) noexcept { return std::max(sigma_exp - 53, -1074); }

// Adds `units` times 2^unit_exp to the limbs (unit 2^-1074).
inline void add_units(Limbs& limbs, int64_t units, int unit_exp) noexcept {
  if (units == 0) return;
  uint64_t mag = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
  add_shifted(limbs, mag, static_cast<unsigned>(unit_exp + 1074), units < 0);
}

// The AVX-512 form (avx512_extract.cpp).
size_t extract_sum_avx512(const double* xs, size_t n, Limbs& limbs) noexcept;

}  // namespace tallix
