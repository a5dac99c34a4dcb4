// AVX-512 forms of the batch kernels: eight values per step, with native
// 64-bit arithmetic shifts and lane masks.
#include "fast_simd.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "binary64.hpp"
#include "fast_place.hpp"

// GCC 12's AVX-512 headers build some intrinsics from deliberately undefined
// vectors, which -Wmaybe-uninitialized reports as a false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

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
  __m512i packed =
      _mm512_ternarylogic_epi64(_mm512_sllv_epi64(sm, s), _mm512_set1_epi64(0xFFFFFFFF), bin, 0xEA);
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

// lowest_bit_exponent of eight values, exactly as the scalar form gives it
// for finite non-zero values (the callers mask the other lanes off).
TALLIX_AVX512 inline __m512i lowest_bit_exponent8(__m512d x) noexcept {
  const __m512i one = _mm512_set1_epi64(1);
  __m512i bits = _mm512_castpd_si512(x);
  __m512i biased = _mm512_and_si512(_mm512_srli_epi64(bits, 52), _mm512_set1_epi64(0x7FF));
  __m512i frac = _mm512_and_si512(bits, _mm512_set1_epi64((int64_t{1} << 52) - 1));
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
TALLIX_AVX512 inline Products8 products8(const double* a, const double* b,
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

#define TALLIX_IFMA \
  __attribute__((target("avx512f,avx512dq,avx512vl,avx512ifma,avx512vbmi2,avx2,fma")))

// Eight pairs' row offsets in a PairBank and their pieces, one row vector per
// pair, in the order kPairOfSlot.
struct PairStage {
  alignas(64) int64_t rows[8][4];
  alignas(64) uint64_t offset[8];
};

// The unpacks and lane permutes of pair_pieces leave pairs 0, 2, 4, 6, 1, 3,
// 5, 7 in the staged rows.
constexpr int kPairOfSlot[8] = {0, 2, 4, 6, 1, 3, 5, 7};

constexpr int64_t kSubBankBytes = PairBank::kRowsPerSub * 32;

// Cuts the exact products of eight pairs into their row offsets and pieces;
// the lanes in `lanes` that are not ordinary (see place_exact_products) are
// returned, and they and the lanes outside `lanes` point at the trash row.
TALLIX_IFMA inline __mmask8 pair_pieces(__m512i x, __m512i y, __mmask8 lanes,
                                        PairStage& st) noexcept {
  const __m512i frac = _mm512_set1_epi64((int64_t{1} << 52) - 1);
  const __m512i exp_mask = _mm512_set1_epi64(0x7FF);
  const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFF);
  const __m512i sub_bank =
      _mm512_set_epi64(7 * kSubBankBytes, 6 * kSubBankBytes, 5 * kSubBankBytes, 4 * kSubBankBytes,
                       3 * kSubBankBytes, 2 * kSubBankBytes, kSubBankBytes, 0);
  // Normal factors: the significands are 2^52 + f, the product sits at bit
  // q = (ea - 1) + (eb - 1) - 1074 of the limb scale.
  __m512i ea = _mm512_and_si512(_mm512_srli_epi64(x, 52), exp_mask);
  __m512i eb = _mm512_and_si512(_mm512_srli_epi64(y, 52), exp_mask);
  __m512i q = _mm512_sub_epi64(_mm512_add_epi64(ea, eb), _mm512_set1_epi64(1076));
  // Zeros, subnormals, infinities and NaNs are not ordinary; q from 0 to 1991
  // keeps every bit at or above 2^-1074 and the product below 2^1023.
  constexpr int kNotNormal = 0xBF;  // every class but negative and positive normal
  __mmask8 normal =
      static_cast<__mmask8>(lanes & ~_mm512_fpclass_pd_mask(_mm512_castsi512_pd(x), kNotNormal) &
                            ~_mm512_fpclass_pd_mask(_mm512_castsi512_pd(y), kNotNormal));
  __mmask8 ordinary = _mm512_mask_cmp_epu64_mask(normal, q, _mm512_set1_epi64(1992), _MM_CMPINT_LT);
  // (2^52 + fa)(2^52 + fb) = 2^52 (2^52 + fa + fb + hi(fa fb)) + lo(fa fb):
  // the multiplies read only the low 52 bits of x and y.
  __m512i carry_in = _mm512_add_epi64(
      _mm512_ternarylogic_epi64(x, frac, _mm512_set1_epi64(int64_t{1} << 52), 0xEA),
      _mm512_and_si512(y, frac));
  __m512i lo = _mm512_madd52lo_epu64(_mm512_setzero_si512(), x, y);
  __m512i hi = _mm512_madd52hi_epu64(carry_in, x, y);
  __m512i p0 = _mm512_or_si512(_mm512_slli_epi64(hi, 52), lo);  // the product's low word
  __m512i p1 = _mm512_srli_epi64(hi, 12);                       // and its high word, < 2^42
  // Shifted up by r = q mod 32 the product spans bits 0..136 above bin q div 32.
  __m512i r = _mm512_and_si512(q, _mm512_set1_epi64(31));
  __m512i x0 = _mm512_sllv_epi64(p0, r);
  __m512i c0 = _mm512_and_si512(x0, low32);
  __m512i c1 = _mm512_srli_epi64(x0, 32);
  __m512i c2 = _mm512_and_si512(_mm512_shldv_epi64(p1, p0, r), low32);
  __m512i c3 = _mm512_srlv_epi64(p1, _mm512_sub_epi64(_mm512_set1_epi64(32), r));
  // One four-word row vector per pair.
  __m512i t0 = _mm512_unpacklo_epi64(c0, c1);
  __m512i t1 = _mm512_unpackhi_epi64(c0, c1);
  __m512i t2 = _mm512_unpacklo_epi64(c2, c3);
  __m512i t3 = _mm512_unpackhi_epi64(c2, c3);
  const __m512i first = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
  const __m512i second = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
  _mm512_store_si512(st.rows[0], _mm512_permutex2var_epi64(t0, first, t2));
  _mm512_store_si512(st.rows[2], _mm512_permutex2var_epi64(t0, second, t2));
  _mm512_store_si512(st.rows[4], _mm512_permutex2var_epi64(t1, first, t3));
  _mm512_store_si512(st.rows[6], _mm512_permutex2var_epi64(t1, second, t3));
  // Row offsets: the sub-bank of the lane, the sign's half, the lowest bin.
  __m512i offset = _mm512_add_epi64(_mm512_andnot_si512(_mm512_set1_epi64(31), q), sub_bank);
  __mmask8 negative = _mm512_movepi64_mask(_mm512_xor_si512(x, y));
  offset =
      _mm512_mask_add_epi64(offset, negative, offset, _mm512_set1_epi64(PairBank::kNegRow * 32));
  offset = _mm512_mask_mov_epi64(
      _mm512_add_epi64(sub_bank, _mm512_set1_epi64(PairBank::kTrashRow * 32)), ordinary, offset);
  _mm512_store_si512(st.offset, offset);
  return static_cast<__mmask8>(lanes & ~ordinary);
}

TALLIX_IFMA inline void add_pair_rows(char* bank, const PairStage& st) noexcept {
  for (int slot = 0; slot < 8; ++slot) {
    auto* row = reinterpret_cast<__m256i*>(bank + st.offset[kPairOfSlot[slot]]);
    __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(st.rows[slot]));
    _mm256_store_si256(row, _mm256_add_epi64(_mm256_load_si256(row), v));
  }
}

