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
// Only additions, subtractions, comparisons and integer additions of bit
// patterns touch the values, except in a form's product routine (Fma or
// Dekker below). Every form adds the same exact integers to the limbs, so the
// bytes cannot depend on the form; where a block's plan differs (the forms
// need not agree on it) only the speed does.
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

template <int W>
struct Lanes;
template <>
struct Lanes<2> {
  typedef double F __attribute__((vector_size(16)));
  typedef uint64_t U __attribute__((vector_size(16)));
  typedef int64_t I __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
  typedef double F __attribute__((vector_size(32)));
  typedef uint64_t U __attribute__((vector_size(32)));
  typedef int64_t I __attribute__((vector_size(32)));
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

// Exponent fields as doubles (every other bit cleared): non-negative, so
// they order as their patterns do, and compare with the plain double
// instructions of every instruction set.
template <int W>
struct ExponentRange {
  using L = Lanes<W>;
  typename L::F hi;  // the exponent of the largest magnitude
  typename L::F lo;  // that of the smallest non-zero one, minus one binade at most
};

// The largest and smallest non-zero magnitudes of n values (n a multiple of
// 4 W), as the exponents plan_extraction reads. A zero's pattern minus one
// wraps to the top, leaving it out of the minimum; a power of two's drops a
// binade, which only widens the plan.
template <int W>
TALLIX_LANES_INLINE void widen(ExponentRange<W>& r, typename Lanes<W>::F x) noexcept {
  using L = Lanes<W>;
  const typename L::U exp = typename L::U{} + kInfBits, abs = typename L::U{} + kAbsMask;
  typename L::U bits = as<typename L::U>(x);
  typename L::F e = as<typename L::F>(bits & exp);
  typename L::F e_low = as<typename L::F>(((bits & abs) - 1) & exp);
  r.hi = r.hi > e ? r.hi : e;
  r.lo = r.lo < e_low ? r.lo : e_low;
}

template <int W>
TALLIX_LANES_INLINE ExponentRange<W> empty_range() noexcept {
  using F = typename Lanes<W>::F;
  return {F{}, splat<F>(std::bit_cast<double>(kInfBits))};
}

template <int W>
TALLIX_LANES_INLINE ExponentRange<W> join(ExponentRange<W> a, ExponentRange<W> b) noexcept {
  a.hi = a.hi > b.hi ? a.hi : b.hi;
  a.lo = a.lo < b.lo ? a.lo : b.lo;
  return a;
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
    m.max = std::max(m.max, std::bit_cast<uint64_t>(r.hi[i]));
    m.min_nz = std::min(m.min_nz, std::bit_cast<uint64_t>(r.lo[i]));
  }
  return m;
}

template <int W, size_t N>
TALLIX_LANES_INLINE Magnitudes block_magnitudes(const double* x) noexcept {
  using F = typename Lanes<W>::F;
  ExponentRange<W> r[4] = {empty_range<W>(), empty_range<W>(), empty_range<W>(), empty_range<W>()};
  for (size_t i = 0; i < N; i += 4 * W)
    for (int j = 0; j < 4; ++j) widen<W>(r[j], load<F>(x + i + W * j));
  return reduce<W>(join<W>(join<W>(r[0], r[1]), join<W>(r[2], r[3])));
}

struct LevelSum {
  int64_t units;  // the level's q's summed, in units of its binade's spacing
  bool more;      // some remainder is not zero
};

// What a level leaves besides its sum: the remainders in `rest` (Pass), with
// whether one is non-zero (Keep), or nothing (Last).
enum class Leave { Pass, Keep, Last };

// One level over N values in binade s (note 7): a = sigma + x, the patterns
// of the a's summed as integers in four vectors, and the remainders
// x - (a - sigma) where they are wanted.
// The next block's values, fetched into the cache while a level runs, so
// that the memory keeps streaming while the levels work on the cache (null:
// none to fetch).
struct Ahead {
  const double* a = nullptr;
  const double* b = nullptr;
};

template <int W>
TALLIX_LANES_INLINE void fetch(const double* p, size_t i) noexcept {
  if (p == nullptr) return;
  for (size_t line = 0; line < 4 * W; line += 8) __builtin_prefetch(p + i + line);
}

template <int W, size_t N, Leave kLeave>
TALLIX_LANES_INLINE LevelSum extract_level(const double* src, double* rest, int binade,
                                           Ahead ahead = {}) noexcept {
  using L = Lanes<W>;
  using F = typename L::F;
  using U = typename L::U;
  const double offset = extraction_offset(binade);
  const F sigma = splat<F>(offset);
  U t[4] = {}, left = {};
  for (size_t i = 0; i < N; i += 4 * W) {
    fetch<W>(ahead.a, i);
    fetch<W>(ahead.b, i);
    for (int j = 0; j < 4; ++j) {
      F x = load<F>(src + i + W * j);
      F a = x + sigma;
      t[j] += as<U>(a);
      if constexpr (kLeave != Leave::Last) {
        F r = x - (a - sigma);
        if constexpr (kLeave == Leave::Keep) left |= as<U>(r);
        store(rest + i + W * j, r);
      }
    }
  }
  // The patterns were added with wrap-around (unsigned lanes); taking off
  // N times sigma's pattern leaves the sum of the m's, which fits.
  U all = (t[0] + t[1]) + (t[2] + t[3]);
  uint64_t total = 0 - N * std::bit_cast<uint64_t>(offset);
  uint64_t any = 0;
  for (int i = 0; i < W; ++i) {
    total += all[i];
    any |= left[i] & kAbsMask;
  }
  return {static_cast<int64_t>(total), kLeave == Leave::Pass || any != 0};
}

