// Data-parallel kernels behind the batch sums, in a portable form and an AVX2
// form picked once per process from the processor's features. Every form
// produces the same bits; only integer operations and single IEEE operations
// (plus the fused multiply-add that the product split names) are used.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "fast.hpp"

namespace tallix {

enum class Isa : uint8_t { Portable, Avx2 };

// One chunk of values split for the banks: value i adds lo[i] to bin bin[i]
// and hi[i] to bin bin[i] + 1 (zeros and non-finite values give zero parts).
struct Decoded {
  alignas(32) uint64_t bin[kLongChunk];
  alignas(32) int64_t lo[kLongChunk];
  alignas(32) int64_t hi[kLongChunk];
};

// Splits a finite value (or any value with m forced to 0) into the parts that
// two neighbouring bins receive: M * 2^(p mod 32) cut at bit 32.
struct Split {
  uint64_t bin;
  int64_t lo;
  int64_t hi;
};

inline Split split_value(uint64_t bits, bool finite) noexcept {
  uint64_t e = (bits >> 52) & 0x7FF;
  uint64_t normal = e != 0;
  uint64_t m = ((bits & ((uint64_t{1} << 52) - 1)) | (normal << 52)) & (0 - uint64_t{finite});
  uint64_t p = e - normal;
  uint64_t s = p & 31;
  uint64_t lo = (m << s) & 0xFFFFFFFF;
  uint64_t hi = m >> (32 - s);
  uint64_t neg = 0 - (bits >> 63);
  return {p >> 5, static_cast<int64_t>((lo ^ neg) - neg), static_cast<int64_t>((hi ^ neg) - neg)};
}

struct Kernels {
  // Splits n <= kLongChunk values; non-finite values set the flags of `flags`.
  void (*decode)(const double* xs, size_t n, Decoded& out, Bank& flags) noexcept;
  // out[i] = xs[i] rounded to binary32 and widened back (n <= kLongChunk).
  void (*round_f32)(const double* xs, size_t n, double* out) noexcept;
  // p[i] = a[i] * b[i] rounded, e[i] its exact fma error (0 when p[i] is
  // infinite); true when a product of non-zero factors fell below 2^-1022.
  bool (*products)(const double* a, const double* b, size_t n, double* p, double* e) noexcept;
};

// The kernels in use; chosen on first call from the processor's features.
const Kernels& active_kernels() noexcept;
Isa active_isa() noexcept;
bool isa_supported(Isa isa) noexcept;
// Switches every batch routine to the given form (tests run each one this
// way); false, and no change, when the processor lacks it.
bool select_isa(Isa isa) noexcept;

}  // namespace tallix