// The lanes of `rest` that are not a zero factor times a finite one go the
// way of place_products; true when one of them lost exactness.
TALLIX_IFMA bool place_other_pairs(const double* a, const double* b, __m512i x, __m512i y,
                                   __mmask8 rest, int64_t* const* bins, Bank& flags) noexcept {
  constexpr int kZero = 0x06, kNonFinite = 0x99;
  __m512d xd = _mm512_castsi512_pd(x), yd = _mm512_castsi512_pd(y);
  __mmask8 nothing = (_mm512_fpclass_pd_mask(xd, kZero) & ~_mm512_fpclass_pd_mask(yd, kNonFinite)) |
                     (_mm512_fpclass_pd_mask(yd, kZero) & ~_mm512_fpclass_pd_mask(xd, kNonFinite));
  __mmask8 others = static_cast<__mmask8>(rest & ~nothing);
  if (others == 0) return false;
  alignas(64) uint64_t lo_bin[kBlock];
  alignas(64) int64_t hi[kBlock];
  Products8 v = products8(a, b, others);
  split8(_mm512_castpd_si512(v.p), lo_bin, hi, flags);
  split8(_mm512_castpd_si512(v.e), lo_bin + 8, hi + 8, flags);
  place::scatter_block(bins, lo_bin, hi, kBlock);
  return v.lost != 0;
}

