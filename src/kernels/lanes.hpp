// Error-free extraction (bank.hpp, note 7) written once over a vector of W
// doubles in the compiler's generic vector types: sums of values, and sums of
// products as their rounded values plus their exact errors. A form
// instantiates it inside a routine compiled for its instruction set, so the
// same text becomes SSE2 (x86-64 baseline), NEON (aarch64) or AVX2 code.
// The includer defines TALLIX_LANES_TARGET, the instruction set of its form
// (empty for the baseline), before including this header; every routine here
// takes it and is forced inline, and the namespace is the file's own, so no
// copy built for one form can stand in for another's.
//
// Only additions and subtractions (a form may run one as a multiply-add by
// one, rounded alike), comparisons and integer additions of bit patterns touch
// the values, except in a form's product error (an fma, or Dekker's product,
// in the form's own file). Every form adds the same exact integers to the
// limbs, so the bytes cannot depend on the form; where a block's plan differs
// (the forms need not agree on it) only the speed does.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "extract.hpp"

#if !defined(TALLIX_LANES_TARGET)
#error "define TALLIX_LANES_TARGET, the form's instruction set, before including lanes.hpp"
#endif
#define TALLIX_LANES_INLINE [[gnu::always_inline]] inline TALLIX_LANES_TARGET

namespace tallix {
namespace {  // NOLINT: each form's own copy
namespace lanes {

// W lanes of doubles, of their patterns as unsigned and signed integers, and
// of the 32-bit halves of the patterns.
template <int W>
struct Lanes {
  typedef double F __attribute__((vector_size(8 * W)));
  typedef uint64_t U __attribute__((vector_size(8 * W)));
  typedef int64_t I __attribute__((vector_size(8 * W)));
  typedef uint32_t U32 __attribute__((vector_size(8 * W)));
};

template <class V>
TALLIX_LANES_INLINE V load(const double* p) noexcept {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
TALLIX_LANES_INLINE void store(double* p, V v) noexcept {
  std::memcpy(p, &v, sizeof v);
}
template <class V>
TALLIX_LANES_INLINE V splat(double x) noexcept {
  return V{} + x;
}
template <class To, class From>
TALLIX_LANES_INLINE To as(From v) noexcept {
  return __builtin_bit_cast(To, v);
}

template <class V>
TALLIX_LANES_INLINE V larger(V a, V b) noexcept {
  return a > b ? a : b;
}
template <class V>
TALLIX_LANES_INLINE V smaller(V a, V b) noexcept {
  return a < b ? a : b;
}

// The largest and smallest non-zero magnitudes of a run of values, as the
// exponents plan_extraction reads, lane by lane. Where 32-bit unsigned
// maxima and minima are single instructions (AVX2, NEON), a range keeps the
// high words of the magnitudes, which order as their exponents do; the
// x86-64 baseline has them only for doubles, so there it keeps exponent
// fields (every other bit cleared) as doubles, which order as their
// patterns do. A zero's pattern minus one wraps to the top, leaving it out of
// the minimum; a power of two's drops a binade, which only widens the plan.
// Either way the exponent fields of hi and lo are what counts.
#if defined(__aarch64__)
template <int W>
inline constexpr bool kWordRanges = true;
#else
template <int W>
inline constexpr bool kWordRanges = W > 2;
#endif

template <int W>
struct ExponentRange {
  typename Lanes<W>::U hi;  // the largest magnitude's exponent field
  typename Lanes<W>::U lo;  // the smallest non-zero one's, minus one binade at most
};

template <int W>
TALLIX_LANES_INLINE ExponentRange<W> join(ExponentRange<W> a, ExponentRange<W> b) noexcept {
  using L = Lanes<W>;
  if constexpr (kWordRanges<W>) {
    using V = typename L::U32;
    return {as<typename L::U>(larger(as<V>(a.hi), as<V>(b.hi))),
            as<typename L::U>(smaller(as<V>(a.lo), as<V>(b.lo)))};
  } else {
    using V = typename L::F;
    return {as<typename L::U>(larger(as<V>(a.hi), as<V>(b.hi))),
            as<typename L::U>(smaller(as<V>(a.lo), as<V>(b.lo)))};
  }
}

template <int W>
TALLIX_LANES_INLINE void widen(ExponentRange<W>& r, typename Lanes<W>::F x) noexcept {
  using U = typename Lanes<W>::U;
  const U abs = U{} + kAbsMask, exp = U{} + kInfBits;
  U mag = as<U>(x) & abs;
  if constexpr (kWordRanges<W>)
    r = join<W>(r, {mag, mag - 1});
  else
    r = join<W>(r, {mag & exp, (mag - 1) & exp});
}

template <int W>
TALLIX_LANES_INLINE ExponentRange<W> empty_range() noexcept {
  using U = typename Lanes<W>::U;
  return {U{}, U{} + kInfBits};
}

struct Magnitudes {
  uint64_t max;     // bits of the largest exponent field (0 for subnormals too)
  uint64_t min_nz;  // bits of the smallest non-zero one's (see widen)

  bool all_zero() const noexcept { return max == 0 && min_nz == kInfBits; }
};

template <int W>
TALLIX_LANES_INLINE Magnitudes reduce(ExponentRange<W> r) noexcept {
  Magnitudes m{0, kInfBits};
  for (int i = 0; i < W; ++i) {
    m.max = std::max(m.max, r.hi[i] & kInfBits);
    m.min_nz = std::min(m.min_nz, r.lo[i] & kInfBits);
  }
  return m;
}

// The totals of K consecutive levels, each its q's summed in units of its
// binade's spacing.
template <int K>
struct LevelSums {
  int64_t units[K];
};

// What the last of a pass's levels leaves besides its sum: the remainders in
// `rest` (Pass), or nothing (Last).
enum class Leave { Pass, Last };

// Work on the next block done beside the first pass over this one, so that
// the memory keeps streaming while the levels run on the cache: the
// magnitudes of its values gathered (Scan, for sums), or its factors fetched
// (Fetch, for products); or nothing (Idle).
struct Idle {
  template <int kVectors>
  TALLIX_LANES_INLINE void at(size_t) noexcept {}
};

template <int W>
struct Scan {
  const double* next;
  ExponentRange<W> range;

  template <int kVectors>
  TALLIX_LANES_INLINE void at(size_t i) noexcept {
    using F = typename Lanes<W>::F;
    for (int j = 0; j < kVectors; ++j) widen<W>(range, load<F>(next + i + W * j));
  }
};

template <int W, size_t N>
TALLIX_LANES_INLINE Magnitudes block_magnitudes(const double* x) noexcept {
  Scan<W> scan{x, empty_range<W>()};
  for (size_t i = 0; i < N; i += 4 * W) scan.template at<4>(i);
  return reduce<W>(scan.range);
}

template <int W>
struct Fetch {
  const double* a;
  const double* b;

  template <int kVectors>
  TALLIX_LANES_INLINE void at(size_t i) noexcept {
    for (size_t line = 0; line < kVectors * W; line += 8) {
      __builtin_prefetch(a + i + line);
      __builtin_prefetch(b + i + line);
    }
  }
};

// K consecutive levels over N values in one pass (note 7), the first in
// binade s, each next one 51 binades lower: level k adds a = sigma_k + x,
// summing the patterns of the a's as integers, and hands x - (a - sigma_k)
// on to level k + 1 in a register; what the last leaves is handled as
// kLeave says. Two levels to a pass halve the stores of the remainders, and
// three need none; a pass of three keeps fewer vectors in flight, so that its
// sums stay in registers.
template <class Form, size_t N, int K, Leave kLeave, class Side>
TALLIX_LANES_INLINE LevelSums<K> extract_levels(const double* src, double* rest, int binade,
                                                Side& side) noexcept {
  constexpr int W = Form::kWidth;
  using L = Lanes<W>;
  using F = typename L::F;
  using U = typename L::U;
  constexpr int kYield = 53 - kExtractSlack;  // binades from one level to the next
  double offset[K];
  F sigma[K];
  for (int k = 0; k < K; ++k) {
    offset[k] = extraction_offset(binade - k * kYield);
    sigma[k] = splat<F>(offset[k]);
  }
  constexpr int kRun = K > 2 ? 2 : 4;  // vectors a step
  U t[K][kRun] = {};
  for (size_t i = 0; i < N; i += kRun * W) {
    side.template at<kRun>(i);
    for (int j = 0; j < kRun; ++j) {
      F x = load<F>(src + i + W * j);
      for (int k = 0; k < K; ++k) {
        F a = Form::plus(x, sigma[k]);
        t[k][j] += as<U>(a);
        if (k + 1 < K || kLeave != Leave::Last) x = Form::minus(x, a - sigma[k]);
      }
      if constexpr (kLeave != Leave::Last) store(rest + i + W * j, x);
    }
  }
  // The patterns were added with wrap-around (unsigned lanes); taking off
  // N times sigma's pattern leaves the sum of the m's, which fits.
  LevelSums<K> out;
  for (int k = 0; k < K; ++k) {
    U all = t[k][0];
    for (int j = 1; j < kRun; ++j) all += t[k][j];
    uint64_t total = 0 - N * std::bit_cast<uint64_t>(offset[k]);
    for (int i = 0; i < W; ++i) total += all[i];
    out.units[k] = static_cast<int64_t>(total);
  }
  return out;
}

template <int K>
TALLIX_LANES_INLINE void add_levels(Limbs& limbs, const LevelSums<K>& sums, int binade) noexcept {
  for (int k = 0; k < K; ++k) add_level(limbs, sums.units[k], binade - k * (53 - kExtractSlack));
}

// Two or three levels in one pass, their remainders stored (Pass) or not.
template <class Form, size_t N, Leave kLeave, class Side>
TALLIX_LANES_INLINE void extract_pass(const double* src, double* rest, int levels, int binade,
                                      Limbs& limbs, Side& side) noexcept {
  if (levels == 3)
    add_levels(limbs, extract_levels<Form, N, 3, kLeave>(src, rest, binade, side), binade);
  else
    add_levels(limbs, extract_levels<Form, N, 2, kLeave>(src, rest, binade, side), binade);
}

// A form's plus and minus as the vector unit's own additions.
template <int W>
struct PlainAdds {
  using F = typename Lanes<W>::F;
  static constexpr int kWidth = W;
  TALLIX_LANES_INLINE static F plus(F x, F sigma) noexcept { return x + sigma; }
  TALLIX_LANES_INLINE static F minus(F x, F q) noexcept { return x - q; }
};

// Adds N values to the limbs by the plan made from their magnitudes: two or
// three levels a pass (three while more than five are left), the last pass
// storing nothing; the first pass does the side's work. The plan keeps every
// level's binade at -1072 or above.
template <class Form, size_t N, class Side>
TALLIX_LANES_INLINE void extract_planned(const double* x, double* rest, ExtractPlan plan,
                                         Limbs& limbs, Side& side) noexcept {
  constexpr int kYield = 53 - kExtractSlack;  // binades from one level to the next
  int binade = plan.binade, levels = plan.levels;
  if (levels <= 3)
    return extract_pass<Form, N, Leave::Last>(x, nullptr, levels, binade, limbs, side);
  int now = levels > 5 ? 3 : 2;
  extract_pass<Form, N, Leave::Pass>(x, rest, now, binade, limbs, side);
  Idle idle;
  for (levels -= now, binade -= now * kYield; levels > 3; levels -= now, binade -= now * kYield) {
    now = levels > 5 ? 3 : 2;
    extract_pass<Form, N, Leave::Pass>(rest, rest, now, binade, limbs, idle);
  }
  extract_pass<Form, N, Leave::Last>(rest, nullptr, levels, binade, limbs, idle);
}

// The exact sum of whole blocks of kExtractBlock values from the front of
// xs, stopping before the first block the plan sends to the banks; returns
// the number of values added.
template <class Form>
TALLIX_LANES_INLINE size_t extract_sum(const double* xs, size_t n, Limbs& limbs) noexcept {
  constexpr int W = Form::kWidth;
  constexpr size_t N = kExtractBlock;
  if (!extraction_environment() || n < N) return 0;
  alignas(64) double rest[N];
  Magnitudes m = block_magnitudes<W, N>(xs);
  size_t done = 0;
  for (; n - done >= N; done += N) {
    const double* next = n - done >= 2 * N ? xs + done + N : nullptr;
    ExtractPlan plan = plan_extraction(m.max, m.min_nz, kExtractLevels);
    if (!m.all_zero() && plan.levels == 0) break;
    if (next == nullptr) {
      Idle idle;
      if (!m.all_zero()) extract_planned<Form, N>(xs + done, rest, plan, limbs, idle);
    } else if (!m.all_zero()) {
      Scan<W> scan{next, empty_range<W>()};
      extract_planned<Form, N>(xs + done, rest, plan, limbs, scan);
      m = reduce<W>(scan.range);
    } else {
      m = block_magnitudes<W, N>(next);
    }
  }
  return done;
}

// A form gives its width kWidth and three routines on vectors of that many
// doubles: plus(x, sigma) and minus(x, q), the rounded x + sigma and x - q
// (however its processor adds best; PlainAdds as IEEE adds), and error(a, b,
// p), the error of the
// rounded product p = fl(a b), with p + e = a b exactly wherever the block
// passes the checks of extract_products (bank.hpp, note 8). kErrorsMayOverflow
// says that an error can be non-finite where p is finite (an overflow inside
// it).
template <int W>
struct ProductBlock {
  using L = Lanes<W>;
  typename L::I small;  // a lane held |p| < 2^-968 (zeros included)
  ExponentRange<W> p;   // the products' exponents
  typename L::F e_top;  // the errors' largest exponent, where they may overflow
};

// The rounded products and their errors of N pairs into p and e, with what
// the checks of extract_products need.
template <class Form, size_t N, int W = Form::kWidth>
TALLIX_LANES_INLINE ProductBlock<W> split_products(const double* a, const double* b, double* p,
                                                   double* e) noexcept {
  using L = Lanes<W>;
  using F = typename L::F;
  using U = typename L::U;
  const F safe = splat<F>(kSplitSafe);
  const U abs = U{} + kAbsMask, exp = U{} + kInfBits;
  ProductBlock<W> out{typename L::I{}, empty_range<W>(), F{}};
  for (size_t i = 0; i < N; i += W) {
    F x = load<F>(a + i), y = load<F>(b + i);
    F pi = x * y;
    F ei = Form::error(x, y, pi);
    out.small |= as<F>(as<U>(pi) & abs) < safe;
    widen<W>(out.p, pi);
    if constexpr (Form::kErrorsMayOverflow) {
      F top = as<F>(as<U>(ei) & exp);
      out.e_top = out.e_top > top ? out.e_top : top;
    }
    store(p + i, pi);
    store(e + i, ei);
  }
  return out;
}

// Whether split_loses_exactness may hold for a pair of the block: non-zero
// factors whose product is below 2^-968. Asked only of blocks with a small
// or zero product.
template <int W, size_t N>
TALLIX_LANES_INLINE bool may_lose(const double* a, const double* b, const double* p) noexcept {
  using L = Lanes<W>;
  using F = typename L::F;
  const F zero{}, safe = splat<F>(kSplitSafe);
  typename L::I lost{};
  for (size_t i = 0; i < N; i += W) {
    F x = load<F>(a + i), y = load<F>(b + i), pi = load<F>(p + i);
    lost |= (x != zero) & (y != zero) & ((pi < zero ? -pi : pi) < safe);
  }
  uint64_t any = 0;
  for (int i = 0; i < W; ++i) any |= static_cast<uint64_t>(lost[i]);
  return any != 0;
}

// The plan of a block's errors from its products' exponents alone (note 8):
// 53 binades below the largest product, 106 below the smallest. The bound is
// wider than the errors' own range by a level at most, and spares a pass over
// them.
TALLIX_LANES_INLINE ExtractPlan plan_errors(const Magnitudes& p) noexcept {
  constexpr uint64_t kBelowTop = uint64_t{53} << 52, kBelowLowest = uint64_t{106} << 52;
  uint64_t top = p.max > kBelowTop ? p.max - kBelowTop : 0;
  uint64_t bottom = p.min_nz > kBelowLowest ? p.min_nz - kBelowLowest : 0;
  return plan_extraction(top, bottom, kExtractProductLevels);
}

// Adds the exact products of whole blocks of kExtractPairs pairs to the
// limbs, stopping before the first block that a check or a plan sends to
// the banks (non-finite or huge products or errors, a pair that may lose
// bits, a spread too wide); returns the number of pairs added.
template <class Form>
TALLIX_LANES_INLINE size_t extract_products(const double* a, const double* b, size_t n,
                                            Limbs& limbs) noexcept {
  constexpr int W = Form::kWidth;
  constexpr size_t N = kExtractPairs;
  if (!extraction_environment()) return 0;
  alignas(64) double p[N], e[N], rest[N];
  size_t done = 0;
  for (; n - done >= N; done += N) {
    ProductBlock<W> block = split_products<Form, N>(a + done, b + done, p, e);
    Magnitudes mp = reduce<W>(block.p);
    if (mp.all_zero()) continue;  // zero factors only: every error is zero too
    uint64_t small = 0, e_top = 0;
    for (int i = 0; i < W; ++i) {
      small |= static_cast<uint64_t>(block.small[i]);
      e_top = std::max(e_top, std::bit_cast<uint64_t>(block.e_top[i]));
    }
    ExtractPlan pp = plan_extraction(mp.max, mp.min_nz, kExtractProductLevels);
    ExtractPlan pe = plan_errors(mp);
    if (pp.levels == 0 || pe.levels == 0 || e_top >= kInfBits) break;
    if (small != 0 && may_lose<W, N>(a + done, b + done, p)) break;
    Idle idle;
    if (n - done >= 3 * N) {
      Fetch<W> fetch{a + done + 2 * N, b + done + 2 * N};
      extract_planned<Form, N>(p, rest, pp, limbs, fetch);
    } else {
      extract_planned<Form, N>(p, rest, pp, limbs, idle);
    }
    extract_planned<Form, N>(e, rest, pe, limbs, idle);
  }
  return done;
}

}  // namespace lanes
}  // namespace
}  // namespace tallix