// Adds N values to the limbs by the plan made from their magnitudes. Only
// the level before the last planned one asks whether a remainder is left
// (the earlier ones nearly always leave one, and going on without need costs
// time, not bits). The plan keeps every level's binade at -1072 or above.
template <int W, size_t N>
TALLIX_LANES_INLINE void extract_planned(const double* x, double* rest, ExtractPlan plan,
                                         Limbs& limbs, Ahead ahead = {}) noexcept {
  constexpr int kYield = 53 - kExtractSlack;  // binades from one level to the next
  const double* src = x;
  int binade = plan.binade;
  for (int level = 1; level < plan.levels - 1; ++level, binade -= kYield, src = rest) {
    add_level(limbs, extract_level<W, N, Leave::Pass>(src, rest, binade, ahead).units, binade);
    ahead = {};
  }
  LevelSum s = extract_level<W, N, Leave::Keep>(src, rest, binade, ahead);
  add_level(limbs, s.units, binade);
  if (!s.more) return;
  binade -= kYield;
  add_level(limbs, extract_level<W, N, Leave::Last>(rest, nullptr, binade).units, binade);
}

// The exact sum of whole blocks of kExtractBlock values from the front of
// xs, stopping before the first block the plan sends to the banks; returns
// the number of values added.
template <int W>
TALLIX_LANES_INLINE size_t extract_sum(const double* xs, size_t n, Limbs& limbs) noexcept {
  constexpr size_t N = kExtractBlock;
  if (!extraction_environment()) return 0;
  alignas(64) double rest[N];
  size_t done = 0;
  for (; n - done >= N; done += N) {
    Magnitudes m = block_magnitudes<W, N>(xs + done);
    if (m.all_zero()) continue;
    ExtractPlan plan = plan_extraction(m.max, m.min_nz, kExtractLevels);
    if (plan.levels == 0) break;
    Ahead ahead{n - done >= 2 * N ? xs + done + N : nullptr};
    extract_planned<W, N>(xs + done, rest, plan, limbs, ahead);
  }
  return done;
}

// Products: a form's routine gives p = fl(a b) and e, with p + e = a b
// exactly wherever the block passes the checks of extract_products.
template <int W>
struct ProductBlock {
  using L = Lanes<W>;
  typename L::I suspect;  // a lane held non-zero factors whose product may lose bits
  ExponentRange<W> p, e;
};

// The rounded products and their errors of N pairs into p and e, with the
// magnitudes of both and whether split_loses_exactness may hold for a pair
// (non-zero factors and |p| < 2^-968); Product::error gives the error.
template <int W, size_t N, class Product>
TALLIX_LANES_INLINE ProductBlock<W> split_products(const double* a, const double* b, double* p,
                                                   double* e) noexcept {
  using L = Lanes<W>;
  using F = typename L::F;
  const F zero{}, safe = splat<F>(kSplitSafe);
  const typename L::U abs = typename L::U{} + kAbsMask;
  ProductBlock<W> out{typename L::I{}, empty_range<W>(), empty_range<W>()};
  for (size_t i = 0; i < N; i += W) {
    F x = load<F>(a + i), y = load<F>(b + i);
    F pi = x * y;
    F ei = Product::error(x, y, pi);
    F mag = as<F>(as<typename L::U>(pi) & abs);
    out.suspect |= (x != zero) & (y != zero) & (mag < safe);
    widen<W>(out.p, pi);
    widen<W>(out.e, ei);
    store(p + i, pi);
    store(e + i, ei);
  }
  return out;
}

// Adds the exact products of whole blocks of kExtractPairs pairs to the
// limbs, stopping before the first block that a check or a plan sends to
// the banks (non-finite or huge products or errors, a pair that may lose
// bits, a spread too wide); returns the number of pairs added.
template <int W, class Product>
TALLIX_LANES_INLINE size_t extract_products(const double* a, const double* b, size_t n,
                                            Limbs& limbs) noexcept {
  constexpr size_t N = kExtractPairs;
  if (!extraction_environment()) return 0;
  alignas(64) double p[N], e[N], rest[N];
  size_t done = 0;
  for (; n - done >= N; done += N) {
    ProductBlock<W> block = split_products<W, N, Product>(a + done, b + done, p, e);
    uint64_t suspect = 0;
    for (int i = 0; i < W; ++i) suspect |= static_cast<uint64_t>(block.suspect[i]);
    Magnitudes mp = reduce<W>(block.p), me = reduce<W>(block.e);
    ExtractPlan pp = plan_extraction(mp.max, mp.min_nz, kExtractProductLevels);
    ExtractPlan pe = plan_extraction(me.max, me.min_nz, kExtractProductLevels);
    bool p_zero = mp.all_zero(), e_zero = me.all_zero();
    if (suspect != 0 || (!p_zero && pp.levels == 0) || (!e_zero && pe.levels == 0)) break;
    Ahead ahead{};
    if (n - done >= 2 * N) ahead = {a + done + N, b + done + N};
    if (!p_zero) extract_planned<W, N>(p, rest, pp, limbs, ahead);
    if (!e_zero) extract_planned<W, N>(e, rest, pe, limbs);
  }
  return done;
}

}  // namespace lanes
}  // namespace
}  // namespace tallix