// Blocks of eight pairs as in place_products_avx512, the pieces of block
// k + 1 formed while the rows of block k are added.
TALLIX_IFMA bool place_exact_products_avx512(const double* a, const double* b, size_t n,
                                             PairBank& pairs, Bank* const* banks,
                                             Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  char* bank = reinterpret_cast<char*>(pairs.cells);
  bool lost = false;
  PairStage st[2];
  auto split_block = [&](size_t at, size_t slot, __mmask8 lanes) TALLIX_IFMA {
    __m512i x = _mm512_castpd_si512(_mm512_maskz_loadu_pd(lanes, a + at));
    __m512i y = _mm512_castpd_si512(_mm512_maskz_loadu_pd(lanes, b + at));
    __mmask8 rest = pair_pieces(x, y, lanes, st[slot]);
    if (rest != 0) [[unlikely]]
      lost |= place_other_pairs(a + at, b + at, x, y, rest, bins, flags);
  };
  auto place_partial = [&](size_t at, size_t len) TALLIX_IFMA {
    split_block(at, 0, static_cast<__mmask8>((1u << len) - 1));
    add_pair_rows(bank, st[0]);
  };
  size_t head = pairs_to_boundary(a, n);
  if (head > 0) place_partial(0, head);
  size_t blocks = (n - head) / 8;
  if (blocks > 0) {
    split_block(head, 0, 0xFF);
    for (size_t k = 1; k < blocks; ++k) {
      split_block(head + 8 * k, k & 1, 0xFF);
      add_pair_rows(bank, st[(k & 1) ^ 1]);
    }
    add_pair_rows(bank, st[(blocks - 1) & 1]);
  }
  size_t done = head + 8 * blocks;
  if (done < n) place_partial(done, n - done);
  return lost;
}

TALLIX_AVX512 bool square_split_avx512(const double* x, size_t n, double* p, double* e) noexcept {
  __mmask8 lost = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m512d v = _mm512_loadu_pd(x + i);
    __m512d sq = _mm512_mul_pd(v, v);
    lost |= lost8(v, v, _mm512_abs_pd(sq));
    _mm512_storeu_pd(p + i, sq);
    _mm512_storeu_pd(e + i, _mm512_fmadd_pd(v, v, _mm512_sub_pd(_mm512_setzero_pd(), sq)));
  }
  bool tail_lost = portable_kernels().square_split(x + i, n - i, p + i, e + i);
  return tail_lost || lost != 0;
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

constexpr Kernels kAvx512{place_avx512,          absorb_avx512,   bin_range_avx512,
                          round_f32_avx512,      products_avx512, square_split_avx512,
                          place_products_avx512, nullptr};

// With 52-bit integer multiplies and double shifts, exact products as integers.
constexpr Kernels kAvx512Ifma{
    place_avx512,    absorb_avx512,       bin_range_avx512,      round_f32_avx512,
    products_avx512, square_split_avx512, place_products_avx512, place_exact_products_avx512};

bool has_ifma() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("avx512vl");
}

}  // namespace

const Kernels& avx512_kernels() noexcept {
  static const bool ifma = has_ifma();
  return ifma ? kAvx512Ifma : kAvx512;
}

}  // namespace tallix

#else  // other processors have only the portable forms

namespace tallix {

const Kernels& avx512_kernels() noexcept { return portable_kernels(); }

}  // namespace tallix

#endif
