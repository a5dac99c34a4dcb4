// Data-parallel kernels behind the batch sums, in a portable form and in
// AVX2 and AVX-512 forms picked once per process from the processor's
// features. Every form produces the same bits: only integer operations,
// single IEEE operations and the fused multiply-add of the product split
// (bank.hpp, note 5).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bank.hpp"
#include "fma.hpp"

namespace tallix {

enum class Isa : uint8_t { Portable, Avx2, Avx512 };

struct Kernels {
  // Splits each value and adds it to banks[position mod 4], except that the
  // last n mod 4 values go to banks[0]; non-finite values set the flags of
  // `flags`. Every form leaves identical bins.
  void (*place)(const double* xs, size_t n, Bank* const* banks, Bank& flags) noexcept;
  // Adds the bins of `from` to those of `into` and clears `from`; the caller
  // keeps the sums within range (note 3).
  void (*absorb)(Bank& into, Bank& from) noexcept;
  BinRange (*bin_range)(const Bank& bank) noexcept;
  // out[i] = xs[i] rounded to binary32 and widened back.
  void (*round_f32)(const double* xs, size_t n, double* out) noexcept;
  // p[i] = a[i] * b[i] rounded, e[i] its fma error (0 when p[i] is
  // infinite); true when split_loses_exactness holds for a pair.
  bool (*products)(const double* a, const double* b, size_t n, double* p, double* e) noexcept;
  // p[i] = x[i] * x[i] rounded and e[i] = fma(x[i], x[i], -p[i]) as IEEE
  // gives it (NaN or an infinity when the square overflows); true when
  // split_loses_exactness holds for a square.
  bool (*square_split)(const double* x, size_t n, double* p, double* e) noexcept;
  // The products and errors of `products` for n pairs, added straight to the
  // banks as `place` would add them (2n values); true when one lost exactness.
  bool (*place_products)(const double* a, const double* b, size_t n, Bank* const* banks,
                         Bank& flags) noexcept;
  // As place_products, except that the exact products of pairs of normal
  // factors whose product is normal and whose bits all lie at or above
  // 2^-1074 (there p + e is a * b exactly) go to `pairs` as whole integers
  // (note 6); pairs with a zero factor and a finite other add nothing. Null
  // in forms without 52-bit integer multiplies.
  bool (*place_exact_products)(const double* a, const double* b, size_t n, PairBank& pairs,
                               Bank* const* banks, Bank& flags) noexcept;
  // Adds whole blocks of kExtractBlock values from the front of xs exactly
  // into `limbs` by error-free extraction (note 7), stopping before the first
  // block it leaves to the banks; returns the number of values it added. Null
  // in forms without it.
  size_t (*extract_sum)(const double* xs, size_t n, Limbs& limbs) noexcept;
  // The same for products: whole blocks of kExtractPairs pairs from the
  // front, their rounded products and exact errors added to `limbs` by
  // extraction, stopping before the first block it leaves to the banks (any
  // block where a pair may lose exactness among them); returns the number of
  // pairs added. Null in forms without it.
  size_t (*extract_products)(const double* a, const double* b, size_t n, Limbs& limbs) noexcept;

  // Adds a bank's bins into the limbs and clears them, over the range of
  // non-zero bins this form finds.
  void fold(Bank& bank, Limbs& limbs) const noexcept { bank.fold_into(limbs, bin_range(bank)); }
};

// The forms, each filled in its own file; on other processors the vector
// forms are the portable one.
const Kernels& portable_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;
const Kernels& avx512_kernels() noexcept;
// AVX-512 with the 52-bit integer multiplies of IFMA for exact products.
const Kernels& avx512_ifma_kernels() noexcept;
#if defined(__x86_64__) && !defined(TALLIX_SOFTWARE_FMA)
// The portable form's extracted products with the fma of x86-64 processors
// that have one (portable_fma.cpp).
TALLIX_FMA_SITE size_t extract_products_portable_fma(const double* a, const double* b, size_t n,
                                                     Limbs& limbs) noexcept;
#endif

// The kernels in use; chosen on first call from the processor's features.
const Kernels& active_kernels() noexcept;
Isa active_isa() noexcept;
bool isa_supported(Isa isa) noexcept;
// Switches every batch routine to the given form (tests run each one this
// way); false, and no change, when the processor lacks it.
bool select_isa(Isa isa) noexcept;

}  // namespace tallix
