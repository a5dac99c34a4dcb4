// AVX2 forms of the batch kernels: four values per step.
#include "table.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <bit>
#include <cmath>

#include "../binary64.hpp"
#include "fma.hpp"
#include "place.hpp"

#define TALLIX_LANES_TARGET __attribute__((target("avx2,fma")))
#include "lanes.hpp"

namespace tallix {

namespace {

#define TALLIX_AVX2 __attribute__((target("avx2,fma")))

// The split of split_value for four values at once.
TALLIX_AVX2 inline void split4(const double* xs, uint64_t* lo_bin, int64_t* hi,
                               Bank& flags) noexcept {
  const __m256i exp_mask = _mm256_set1_epi64x(0x7FF);
  const __m256i c32 = _mm256_set1_epi64x(32);
  const __m256i zero = _mm256_setzero_si256();
  __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xs));
  __m256i e = _mm256_and_si256(_mm256_srli_epi64(bits, 52), exp_mask);
  // 1 for normal values, 0 for subnormals and zeros (e fits in 32 bits).
  __m256i normal = _mm256_min_epu32(e, _mm256_set1_epi64x(1));
  __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(kFracMask)),
                              _mm256_slli_epi64(normal, 52));
  __m256i nonfinite = _mm256_cmpeq_epi64(e, exp_mask);
  if (!_mm256_testz_si256(nonfinite, nonfinite)) [[unlikely]] {
    place::note_nonfinite_values(xs, 4, flags);
    m = _mm256_andnot_si256(nonfinite, m);
  }
  __m256i neg = _mm256_cmpgt_epi64(zero, bits);
  __m256i sm = _mm256_sub_epi64(_mm256_xor_si256(m, neg), neg);
  __m256i p = _mm256_sub_epi64(e, normal);
  __m256i s = _mm256_and_si256(p, _mm256_set1_epi64x(31));
  __m256i lo = _mm256_and_si256(_mm256_sllv_epi64(sm, s), _mm256_set1_epi64x(0xFFFFFFFF));
  // Arithmetic shift right by 32 - s: a logical shift, then the sign fill
  // (taken from sm itself, so -0.0 and masked lanes stay zero).
  __m256i fill = _mm256_cmpgt_epi64(zero, sm);
  __m256i shifted_hi = _mm256_or_si256(_mm256_srlv_epi64(sm, _mm256_sub_epi64(c32, s)),
                                       _mm256_sllv_epi64(fill, _mm256_add_epi64(c32, s)));
  __m256i bin = _mm256_slli_epi64(_mm256_srli_epi64(p, 5), 32);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lo_bin), _mm256_or_si256(lo, bin));
  _mm256_store_si256(reinterpret_cast<__m256i*>(hi), shifted_hi);
}

TALLIX_AVX2 inline void split_stage(const double* xs, uint64_t* lo_bin, int64_t* hi,
                                    Bank& flags) noexcept {
  for (size_t k = 0; k < place::kStageEntries; k += 4) split4(xs + k, lo_bin + k, hi + k, flags);
}

// Splits stage b + 1 while the bank additions of stage b are still running
// (place.hpp).
TALLIX_AVX2 void place_avx2(const double* xs, size_t n, Bank* const* banks, Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  size_t stages = n / place::kStageEntries;
  if (stages > 0) {
    alignas(32) uint64_t lo_bin[2][place::kStageEntries];
    alignas(32) int64_t hi[2][place::kStageEntries];
    split_stage(xs, lo_bin[0], hi[0], flags);
    for (size_t b = 1; b < stages; ++b) {
      size_t cur = b & 1;
      split_stage(xs + b * place::kStageEntries, lo_bin[cur], hi[cur], flags);
      place::scatter_entries(bins, lo_bin[cur ^ 1], hi[cur ^ 1], place::kStageEntries);
    }
    size_t last = (stages - 1) & 1;
    place::scatter_entries(bins, lo_bin[last], hi[last], place::kStageEntries);
  }
  place::place_rest(xs, stages * place::kStageEntries, n, bins, flags);
}

