// AVX-512 forms of the batch kernels: eight values per step, with native
// 64-bit arithmetic shifts and lane masks.
#include "table.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include "avx512_common.hpp"
#include "extract.hpp"

namespace tallix {

namespace {

using namespace avx512;

// Splits stage b + 1 while the bank additions of stage b are still running
// (place.hpp).
TALLIX_AVX512 void place_avx512(const double* xs, size_t n, Bank* const* banks,
                                Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  size_t stages = n / place::kStageEntries;
  if (stages > 0) {
    alignas(64) uint64_t lo_bin[2][place::kStageEntries];
    alignas(64) int64_t hi[2][place::kStageEntries];
    split8(_mm512_loadu_si512(xs), lo_bin[0], hi[0], flags);
    split8(_mm512_loadu_si512(xs + 8), lo_bin[0] + 8, hi[0] + 8, flags);
    for (size_t b = 1; b < stages; ++b) {
      size_t cur = b & 1;
      split8(_mm512_loadu_si512(xs + b * place::kStageEntries), lo_bin[cur], hi[cur], flags);
      split8(_mm512_loadu_si512(xs + b * place::kStageEntries + 8), lo_bin[cur] + 8, hi[cur] + 8,
             flags);
      place::scatter_entries(bins, lo_bin[cur ^ 1], hi[cur ^ 1], place::kStageEntries);
    }
    size_t last = (stages - 1) & 1;
    place::scatter_entries(bins, lo_bin[last], hi[last], place::kStageEntries);
  }
  place::place_rest(xs, stages * place::kStageEntries, n, bins, flags);
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

TALLIX_FMA_SITE TALLIX_AVX512 bool products_avx512(const double* a, const double* b, size_t n,
                                                   double* p, double* e) noexcept {
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

// Full stages of eight pairs, with the products of stage k + 1 formed and
// split while the bank additions of stage k run; the partial stages before
// and after them are read with their missing lanes as zeros, which add
// nothing. Which bank takes which value thus differs from place, but not the
// banks' total.
TALLIX_FMA_SITE TALLIX_AVX512 bool place_products_avx512(const double* a, const double* b, size_t n,
                                                         Bank* const* banks, Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  __mmask8 lost = 0;
  alignas(64) uint64_t lo_bin[2][place::kStageEntries];
  alignas(64) int64_t hi[2][place::kStageEntries];
  auto split_stage = [&](size_t at, size_t slot, __mmask8 lanes) TALLIX_AVX512 {
    Products8 v = products8(a + at, b + at, lanes);
    lost |= v.lost;
    split8(_mm512_castpd_si512(v.p), lo_bin[slot], hi[slot], flags);
    split8(_mm512_castpd_si512(v.e), lo_bin[slot] + 8, hi[slot] + 8, flags);
  };
  auto place_partial = [&](size_t at, size_t len) TALLIX_AVX512 {
    split_stage(at, 0, static_cast<__mmask8>((1u << len) - 1));
    place::scatter_entries(bins, lo_bin[0], hi[0], place::kStageEntries);
  };
  size_t head = pairs_to_boundary(a, n);
  if (head > 0) place_partial(0, head);
  size_t stages = (n - head) / 8;
  if (stages > 0) {
    split_stage(head, 0, 0xFF);
    for (size_t k = 1; k < stages; ++k) {
      split_stage(head + 8 * k, k & 1, 0xFF);
      place::scatter_entries(bins, lo_bin[(k & 1) ^ 1], hi[(k & 1) ^ 1], place::kStageEntries);
    }
    place::scatter_entries(bins, lo_bin[(stages - 1) & 1], hi[(stages - 1) & 1],
                           place::kStageEntries);
  }
  size_t done = head + 8 * stages;
  if (done < n) place_partial(done, n - done);
  return lost != 0;
}

TALLIX_FMA_SITE TALLIX_AVX512 bool square_split_avx512(const double* x, size_t n, double* p,
                                                       double* e) noexcept {
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

constexpr Kernels kAvx512{
    .place = place_avx512,
    .absorb = absorb_avx512,
    .bin_range = bin_range_avx512,
    .round_f32 = round_f32_avx512,
    .products = products_avx512,
    .square_split = square_split_avx512,
    .place_products = place_products_avx512,
    .place_exact_products = nullptr,
    .extract_sum = extract_sum_avx512,
    .extract_products = nullptr,
};

}  // namespace

const Kernels& avx512_kernels() noexcept { return kAvx512; }

}  // namespace tallix

#else  // other processors have only the portable forms

namespace tallix {

const Kernels& avx512_kernels() noexcept { return portable_kernels(); }

}  // namespace tallix

#endif
