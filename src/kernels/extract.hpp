// The scalar side of error-free extraction (bank.hpp, note 7): whether the
// floating-point environment allows it, how a block's largest and smallest
// magnitudes fix the first binade and the number of levels, and how a
// level's sum reaches the limbs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "../binary64.hpp"
#include "../limbs.hpp"
#include "bank.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace tallix {

// Round to nearest, no flushing of subnormals to zero (inputs or results),
// and no floating-point exception unmasked (a level's roundings would trap):
// the environment note 7 relies on. Elsewhere the environment cannot be
// read, and extraction stays off.
inline bool extraction_environment() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  constexpr unsigned kFlushToZero = 0x8000, kRounding = 0x6000, kDenormalsAreZero = 0x40;
  constexpr unsigned kExceptionMasks = 0x1F80;
  unsigned csr = _mm_getcsr();
  return (csr & (kFlushToZero | kRounding | kDenormalsAreZero)) == 0 &&
         (csr & kExceptionMasks) == kExceptionMasks;
#elif defined(__aarch64__)
  // FPCR: flush-to-zero (FZ), the rounding mode (RMode), the trap enables
  // (IOE, DZE, OFE, UFE, IXE, IDE), and the alternate handling that flushes
  // inputs (AH, FIZ), which read as zero where not implemented.
  constexpr uint64_t kFlushToZero = uint64_t{1} << 24, kRounding = uint64_t{3} << 22;
  constexpr uint64_t kTraps = 0x9F00, kAlternate = 0x3;
  uint64_t fpcr;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
  return (fpcr & (kFlushToZero | kRounding | kTraps | kAlternate)) == 0;
#else
  return false;
#endif
}

struct ExtractPlan {
  int binade;  // s: the first level adds every value to 1.5 * 2^s (note 7)
  int levels;  // levels after which every remainder is zero; 0: bank the block
};

// The plan for a block whose largest magnitude has the bits `max_mag` (> 0)
// and whose smallest non-zero one has `min_mag`, both without sign; no more
// than `most` levels.
inline ExtractPlan plan_extraction(uint64_t max_mag, uint64_t min_mag, int most) noexcept {
  constexpr int M = kExtractSlack;
  int e_max = std::max(static_cast<int>(max_mag >> 52), 1);
  int e_min = std::max(static_cast<int>(min_mag >> 52), 1);
  int binade = e_max - 1022 + M;  // every |x| < 2^(e_max - 1022)
  if (max_mag >= kInfBits || binade > 1023) return {0, 0};
  int levels = (e_max - e_min + M) / (53 - M) + 2;
  return {binade, levels <= most ? levels : 0};
}

// 1.5 * 2^s, the offset of a level in binade s, for -1073 <= s <= 1023.
inline double extraction_offset(int s) noexcept {
  uint64_t bits = s >= -1022 ? static_cast<uint64_t>(s + 1023) << 52 | uint64_t{1} << 51
                             : uint64_t{3} << (s + 1073);
  return std::bit_cast<double>(bits);
}

// Adds a level's total, `units` times the spacing of its binade (2^-1074
// below the normal range), to the limbs (unit 2^-1074).
inline void add_level(Limbs& limbs, int64_t units, int binade) noexcept {
  if (units == 0) return;
  uint64_t mag = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
  unsigned at = static_cast<unsigned>(std::max(binade - 52, -1074) + 1074);
  add_shifted(limbs, mag, at, units < 0);
}

// The AVX-512 form (avx512_extract.cpp).
size_t extract_sum_avx512(const double* xs, size_t n, Limbs& limbs) noexcept;

}  // namespace tallix