TALLIX_AVX2 void absorb_avx2(Bank& into, Bank& from) noexcept {
  int i = 0;
  for (; i + 4 <= kBins; i += 4) {
    auto* a = reinterpret_cast<__m256i*>(into.bins.data() + i);
    auto* b = reinterpret_cast<__m256i*>(from.bins.data() + i);
    _mm256_storeu_si256(a, _mm256_add_epi64(_mm256_loadu_si256(a), _mm256_loadu_si256(b)));
    _mm256_storeu_si256(b, _mm256_setzero_si256());
  }
  for (; i < kBins; ++i) {
    into.bins[i] += from.bins[i];
    from.bins[i] = 0;
  }
}

TALLIX_AVX2 void round_f32_avx2(const double* xs, size_t n, double* out) noexcept {
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm256_storeu_pd(out + i, _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_loadu_pd(xs + i))));
  portable_kernels().round_f32(xs + i, n - i, out + i);
}

// lowest_bit_exponent of four values, exactly as the scalar form gives it
// for finite non-zero values (the callers mask the other lanes off).
TALLIX_AVX2 inline __m256i lowest_bit_exponent4(__m256d x) noexcept {
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i bits = _mm256_castpd_si256(x);
  __m256i biased = _mm256_and_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x7FF));
  // biased fits in the low 32 bits, so 32-bit min and max act on the whole lane.
  __m256i normal = _mm256_min_epu32(biased, one);
  __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(kFracMask)),
                              _mm256_slli_epi64(normal, 52));
  __m256i low = _mm256_and_si256(m, _mm256_sub_epi64(_mm256_setzero_si256(), m));
  // No 64-bit conversion here: low (a power of two up to 2^52) or'ed into the
  // bits of 2^53 reads as 2^53 + 2 low (2^52 by a carry into the exponent),
  // and taking 2^53 away leaves 2 low exactly, whose exponent counts the zeros.
  __m256d twice_low = _mm256_sub_pd(
      _mm256_castsi256_pd(_mm256_or_si256(low, _mm256_set1_epi64x(0x4340000000000000))),
      _mm256_set1_pd(0x1p53));
  __m256i zeros = _mm256_sub_epi64(_mm256_srli_epi64(_mm256_castpd_si256(twice_low), 52),
                                   _mm256_set1_epi64x(1024));
  __m256i q = _mm256_sub_epi64(_mm256_max_epi32(biased, one), _mm256_set1_epi64x(1075));
  return _mm256_add_epi64(q, zeros);
}

// split_loses_exactness of four pairs as a lane mask. Only non-zero factors
// with a product below 2^-968 can lose, so the exact test waits for one.
TALLIX_AVX2 inline __m256d lost4(__m256d x, __m256d y, __m256d p) noexcept {
  const __m256d zero = _mm256_setzero_pd();
  __m256d mag = _mm256_and_pd(p, _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX)));
  // A NaN compares unordered, hence not equal to zero, and never below a bound.
  __m256d suspect = _mm256_and_pd(
      _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_NEQ_UQ), _mm256_cmp_pd(y, zero, _CMP_NEQ_UQ)),
      _mm256_cmp_pd(mag, _mm256_set1_pd(kSplitSafe), _CMP_LT_OQ));
  if (_mm256_testz_pd(suspect, suspect)) [[likely]]
    return zero;
  __m256i below = _mm256_add_epi64(lowest_bit_exponent4(x), lowest_bit_exponent4(y));
  __m256i off_grid = _mm256_cmpgt_epi64(_mm256_set1_epi64x(kLowestBitExponent), below);
  __m256d tiny = _mm256_cmp_pd(mag, _mm256_set1_pd(kMinNormal), _CMP_LT_OQ);
  return _mm256_and_pd(suspect, _mm256_or_pd(tiny, _mm256_castsi256_pd(off_grid)));
}

