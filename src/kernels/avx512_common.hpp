// Eight-lane pieces shared by the AVX-512 kernels (avx512.cpp) and their
// IFMA products (avx512_ifma.cpp). Inline, so that each file compiles them
// with its own instruction set.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

// GCC 12's AVX-512 headers build some intrinsics from deliberately undefined
// vectors (the '__Y' of avx512fintrin.h), which its -Wuninitialized reports
// at -O2 once they are inlined; the warning points into the header, so it is
// silenced for the header alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "../binary64.hpp"
#include "fma.hpp"
#include "place.hpp"

namespace tallix::avx512 {

#define TALLIX_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

// The split of split_value for eight values at once.
TALLIX_AVX512 inline void split8(__m512i bits, uint64_t* lo_bin, int64_t* hi,
                                 Bank& flags) noexcept {
  const __m512i exp_mask = _mm512_set1_epi64(0x7FF);
  const __m512i one = _mm512_set1_epi64(1);
  __m512i e = _mm512_and_si512(_mm512_srli_epi64(bits, 52), exp_mask);
  __mmask8 normal = _mm512_test_epi64_mask(e, e);
  __m512i frac = _mm512_and_si512(bits, _mm512_set1_epi64(kFracMask));
  __m512i m = _mm512_mask_or_epi64(frac, normal, frac, _mm512_set1_epi64(int64_t{1} << 52));
  __mmask8 nonfinite = _mm512_cmpeq_epi64_mask(e, exp_mask);
  if (nonfinite) [[unlikely]] {
    alignas(64) double xs[8];
    _mm512_store_si512(xs, bits);
    place::note_nonfinite_values(xs, 8, flags);
    m = _mm512_maskz_mov_epi64(static_cast<__mmask8>(~nonfinite), m);
  }
  __m512i neg = _mm512_srai_epi64(bits, 63);
  __m512i sm = _mm512_sub_epi64(_mm512_xor_si512(m, neg), neg);
  __m512i p = _mm512_mask_sub_epi64(e, normal, e, one);
  __m512i s = _mm512_and_si512(p, _mm512_set1_epi64(31));
  __m512i bin = _mm512_slli_epi64(_mm512_srli_epi64(p, 5), 32);
  // (shifted & low32) | bin in one ternary-logic step.
  __m512i packed =
      _mm512_ternarylogic_epi64(_mm512_sllv_epi64(sm, s), _mm512_set1_epi64(0xFFFFFFFF), bin, 0xEA);
  _mm512_store_si512(lo_bin, packed);
  _mm512_store_si512(hi, _mm512_srav_epi64(sm, _mm512_sub_epi64(_mm512_set1_epi64(32), s)));
}

// lowest_bit_exponent of eight values, exactly as the scalar form gives it
// for finite non-zero values (the callers mask the other lanes off).
TALLIX_AVX512 inline __m512i lowest_bit_exponent8(__m512d x) noexcept {
  const __m512i one = _mm512_set1_epi64(1);
  __m512i bits = _mm512_castpd_si512(x);
  __m512i biased = _mm512_and_si512(_mm512_srli_epi64(bits, 52), _mm512_set1_epi64(0x7FF));
  __m512i frac = _mm512_and_si512(bits, _mm512_set1_epi64(kFracMask));
  __m512i m = _mm512_mask_or_epi64(frac, _mm512_test_epi64_mask(biased, biased), frac,
                                   _mm512_set1_epi64(int64_t{1} << 52));
  __m512i low = _mm512_and_si512(m, _mm512_sub_epi64(_mm512_setzero_si512(), m));
  // low is a power of two up to 2^52, converted exactly; its exponent counts the zeros.
  __m512i zeros = _mm512_sub_epi64(
      _mm512_srli_epi64(_mm512_castpd_si512(_mm512_cvtepu64_pd(low)), 52), _mm512_set1_epi64(1023));
  __m512i q = _mm512_sub_epi64(_mm512_max_epu64(biased, one), _mm512_set1_epi64(1075));
  return _mm512_add_epi64(q, zeros);
}

// split_loses_exactness of eight pairs as a lane mask, mag = |p|. Only
// non-zero factors with a product below 2^-968 can lose, so the exact test
// waits for one.
TALLIX_AVX512 inline __mmask8 lost8(__m512d x, __m512d y, __m512d mag) noexcept {
  const __m512d zero = _mm512_setzero_pd();
  // A NaN compares unordered, hence not equal to zero, and never below a bound.
  __mmask8 suspect = _mm512_cmp_pd_mask(x, zero, _CMP_NEQ_UQ) &
                     _mm512_cmp_pd_mask(y, zero, _CMP_NEQ_UQ) &
                     _mm512_cmp_pd_mask(mag, _mm512_set1_pd(kSplitSafe), _CMP_LT_OQ);
  if (suspect == 0) [[likely]]
    return 0;
  __m512i below = _mm512_add_epi64(lowest_bit_exponent8(x), lowest_bit_exponent8(y));
  __mmask8 off_grid = _mm512_cmplt_epi64_mask(below, _mm512_set1_epi64(kLowestBitExponent));
  __mmask8 tiny = _mm512_cmp_pd_mask(mag, _mm512_set1_pd(kMinNormal), _CMP_LT_OQ);
  return static_cast<__mmask8>(suspect & (tiny | off_grid));
}

struct Products8 {
  __m512d p;      // rounded products
  __m512d e;      // their fma errors, 0 where p is infinite
  __mmask8 lost;  // pairs for which split_loses_exactness holds
};

// Lanes outside `lanes` read as zeros (without touching memory), whose
// product and error are zeros.
TALLIX_FMA_SITE TALLIX_AVX512 inline Products8 products8(const double* a, const double* b,
                                                         __mmask8 lanes = 0xFF) noexcept {
  const __m512d zero = _mm512_setzero_pd();
  __m512d x = _mm512_maskz_loadu_pd(lanes, a);
  __m512d y = _mm512_maskz_loadu_pd(lanes, b);
  __m512d p = _mm512_mul_pd(x, y);
  __m512d mag = _mm512_abs_pd(p);
  __mmask8 finite_p = _mm512_cmp_pd_mask(mag, _mm512_set1_pd(INFINITY), _CMP_NEQ_UQ);
  __m512d e = _mm512_maskz_fmadd_pd(finite_p, x, y, _mm512_sub_pd(zero, p));
  return {p, e, lost8(x, y, mag)};
}

// Pairs before the 64-byte boundary of `a`, so that the loads of the full
// stages after them stay within cache lines (for `b` too when it shares the
// offset, as whole arrays usually do).
inline size_t pairs_to_boundary(const double* a, size_t n) noexcept {
  size_t to_boundary = (64 - reinterpret_cast<uintptr_t>(a) % 64) / 8 % 8;
  return std::min(to_boundary, n);
}

}  // namespace tallix::avx512

#endif
