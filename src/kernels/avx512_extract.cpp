// Exact sums by error-free extraction in AVX-512 (bank.hpp, note 7): a block
// of values is read once for its largest and smallest magnitudes, then
// peeled level by level from a scratch copy in the first-level cache, each
// level costing four floating-point operations per value and no memory
// writes but the remainders.
#include <array>

#include "kernels/extract.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include "kernels/avx512_common.hpp"

namespace tallix {

namespace {

using namespace avx512;

// Round to nearest, no flushing of subnormals to zero (inputs or results),
// and no floating-point exception unmasked (a level's roundings would trap):
// the floating-point environment note 7 relies on.
bool default_fp_environment() noexcept {
  constexpr unsigned kFlushToZero = 0x8000, kRounding = 0x6000, kDenormalsAreZero = 0x40;
  constexpr unsigned kExceptionMasks = 0x1F80;
  unsigned csr = _mm_getcsr();
  return (csr & (kFlushToZero | kRounding | kDenormalsAreZero)) == 0 &&
         (csr & kExceptionMasks) == kExceptionMasks;
}

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
  int64_t units;  // the level's q's summed, in units of 2^unit_exp
  bool more;      // some remainder is not zero
};

// What a level leaves besides its sum: the remainders in `rest` (Pass), with
// whether one is non-zero (Keep), only the latter (Probe), or nothing (Last).
enum class Leave { Pass, Keep, Probe, Last };

// One level over a block: q's summed in 32 lanes of 32 (exact, note 7),
// four vector sums so that no chain of dependent additions sets the pace.
// sigma + x runs on the multiply-add units and the other operations on the
// adders, so both halves of the floating-point pipes share the work.
// Out of line (one call per level of 1,024 values), so that the build's check
// for stray fused multiply-adds finds these deliberate ones under their name.
template <Leave kLeave>
[[gnu::noinline]] TALLIX_AVX512 LevelSum extract_level(const double* src, double* rest,
                                                       int sigma_exp) noexcept {
  constexpr int kSums = 4;
  const __m512d one = _mm512_set1_pd(1.0), sigma = _mm512_set1_pd(pow2(sigma_exp));
  __m512d t[kSums];
  for (__m512d& v : t) v = _mm512_setzero_pd();
  __m512i left = _mm512_setzero_si512();
  __mmask8 differs = 0;
  for (size_t i = 0; i < kExtractBlock; i += 8 * kSums)
    for (int j = 0; j < kSums; ++j) {
      __m512d x = _mm512_loadu_pd(src + i + 8 * j);
      __m512d q = _mm512_sub_pd(_mm512_fmadd_pd(x, one, sigma), sigma);
      // Without remainders to form, half the sums go to the multiply-add
      // units, which then carry as many operations as the adders.
      constexpr bool kRemainders = kLeave == Leave::Pass || kLeave == Leave::Keep;
      if (!kRemainders && j % 2 == 1)
        t[j] = _mm512_fmadd_pd(q, one, t[j]);
      else
        t[j] = _mm512_add_pd(t[j], q);
      if constexpr (kRemainders) {
        __m512d r = _mm512_fnmadd_pd(q, one, x);
        if constexpr (kLeave == Leave::Keep) left = _mm512_or_si512(left, _mm512_castpd_si512(r));
        _mm512_store_pd(rest + i + 8 * j, r);
      } else if constexpr (kLeave == Leave::Probe) {
        differs |= _mm512_cmp_pd_mask(x, q, _CMP_NEQ_UQ);
      }
    }
  // The lane sums are multiples of the unit below 2^53 of it: scaling and
  // conversion are exact, and so is the integer total.
  const __m512d to_units = _mm512_set1_pd(-unit_exp(sigma_exp));
  __m512i units = _mm512_setzero_si512();
  for (__m512d v : t)
    units = _mm512_add_epi64(units, _mm512_cvtpd_epi64(_mm512_scalef_pd(v, to_units)));
  bool more = kLeave == Leave::Pass;
  if constexpr (kLeave == Leave::Keep)
    more = _mm512_test_epi64_mask(left, _mm512_set1_epi64(static_cast<int64_t>(kAbsMask))) != 0;
  if constexpr (kLeave == Leave::Probe) more = differs != 0;
  return {_mm512_reduce_add_epi64(units), more};
}

// Whether the level before the last planned one should only probe for
// remainders, by the number of planned levels: true while the last level was
// not needed by the latest block with that plan (plans are conservative, so
// the highest often needs one level less).
using Probes = std::array<bool, kExtractLevels + 1>;

// Adds one block to the limbs; false, with nothing added, when the plan sends
// it to the banks. Only the level before the last planned one asks whether a
// remainder is left (the earlier ones nearly always leave one, and going on
// without need costs time, not bits); one that probes and finds a remainder
// runs again keeping them. The plan keeps 47 (levels - 1) <= D + 53, so no
// level's sigma drops below 2^-1068.
TALLIX_AVX512 bool extract_block(const double* x, double* rest, Limbs& limbs,
                                 Probes& probes) noexcept {
  constexpr int kYield = 53 - kExtractSlack;
  Magnitudes m = block_magnitudes(x);
  if (m.max == 0) return true;
  ExtractPlan plan = plan_extraction(m.max, m.min_nz);
  if (plan.levels == 0) return false;
  bool& probe = probes[static_cast<size_t>(plan.levels)];
  const double* src = x;
  int sigma_exp = plan.sigma_exp;
  for (int level = 1; level < plan.levels - 1; ++level, sigma_exp -= kYield, src = rest)
    add_units(limbs, extract_level<Leave::Pass>(src, rest, sigma_exp).units, unit_exp(sigma_exp));
  if (probe) {
    LevelSum s = extract_level<Leave::Probe>(src, rest, sigma_exp);
    if (!s.more) return add_units(limbs, s.units, unit_exp(sigma_exp)), true;
    probe = false;
  }
  LevelSum s = extract_level<Leave::Keep>(src, rest, sigma_exp);
  add_units(limbs, s.units, unit_exp(sigma_exp));
  if (!s.more) return probe = true;
  sigma_exp -= kYield;
  add_units(limbs, extract_level<Leave::Last>(rest, nullptr, sigma_exp).units, unit_exp(sigma_exp));
  return true;
}

}  // namespace

size_t extract_sum_avx512(const double* xs, size_t n, Limbs& limbs) noexcept {
  if (!default_fp_environment()) return 0;
  alignas(64) double rest[kExtractBlock];
  Probes probes;
  probes.fill(true);
  size_t done = 0;
  for (; n - done >= kExtractBlock; done += kExtractBlock)
    if (!extract_block(xs + done, rest, limbs, probes)) break;
  return done;
}

}  // namespace tallix

#endif
