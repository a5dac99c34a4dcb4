// The exact products of AVX-512 with IFMA: 52-bit integer multiplies and
// double shifts cut a pair's exact product into the row pieces of a PairBank
// (bank.hpp, note 6). Apart from the plain AVX-512 forms, which run on
// processors without IFMA.
#include "table.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include "avx512_common.hpp"

namespace tallix {

namespace {

using namespace avx512;

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

// The exact products of eight pairs of normal factors at their positions q
// (see note 6), as four pieces at 32-bit spacing.
struct Pieces8 {
  __m512i c0, c1, c2, c3;
};

TALLIX_IFMA inline Pieces8 product_pieces(__m512i x, __m512i y, __m512i q) noexcept {
  const __m512i frac = _mm512_set1_epi64(kFracMask);
  const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFF);
  // (2^52 + fa)(2^52 + fb) = 2^52 (2^52 + fa + fb + hi(fa fb)) + lo(fa fb):
  // the multiplies read only the low 52 bits of x and y.
  __m512i carry_in =
      _mm512_add_epi64(_mm512_ternarylogic_epi64(x, frac, _mm512_set1_epi64(kHiddenBit), 0xEA),
                       _mm512_and_si512(y, frac));
  __m512i lo = _mm512_madd52lo_epu64(_mm512_setzero_si512(), x, y);
  __m512i hi = _mm512_madd52hi_epu64(carry_in, x, y);
  __m512i p0 = _mm512_or_si512(_mm512_slli_epi64(hi, 52), lo);  // the product's low word
  __m512i p1 = _mm512_srli_epi64(hi, 12);                       // and its high word, < 2^42
  // Shifted up by r = q mod 32 the product spans bits 0..136 above bin q div 32.
  __m512i r = _mm512_and_si512(q, _mm512_set1_epi64(31));
  __m512i x0 = _mm512_sllv_epi64(p0, r);
  return {_mm512_and_si512(x0, low32), _mm512_srli_epi64(x0, 32),
          _mm512_and_si512(_mm512_shldv_epi64(p1, p0, r), low32),
          _mm512_srlv_epi64(p1, _mm512_sub_epi64(_mm512_set1_epi64(32), r))};
}

// One four-word row vector per pair, in the order kPairOfSlot.
TALLIX_IFMA inline void stage_rows(const Pieces8& c, PairStage& st) noexcept {
  __m512i t0 = _mm512_unpacklo_epi64(c.c0, c.c1);
  __m512i t1 = _mm512_unpackhi_epi64(c.c0, c.c1);
  __m512i t2 = _mm512_unpacklo_epi64(c.c2, c.c3);
  __m512i t3 = _mm512_unpackhi_epi64(c.c2, c.c3);
  const __m512i first = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
  const __m512i second = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
  _mm512_store_si512(st.rows[0], _mm512_permutex2var_epi64(t0, first, t2));
  _mm512_store_si512(st.rows[2], _mm512_permutex2var_epi64(t0, second, t2));
  _mm512_store_si512(st.rows[4], _mm512_permutex2var_epi64(t1, first, t3));
  _mm512_store_si512(st.rows[6], _mm512_permutex2var_epi64(t1, second, t3));
}

// Row offsets: the sub-bank of the lane, the sign's half, the lowest bin;
// lanes not `ordinary` point at the trash row.
TALLIX_IFMA inline void stage_offsets(__m512i x, __m512i y, __m512i q, __mmask8 ordinary,
                                      PairStage& st) noexcept {
  const __m512i sub_bank =
      _mm512_set_epi64(7 * kSubBankBytes, 6 * kSubBankBytes, 5 * kSubBankBytes, 4 * kSubBankBytes,
                       3 * kSubBankBytes, 2 * kSubBankBytes, kSubBankBytes, 0);
  __m512i offset = _mm512_add_epi64(_mm512_andnot_si512(_mm512_set1_epi64(31), q), sub_bank);
  __mmask8 negative = _mm512_movepi64_mask(_mm512_xor_si512(x, y));
  offset =
      _mm512_mask_add_epi64(offset, negative, offset, _mm512_set1_epi64(PairBank::kNegRow * 32));
  offset = _mm512_mask_mov_epi64(
      _mm512_add_epi64(sub_bank, _mm512_set1_epi64(PairBank::kTrashRow * 32)), ordinary, offset);
  _mm512_store_si512(st.offset, offset);
}

// Cuts the exact products of eight pairs into their row offsets and pieces;
// the lanes in `lanes` that are not ordinary (see place_exact_products) are
// returned, and they and the lanes outside `lanes` point at the trash row.
TALLIX_IFMA inline __mmask8 pair_pieces(__m512i x, __m512i y, __mmask8 lanes,
                                        PairStage& st) noexcept {
  const __m512i exp_mask = _mm512_set1_epi64(0x7FF);
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
  stage_rows(product_pieces(x, y, q), st);
  stage_offsets(x, y, q, ordinary, st);
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
TALLIX_FMA_SITE TALLIX_IFMA bool place_other_pairs(const double* a, const double* b, __m512i x,
                                                   __m512i y, __mmask8 rest, int64_t* const* bins,
                                                   Bank& flags) noexcept {
  constexpr int kZero = 0x06, kNonFinite = 0x99;
  __m512d xd = _mm512_castsi512_pd(x), yd = _mm512_castsi512_pd(y);
  __mmask8 nothing = (_mm512_fpclass_pd_mask(xd, kZero) & ~_mm512_fpclass_pd_mask(yd, kNonFinite)) |
                     (_mm512_fpclass_pd_mask(yd, kZero) & ~_mm512_fpclass_pd_mask(xd, kNonFinite));
  __mmask8 others = static_cast<__mmask8>(rest & ~nothing);
  if (others == 0) return false;
  alignas(64) uint64_t lo_bin[place::kStageEntries];
  alignas(64) int64_t hi[place::kStageEntries];
  Products8 v = products8(a, b, others);
  split8(_mm512_castpd_si512(v.p), lo_bin, hi, flags);
  split8(_mm512_castpd_si512(v.e), lo_bin + 8, hi + 8, flags);
  place::scatter_entries(bins, lo_bin, hi, place::kStageEntries);
  return v.lost != 0;
}

// Stages of eight pairs as in place_products_avx512, the pieces of stage
// k + 1 formed while the rows of stage k are added.
TALLIX_IFMA bool place_exact_products_avx512(const double* a, const double* b, size_t n,
                                             PairBank& pairs, Bank* const* banks,
                                             Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  char* bank = reinterpret_cast<char*>(pairs.cells);
  bool lost = false;
  PairStage st[2];
  auto split_stage = [&](size_t at, size_t slot, __mmask8 lanes) TALLIX_IFMA {
    __m512i x = _mm512_castpd_si512(_mm512_maskz_loadu_pd(lanes, a + at));
    __m512i y = _mm512_castpd_si512(_mm512_maskz_loadu_pd(lanes, b + at));
    __mmask8 rest = pair_pieces(x, y, lanes, st[slot]);
    if (rest != 0) [[unlikely]]
      lost |= place_other_pairs(a + at, b + at, x, y, rest, bins, flags);
  };
  auto place_partial = [&](size_t at, size_t len) TALLIX_IFMA {
    split_stage(at, 0, static_cast<__mmask8>((1u << len) - 1));
    add_pair_rows(bank, st[0]);
  };
  size_t head = pairs_to_boundary(a, n);
  if (head > 0) place_partial(0, head);
  size_t stages = (n - head) / 8;
  if (stages > 0) {
    split_stage(head, 0, 0xFF);
    for (size_t k = 1; k < stages; ++k) {
      split_stage(head + 8 * k, k & 1, 0xFF);
      add_pair_rows(bank, st[(k & 1) ^ 1]);
    }
    add_pair_rows(bank, st[(stages - 1) & 1]);
  }
  size_t done = head + 8 * stages;
  if (done < n) place_partial(done, n - done);
  return lost;
}

// The AVX-512 forms, with exact products as integers.
Kernels with_exact_products(Kernels k) noexcept {
  k.place_exact_products = place_exact_products_avx512;
  return k;
}

}  // namespace

const Kernels& avx512_ifma_kernels() noexcept {
  static const Kernels k = with_exact_products(avx512_kernels());
  return k;
}

}  // namespace tallix

#else  // other processors have only the portable forms

namespace tallix {

const Kernels& avx512_ifma_kernels() noexcept { return portable_kernels(); }

}  // namespace tallix

#endif
