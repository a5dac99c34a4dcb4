// AVX-512 forms of the batch kernels: eight values per step, with native
// 64-bit arithmetic shifts and lane masks.
#include "fast_simd.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "fast_place.hpp"

// GCC 12's AVX-512 headers build some intrinsics from deliberately undefined
// vectors, which -Wmaybe-uninitialized reports as a false positive.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tallix {

namespace {

#define TALLIX_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

constexpr size_t kBlock = 16;

// The split of split_value for eight values at once.
TALLIX_AVX512 inline void split8(__m512i bits, uint64_t* lo_bin, int64_t* hi,
                                 Bank& flags) noexcept {
  const __m512i exp_mask = _mm512_set1_epi64(0x7FF);
  const __m512i one = _mm512_set1_epi64(1);
  __m512i e = _mm512_and_si512(_mm512_srli_epi64(bits, 52), exp_mask);
  __mmask8 normal = _mm512_test_epi64_mask(e, e);
  __m512i frac = _mm512_and_si512(bits, _mm512_set1_epi64((int64_t{1} << 52) - 1));
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
  __m512i packed = _mm512_ternarylogic_epi64(_mm512_sllv_epi64(sm, s),
                                             _mm512_set1_epi64(0xFFFFFFFF), bin, 0xEA);
  _mm512_store_si512(lo_bin, packed);
  _mm512_store_si512(hi, _mm512_srav_epi64(sm, _mm512_sub_epi64(_mm512_set1_epi64(32), s)));
}

// Splits block b + 1 while the bank additions of block b are still running:
// the vector work and the scalar stores overlap.
TALLIX_AVX512 void place_avx512(const double* xs, size_t n, Bank* const* banks,
                                Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  size_t blocks = n / kBlock;
  if (blocks > 0) {
    alignas(64) uint64_t lo_bin[2][kBlock];
    alignas(64) int64_t hi[2][kBlock];
    split8(_mm512_loadu_si512(xs), lo_bin[0], hi[0], flags);
    split8(_mm512_loadu_si512(xs + 8), lo_bin[0] + 8, hi[0] + 8, flags);
    for (size_t b = 1; b < blocks; ++b) {
      size_t cur = b & 1;
      split8(_mm512_loadu_si512(xs + b * kBlock), lo_bin[cur], hi[cur], flags);
      split8(_mm512_loadu_si512(xs + b * kBlock + 8), lo_bin[cur] + 8, hi[cur] + 8, flags);
      place::scatter_block(bins, lo_bin[cur ^ 1], hi[cur ^ 1], kBlock);
    }
    size_t last = (blocks - 1) & 1;
    place::scatter_block(bins, lo_bin[last], hi[last], kBlock);
  }
  place::place_rest(xs, blocks * kBlock, n, bins, flags);
}

TALLIX_AVX512 void absorb_avx512(Bank& into, Bank& from) noexcept {
  int i = 0;
  for (; i + 8 <= kBins; i += 8) {
    __m512i a = _mm512_loadu_si512(into.bins.data() + i);
    __m512i b = _mm512_loadu_si512(from.bins.data() + i);
    _mm512_storeu_si512(into.bins.data() + i, _mm512_add_epi64(a, b));
    _mm512_storeu_si512(from.bins.data() + i, _mm512_setzero_si512());
  }
  for (; i < kBins; ++i) {
    into.bins[i] += from.bins[i];
    from.bins[i] = 0;
  }
}

TALLIX_AVX512 void round_f32_avx512(const double* xs, size_t n, double* out) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm512_storeu_pd(out + i, _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_loadu_pd(xs + i))));
  portable_kernels().round_f32(xs + i, n - i, out + i);
}

struct Products8 {
  __m512d p;       // rounded products
  __m512d e;       // their exact errors, 0 where p is infinite
  __mmask8 lost;   // non-zero factors whose product fell below 2^-1022
};

// Lanes outside `lanes` read as zeros (without touching memory), whose
// product and error are zeros.
TALLIX_AVX512 inline Products8 products8(const double* a, const double* b,
                                         __mmask8 lanes = 0xFF) noexcept {
  const __m512d zero = _mm512_setzero_pd();
  __m512d x = _mm512_maskz_loadu_pd(lanes, a);
  __m512d y = _mm512_maskz_loadu_pd(lanes, b);
  __m512d p = _mm512_mul_pd(x, y);
  __m512d mag = _mm512_abs_pd(p);
  __mmask8 finite_p = _mm512_cmp_pd_mask(mag, _mm512_set1_pd(INFINITY), _CMP_NEQ_UQ);
  __m512d e = _mm512_maskz_fmadd_pd(finite_p, x, y, _mm512_sub_pd(zero, p));
  // Non-zero factors; a NaN compares unordered, hence not equal to zero.
  __mmask8 nonzero =
      _mm512_cmp_pd_mask(x, zero, _CMP_NEQ_UQ) & _mm512_cmp_pd_mask(y, zero, _CMP_NEQ_UQ);
  __mmask8 tiny = _mm512_cmp_pd_mask(mag, _mm512_set1_pd(0x1p-1022), _CMP_LT_OQ);
  return {p, e, static_cast<__mmask8>(nonzero & tiny)};
}