TALLIX_FMA_SITE TALLIX_AVX2 bool products_avx2(const double* a, const double* b, size_t n,
                                               double* p, double* e) noexcept {
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  const __m256d inf = _mm256_set1_pd(INFINITY);
  const __m256d sign = _mm256_set1_pd(-0.0);
  __m256d lost = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d x = _mm256_loadu_pd(a + i);
    __m256d y = _mm256_loadu_pd(b + i);
    __m256d pi = _mm256_mul_pd(x, y);
    __m256d err = _mm256_fmadd_pd(x, y, _mm256_xor_pd(pi, sign));
    __m256d mag = _mm256_and_pd(pi, abs_mask);
    err = _mm256_andnot_pd(_mm256_cmp_pd(mag, inf, _CMP_EQ_OQ), err);
    lost = _mm256_or_pd(lost, lost4(x, y, pi));
    _mm256_storeu_pd(p + i, pi);
    _mm256_storeu_pd(e + i, err);
  }
  bool tail_lost = portable_kernels().products(a + i, b + i, n - i, p + i, e + i);
  return tail_lost || _mm256_movemask_pd(lost) != 0;
}

TALLIX_FMA_SITE TALLIX_AVX2 bool square_split_avx2(const double* x, size_t n, double* p,
                                                   double* e) noexcept {
  const __m256d sign = _mm256_set1_pd(-0.0);
  __m256d lost = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d v = _mm256_loadu_pd(x + i);
    __m256d sq = _mm256_mul_pd(v, v);
    lost = _mm256_or_pd(lost, lost4(v, v, sq));
    _mm256_storeu_pd(p + i, sq);
    _mm256_storeu_pd(e + i, _mm256_fmadd_pd(v, v, _mm256_xor_pd(sq, sign)));
  }
  bool tail_lost = portable_kernels().square_split(x + i, n - i, p + i, e + i);
  return tail_lost || _mm256_movemask_pd(lost) != 0;
}

TALLIX_FMA_SITE bool place_products_avx2(const double* a, const double* b, size_t n,
                                         Bank* const* banks, Bank& flags) noexcept {
  return place::place_products_chunked(avx2_kernels(), a, b, n, banks, flags);
}

TALLIX_AVX2 BinRange bin_range_avx2(const Bank& bank) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  uint64_t low = 0;
  for (int i = 0; i < 64; i += 4) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bank.bins.data() + i));
    uint64_t is_zero =
        static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, zero))));
    low |= (~is_zero & 0xF) << i;
  }
  uint64_t high = uint64_t{bank.bins[64] != 0} | uint64_t{bank.bins[65] != 0} << 1;
  return place::bin_range_of_masks(low, high);
}

using F4 = lanes::Lanes<4>::F;

// A level's remainder x - q as a multiply-add by one, rounded as the
// subtraction is: AMD's cores add on two pipes and multiply-add on two
// others, so a level's three additions spread over four (of the choices,
// this one ran fastest on an AMD EPYC).
struct Form4 : lanes::PlainAdds<4> {
  static constexpr bool kErrorsMayOverflow = false;
  TALLIX_LANES_INLINE TALLIX_FMA_SITE static F4 minus(F4 x, F4 q) noexcept {
    return _mm256_fnmadd_pd(q, _mm256_set1_pd(1.0), x);
  }
  TALLIX_LANES_INLINE TALLIX_FMA_SITE static F4 error(F4 x, F4 y, F4 p) noexcept {
    return _mm256_fmsub_pd(x, y, p);
  }
};

TALLIX_FMA_SITE TALLIX_AVX2 size_t extract_sum_avx2(const double* xs, size_t n,
                                                    Limbs& limbs) noexcept {
  return lanes::extract_sum<Form4>(xs, n, limbs);
}

TALLIX_FMA_SITE TALLIX_AVX2 size_t extract_products_avx2(const double* a, const double* b, size_t n,
                                                         Limbs& limbs) noexcept {
  return lanes::extract_products<Form4>(a, b, n, limbs);
}

constexpr Kernels kAvx2{
    .place = place_avx2,
    .absorb = absorb_avx2,
    .bin_range = bin_range_avx2,
    .round_f32 = round_f32_avx2,
    .products = products_avx2,
    .square_split = square_split_avx2,
    .place_products = place_products_avx2,
    .place_exact_products = nullptr,
    .extract_sum = extract_sum_avx2,
    .extract_products = extract_products_avx2,
};

}  // namespace

const Kernels& avx2_kernels() noexcept { return kAvx2; }

}  // namespace tallix

#else  // other processors have only the portable forms

namespace tallix {

const Kernels& avx2_kernels() noexcept { return portable_kernels(); }

}  // namespace tallix

#endif
