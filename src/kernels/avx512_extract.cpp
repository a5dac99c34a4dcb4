// Exact sums by error-free extraction in AVX-512 (bank.hpp, note 7): a block
// of values is read once for its largest and smallest magnitudes, then
// peeled level by level from a scratch copy in the first-level cache, each
// level costing at most four vector operations per eight values and no
// memory writes but the remainders.
#include "extract.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include "avx512_common.hpp"

namespace tallix {

namespace {

using namespace avx512;

struct Magnitudes {
  uint64_t max;     // the largest, as bits without sign
  uint64_t min_nz;  // the smallest non-zero one
};

// Four running maxima and minima, so that no chain of dependent compares
// sets the pace.
TALLIX_AVX512 Magnitudes block_magnitudes(const double* x) noexcept {
  constexpr int kRuns = 4;
  const __m512i abs = _mm512_set1_epi64(static_cast<int64_t>(kAbsMask));
  const __m512i one = _mm512_set1_epi64(1);
  __m512i hi[kRuns], lo[kRuns];
  for (int j = 0; j < kRuns; ++j) {
    hi[j] = _mm512_setzero_si512();
    lo[j] = _mm512_set1_epi64(-1);
  }
  for (size_t i = 0; i < kExtractBlock; i += 8 * kRuns)
    for (int j = 0; j < kRuns; ++j) {
      __m512i m = _mm512_and_si512(_mm512_loadu_si512(x + i + 8 * j), abs);
      hi[j] = _mm512_max_epu64(hi[j], m);
      lo[j] = _mm512_min_epu64(lo[j], _mm512_sub_epi64(m, one));  // zeros wrap to the top
    }
  __m512i h = _mm512_max_epu64(_mm512_max_epu64(hi[0], hi[1]), _mm512_max_epu64(hi[2], hi[3]));
  __m512i l = _mm512_min_epu64(_mm512_min_epu64(lo[0], lo[1]), _mm512_min_epu64(lo[2], lo[3]));
  return {_mm512_reduce_max_epu64(h), _mm512_reduce_min_epu64(l) + 1};
}

struct LevelSum {
  int64_t units;  // the level's q's summed, in units of its binade's spacing
  bool more;      // some remainder is not zero
};

// What a level leaves besides its sum: the remainders in `rest` (Pass), with
// whether one is non-zero (Keep), or nothing (Last).
enum class Leave { Pass, Keep, Last };

// One level over a block in binade s (note 7): a = sigma + x on the
// multiply-add units, the bit patterns of the a's summed as integers in four
// vectors, and the remainders x - (a - sigma) where they are wanted.
// Out of line (one call per level of 1,024 values), so that these deliberate
// fused multiply-adds stay in a routine marked to hold them.
template <Leave kLeave>
[[gnu::noinline]] TALLIX_FMA_SITE TALLIX_AVX512 LevelSum extract_level(const double* src,
                                                                       double* rest,
                                                                       int binade) noexcept {
  constexpr int kSums = 4;
  const double offset = extraction_offset(binade);
  const __m512d one = _mm512_set1_pd(1.0), sigma = _mm512_set1_pd(offset);
  __m512i t[kSums];
  for (__m512i& v : t) v = _mm512_setzero_si512();
  __m512i left = _mm512_setzero_si512();
  for (size_t i = 0; i < kExtractBlock; i += 8 * kSums)
    for (int j = 0; j < kSums; ++j) {
      __m512d x = _mm512_loadu_pd(src + i + 8 * j);
      __m512d a = _mm512_fmadd_pd(x, one, sigma);
      t[j] = _mm512_add_epi64(t[j], _mm512_castpd_si512(a));
      if constexpr (kLeave != Leave::Last) {
        __m512d r = _mm512_fnmadd_pd(_mm512_sub_pd(a, sigma), one, x);
        if constexpr (kLeave == Leave::Keep) left = _mm512_or_si512(left, _mm512_castpd_si512(r));
        _mm512_store_pd(rest + i + 8 * j, r);
      }
    }
  // The patterns were added with wrap-around; taking off the block's count
  // of sigma's pattern leaves the sum of the m's, which fits.
  // (Lane by lane in unsigned arithmetic: the library's reduction adds as
  // signed integers, whose wrap-around is undefined.)
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes,
                     _mm512_add_epi64(_mm512_add_epi64(t[0], t[1]), _mm512_add_epi64(t[2], t[3])));
  uint64_t total = 0 - kExtractBlock * std::bit_cast<uint64_t>(offset);
  for (uint64_t lane : lanes) total += lane;
  bool more = kLeave == Leave::Pass;
  if constexpr (kLeave == Leave::Keep)
    more = _mm512_test_epi64_mask(left, _mm512_set1_epi64(static_cast<int64_t>(kAbsMask))) != 0;
  return {static_cast<int64_t>(total), more};
}

// Adds one block to the limbs; false, with nothing added, when the plan sends
// it to the banks. Only the level before the last planned one asks whether a
// remainder is left (the earlier ones nearly always leave one, and going on
// without need costs time, not bits). The plan keeps every level's binade at
// -1072 or above.
TALLIX_AVX512 bool extract_block(const double* x, double* rest, Limbs& limbs) noexcept {
  constexpr int kYield = 53 - kExtractSlack;  // binades from one level to the next
  Magnitudes m = block_magnitudes(x);
  if (m.max == 0) return true;
  ExtractPlan plan = plan_extraction(m.max, m.min_nz, kExtractLevels);
  if (plan.levels == 0) return false;
  const double* src = x;
  int binade = plan.binade;
  for (int level = 1; level < plan.levels - 1; ++level, binade -= kYield, src = rest)
    add_level(limbs, extract_level<Leave::Pass>(src, rest, binade).units, binade);
  LevelSum s = extract_level<Leave::Keep>(src, rest, binade);
  add_level(limbs, s.units, binade);
  if (!s.more) return true;
  binade -= kYield;
  add_level(limbs, extract_level<Leave::Last>(rest, nullptr, binade).units, binade);
  return true;
}

}  // namespace

size_t extract_sum_avx512(const double* xs, size_t n, Limbs& limbs) noexcept {
  if (!extraction_environment()) return 0;
  alignas(64) double rest[kExtractBlock];
  size_t done = 0;
  for (; n - done >= kExtractBlock; done += kExtractBlock)
    if (!extract_block(xs + done, rest, limbs)) break;
  return done;
}

}  // namespace tallix

#endif