TALLIX_AVX512 bool products_avx512(const double* a, const double* b, size_t n, double* p,
                                   double* e) noexcept {
  __mmask8 lost = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Products8 v = products8(a + i, b + i);
    lost |= v.lost;
    _mm512_storeu_pd(p + i, v.p);
    _mm512_storeu_pd(e + i, v.e);
  }
  bool tail_lost = portable_kernels().products(a + i, b + i, n - i, p + i, e + i);
  return tail_lost || lost != 0;
}

// Pairs before the 64-byte boundary of `a`, so that the loads of the full
// blocks after them stay within cache lines (for `b` too when it shares the
// offset, as whole arrays usually do).
size_t pairs_to_boundary(const double* a, size_t n) noexcept {
  size_t to_boundary = (64 - reinterpret_cast<uintptr_t>(a) % 64) / 8 % 8;
  return std::min(to_boundary, n);
}

// Full blocks of eight pairs, with the products of block k + 1 formed and
// split while the bank additions of block k run; the partial blocks before
// and after them are read with their missing lanes as zeros, which add
// nothing. Which bank takes which value thus differs from place, but not the
// banks' total.
TALLIX_AVX512 bool place_products_avx512(const double* a, const double* b, size_t n,
                                         Bank* const* banks, Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  __mmask8 lost = 0;
  alignas(64) uint64_t lo_bin[2][kBlock];
  alignas(64) int64_t hi[2][kBlock];
  auto split_block = [&](size_t at, size_t slot, __mmask8 lanes) TALLIX_AVX512 {
    Products8 v = products8(a + at, b + at, lanes);
    lost |= v.lost;
    split8(_mm512_castpd_si512(v.p), lo_bin[slot], hi[slot], flags);
    split8(_mm512_castpd_si512(v.e), lo_bin[slot] + 8, hi[slot] + 8, flags);
  };
  auto place_partial = [&](size_t at, size_t len) TALLIX_AVX512 {
    split_block(at, 0, static_cast<__mmask8>((1u << len) - 1));
    place::scatter_block(bins, lo_bin[0], hi[0], kBlock);
  };
  size_t head = pairs_to_boundary(a, n);
  if (head > 0) place_partial(0, head);
  size_t blocks = (n - head) / 8;
  if (blocks > 0) {
    split_block(head, 0, 0xFF);
    for (size_t k = 1; k < blocks; ++k) {
      split_block(head + 8 * k, k & 1, 0xFF);
      place::scatter_block(bins, lo_bin[(k & 1) ^ 1], hi[(k & 1) ^ 1], kBlock);
    }
    place::scatter_block(bins, lo_bin[(blocks - 1) & 1], hi[(blocks - 1) & 1], kBlock);
  }
  size_t done = head + 8 * blocks;
  if (done < n) place_partial(done, n - done);
  return lost != 0;
}

TALLIX_AVX512 void square_split_avx512(const double* x, size_t n, double* p, double* e) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m512d v = _mm512_loadu_pd(x + i);
    __m512d sq = _mm512_mul_pd(v, v);
    _mm512_storeu_pd(p + i, sq);
    _mm512_storeu_pd(e + i, _mm512_fmadd_pd(v, v, _mm512_sub_pd(_mm512_setzero_pd(), sq)));
  }
  portable_kernels().square_split(x + i, n - i, p + i, e + i);
}

TALLIX_AVX512 BinRange bin_range_avx512(const Bank& bank) noexcept {
  uint64_t low = 0;
  for (int i = 0; i < 64; i += 8) {
    __m512i v = _mm512_loadu_si512(bank.bins.data() + i);
    low |= uint64_t{_mm512_test_epi64_mask(v, v)} << i;
  }
  uint64_t high = uint64_t{bank.bins[64] != 0} | uint64_t{bank.bins[65] != 0} << 1;
  return place::bin_range_of_masks(low, high);
}

constexpr Kernels kAvx512{place_avx512,     absorb_avx512,   bin_range_avx512,
                          round_f32_avx512, products_avx512, square_split_avx512,
                          place_products_avx512};

}  // namespace

const Kernels& avx512_kernels() noexcept { return kAvx512; }

}  // namespace tallix

#else  // other processors have only the portable forms

namespace tallix {

const Kernels& avx512_kernels() noexcept { return portable_kernels(); }

}  // namespace tallix

#endif
