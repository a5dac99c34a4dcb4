// The banked sums against the plain add loop, on every kernel form.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "binary64.hpp"
#include "check.hpp"
#include "dot.hpp"
#include "fast.hpp"
#include "kernels/table.hpp"

using namespace tallix;

namespace {

std::vector<double> wide_values(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> xs(n);
  for (double& x : xs) {
    // Any bit pattern: every exponent, subnormals, zeros, NaNs and infinities.
    x = std::bit_cast<double>(rng());
    if (rng() % 64 == 0) x = 0.0;
  }
  return xs;
}

std::vector<double> finite_values(size_t n, uint32_t seed) {
  std::vector<double> xs = wide_values(n, seed);
  for (double& x : xs)
    if (!std::isfinite(x)) x = 1.5;
  return xs;
}

SumF64 add_loop(const std::vector<double>& xs) {
  SumF64 s;
  for (double x : xs) s.add(x);
  return s;
}

// Both succeed with the same bits, or both fail.
bool same_result(const Result<double>& a, const Result<double>& b) {
  if (a.ok() != b.ok()) return false;
  return !a.ok() || std::bit_cast<uint64_t>(a.value()) == std::bit_cast<uint64_t>(b.value());
}

std::vector<Isa> available_isas() {
  std::vector<Isa> out{Isa::Portable};
  for (Isa isa : {Isa::Avx2, Isa::Avx512})
    if (isa_supported(isa)) out.push_back(isa);
  return out;
}

// Runs body once per kernel form, restoring the default afterwards.
template <class F>
void for_each_isa(F body) {
  Isa saved = active_isa();
  for (Isa isa : available_isas()) {
    CHECK(select_isa(isa));
    body();
  }
  select_isa(saved);
}

// Reference fold: each bin added on its own with the accumulator's word adds.
void fold_reference(Limbs& limbs, const std::array<int64_t, kBins>& bins) {
  for (int i = 0; i < kBins; ++i) {
    int64_t v = bins[i];
    bool neg = v < 0;
    uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (i % 2 == 0) {
      add_word_at(limbs, i / 2, mag, neg);
    } else {
      add_word_at(limbs, i / 2, mag << 32, neg);
      if (i / 2 + 1 < kLimbs) add_word_at(limbs, i / 2 + 1, mag >> 32, neg);
    }
  }
}

}  // namespace

TEST(fold_matches_per_bin_adds_for_extreme_bins) {
  const int64_t extremes[] = {0, 1, -1, INT64_MAX, INT64_MIN, INT64_MIN + 1, int64_t{1} << 62};
  for_each_isa([&] {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 300 + kBins; ++round) {
      Bank bank;
      if (round < kBins) {
        bank.bins[round] = round % 2 ? -3 : INT64_MAX;  // one bin alone, at every index
      } else {
        for (int64_t& b : bank.bins)
          b = rng() % 3 == 0 ? extremes[rng() % 7] : static_cast<int64_t>(rng());
        if (round % 3 == 0)
          for (int i = 0; i < kBins; ++i)
            if (rng() % 4 != 0) bank.bins[i] = 0;
      }
      Limbs start;
      for (uint64_t& l : start) l = round % 5 == 0 ? UINT64_MAX : rng();
      Limbs want = start, got = start;
      fold_reference(want, bank.bins);
      active_kernels().fold(bank, got);
      CHECK(got == want);
      for (int64_t b : bank.bins) CHECK_EQ(b, 0);
    }
  });
}

TEST(every_kernel_places_like_the_portable_one) {
  std::vector<double> xs = wide_values(4096, 21);
  const uint64_t patterns[] = {0,
                               uint64_t{1} << 63,  // -0.0
                               0x7FF0000000000000,
                               0xFFF0000000000000,  // infinities
                               0x7FF8000000000001,
                               0xFFF0000000000001,  // NaNs
                               1,
                               0x800FFFFFFFFFFFFF,
                               0x7FEFFFFFFFFFFFFF,
                               0xFFEFFFFFFFFFFFFF};
  for (size_t i = 0; i < xs.size(); ++i)
    if (i % 3 == 0) xs[i] = std::bit_cast<double>(patterns[(i / 3) % 10]);
  for_each_isa([&] {
    for (size_t n : {1, 4, 15, 16, 17, 63, 509, 512}) {
      for (size_t at : {0, 5, 1000, 3000}) {
        Bank want[4], got[4], want_flags, got_flags;
        Bank* const w[4] = {&want[0], &want[1], &want[2], &want[3]};
        Bank* const g[4] = {&got[0], &got[1], &got[2], &got[3]};
        portable_kernels().place(xs.data() + at, n, w, want_flags);
        active_kernels().place(xs.data() + at, n, g, got_flags);
        for (int b = 0; b < 4; ++b) CHECK(got[b].bins == want[b].bins);
        CHECK(got_flags.nan == want_flags.nan && got_flags.pos_inf == want_flags.pos_inf &&
              got_flags.neg_inf == want_flags.neg_inf);
      }
    }
  });
}

TEST(fast_sum_matches_add_loop_on_every_path) {
  for_each_isa([] {
    for (size_t n : {0, 1, 7, 511, 512, 513, 2048, 2051, 4096, 4097, 20000}) {
      std::vector<double> xs = wide_values(n, static_cast<uint32_t>(n));
      FastSumF64 f;
      f.extend(xs);
      CHECK(f.finish().to_bytes() == add_loop(xs).to_bytes());
      FastSumF64 g;
      for (double x : xs) g.add(x);
      CHECK(g.finish().to_bytes() == add_loop(xs).to_bytes());
    }
  });
}

TEST(fast_sum_survives_full_bins_on_every_path) {
  const double stress = std::nextafter(4.0, 0.0);  // largest share of one bin
  for_each_isa([&] {
    for (size_t batch : {4096, 4097, 12000}) {
      std::vector<double> xs(511 + batch, stress);
      FastSumF64 f;
      for (size_t i = 0; i < 511; ++i) f.add(stress);
      f.extend(std::span<const double>(xs).subspan(511));
      CHECK(f.finish().to_bytes() == add_loop(xs).to_bytes());
      std::vector<double> neg(batch, -stress);
      SumF64 s;
      s.extend(neg);
      CHECK(s.to_bytes() == add_loop(neg).to_bytes());
    }
  });
}

TEST(sum_batches_match_add_loops_on_every_path) {
  for_each_isa([] {
    for (size_t n : {0, 3, 2048, 2049, 9000}) {
      std::vector<double> xs = wide_values(n, static_cast<uint32_t>(n + 1));
      SumF64 s = add_loop(finite_values(5, 1));
      SumF64 want = s;
      for (double x : xs) want.add(x);
      s.extend(xs);
      CHECK(s.to_bytes() == want.to_bytes());

      SumF32 f, want32;
      f.extend(xs);
      for (double x : xs) want32.add(static_cast<float>(x));
      CHECK(f.to_bytes() == want32.to_bytes());
    }
  });
}

// Blocks of 1024 values whose exponents span D binades below E, for spans
// that need two to five extraction levels and exponents from the subnormals
// to the largest sigma that stays finite, with zeros, signed zeros, exact
// cancellation and the odd NaN or infinity; then blocks of the largest
// significand at one exponent, of both signs, whose first level comes
// closest to the edges of its binade.
std::vector<double> extraction_blocks(uint32_t seed) {
  std::mt19937_64 rng(seed);
  const int tops[] = {-1074, -1060, -1022, -1000, -3, 0, 52, 900, 1016, 1017};
  const int spans[] = {0, 1, 40, 41, 42, 87, 88, 89, 134, 135, 136, 200};
  std::vector<double> xs;
  for (int top : tops)
    for (int span : spans) {
      for (int i = 0; i < 1024; ++i) {
        uint64_t m = (rng() >> 11) | (uint64_t{1} << 52);
        int e = std::max(top - static_cast<int>(rng() % (span + 1)), -1074);
        double x = std::ldexp(static_cast<double>(m), e - 52);
        xs.push_back(rng() % 2 ? -x : x);
      }
      size_t at = xs.size() - 1024;
      if (rng() % 3 == 0) xs[at + rng() % 1024] = rng() % 2 ? 0.0 : -0.0;
      if (rng() % 5 == 0) xs[at + rng() % 1024] = -xs[at + rng() % 1024];
    }
  for (int top : tops) {
    double largest = std::ldexp(std::nextafter(2.0, 0.0), top);
    xs.insert(xs.end(), 512, largest);
    xs.insert(xs.end(), 512, -largest);
  }
  xs.insert(xs.end(), 1024, -0.0);
  xs.insert(xs.end(), 1000, 0x1p-1074);
  xs[xs.size() - 700] = std::numeric_limits<double>::quiet_NaN();
  xs[300] = -std::numeric_limits<double>::infinity();
  return xs;
}

TEST(extracted_sums_match_add_loops_at_every_span) {
  std::vector<double> xs = extraction_blocks(5);
  SumF64 want = add_loop(xs);
  for_each_isa([&] {
    for (size_t at : {0, 3}) {
      SumF64 s = add_loop(std::vector<double>(xs.begin(), xs.begin() + at));
      s.extend(std::span<const double>(xs).subspan(at));
      CHECK(s.to_bytes() == want.to_bytes());
    }
    std::vector<double> finite(xs.begin() + 1024, xs.end() - 1000);
    SumF64 f;
    f.extend(finite);
    CHECK(f.to_bytes() == add_loop(finite).to_bytes());
  });
}

#if defined(__x86_64__)
TEST(extraction_steps_aside_when_subnormals_are_flushed) {
  std::vector<double> xs = extraction_blocks(6);
  unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);  // flush to zero, denormals are zero
  SumF64 s;
  s.extend(xs);
  _mm_setcsr(saved);
  CHECK(s.to_bytes() == add_loop(xs).to_bytes());
}
#endif

TEST(dot_extend_matches_push_loop_on_every_path) {
  // Products that overflow, underflow, vanish or turn NaN, among ordinary ones.
  const double odd[] = {0.0, -0.0, 1e-200, 5e-324, 1e308, -1e308, INFINITY, NAN, 3.0, -7.5};
  std::vector<double> a = finite_values(3000, 8), b = finite_values(3000, 9);
  for (size_t i = 0; i < a.size(); i += 37) a[i] = odd[(i / 37) % 10];
  for (size_t i = 0; i < b.size(); i += 41) b[i] = odd[(i / 41) % 10];
  for_each_isa([&] {
    for (size_t n : {0, 1, 9, 512, 513, 3000}) {
      DotF64 want, got;
      for (size_t i = 0; i < n; ++i) want.push(a[i], b[i]);
      CHECK(got.extend(std::span(a).first(n), std::span(b).first(n)).ok());
      CHECK(got.to_bytes() == want.to_bytes());
      CHECK(same_result(dot(std::span(a).first(n), std::span(b).first(n)),
                        dot_reference(std::span(a).first(n), std::span(b).first(n))));
    }
    DotF64 d;
    CHECK(!d.extend(std::span(a).first(3), std::span(b).first(2)).ok());
    CHECK(d.to_bytes() == DotF64{}.to_bytes());
  });
}

// A random significand and sign with the given biased exponent.
double with_exponent(std::mt19937_64& rng, uint64_t biased) {
  return std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFF) | biased << 52);
}

DotF64 push_loop(const std::vector<double>& a, const std::vector<double>& b) {
  DotF64 d;
  for (size_t i = 0; i < a.size(); ++i) d.push(a[i], b[i]);
  return d;
}

TEST(long_product_batches_match_push_loop_at_the_edges_of_exact_products) {
  // Mostly ordinary pairs, whose products long batches place whole, among
  // pairs whose exponent sums put the product's lowest bit just below or at
  // 2^-1074 or the product near 2^1023 or beyond, and pairs with a zero,
  // subnormal, infinite or NaN factor.
  const double odd[] = {0.0,     -0.0,      5e-324,
                        -1e-310, INFINITY,  -INFINITY,
                        NAN,     0x1p-1022, std::numeric_limits<double>::signaling_NaN()};
  const uint64_t edge_sums[] = {1074, 1075, 1076, 1077, 1078, 3065, 3066, 3067, 3068, 3069};
  std::mt19937_64 rng(41);
  std::vector<double> a(6000), b(6000);
  for (size_t i = 0; i < a.size(); ++i) {
    uint64_t sum = i % 7 == 0 ? edge_sums[rng() % 10] : 1800 + rng() % 500;
    uint64_t ea = std::clamp<uint64_t>(1 + rng() % 2046, sum > 2046 ? sum - 2046 : 1,
                                       std::min<uint64_t>(sum - 1, 2046));
    a[i] = with_exponent(rng, ea);
    b[i] = with_exponent(rng, sum - ea);
    if (rng() % 9 == 0) a[i] = odd[rng() % std::size(odd)];
    if (rng() % 9 == 0) b[i] = odd[rng() % std::size(odd)];
  }
  auto check_batch = [](const std::vector<double>& x, const std::vector<double>& y) {
    Bytes want = push_loop(x, y).to_bytes();
    for_each_isa([&] {
      DotF64 got;
      CHECK(got.extend(x, y).ok());
      CHECK(got.to_bytes() == want);
    });
  };
  check_batch(a, b);
  // Each pair of odd factors alone among ordinary pairs, so that no other
  // pair sets the flags it should set.
  std::vector<double> x(a.begin(), a.begin() + 4100), y(b.begin(), b.begin() + 4100);
  for (size_t i = 0; i < x.size(); ++i)
    if (!std::isfinite(x[i] * y[i]) || x[i] * y[i] == 0) x[i] = y[i] = 1.0;
  for (double u : odd)
    for (double v : odd) {
      std::swap(x[2050], u);
      std::swap(y[2050], v);
      check_batch(x, y);
      std::swap(x[2050], u);
      std::swap(y[2050], v);
    }
}

TEST(long_product_batches_survive_full_rows) {
  // The largest product pieces, all in one row, for more pairs than the rows
  // hold between folds; then the same with every product negative.
  const double top = std::nextafter(2.0, 0.0);
  size_t n = PairBank::kPairsPerFold + 4100;
  std::vector<double> a(n, std::ldexp(top, 21)), b(n, top);
  for (int sign : {1, -1}) {
    if (sign < 0)
      for (double& x : a) x = -x;
    Bytes want = push_loop(a, b).to_bytes();
    for_each_isa([&] {
      DotF64 got;
      CHECK(got.extend(a, b).ok());
      CHECK(got.to_bytes() == want);
    });
  }
}

// m * 2^k with m odd, at most `bits` bits long.
double odd_times_power(std::mt19937_64& rng, int bits, int k) {
  uint64_t m = (rng() >> (64 - bits)) | 1;
  return std::ldexp(static_cast<double>(m), k) * (rng() % 2 ? -1.0 : 1.0);
}

// Pairs near the bottom of the range: lowest set bits whose exponents add up
// to just below, at or just above -1074, with normal, subnormal and vanishing
// products, among zeros, NaNs and infinities.
std::vector<std::pair<double, double>> bottom_pairs() {
  std::mt19937_64 rng(77);
  std::vector<std::pair<double, double>> out;
  for (int i = 0; i < 600; ++i) {
    int la = -1074 + static_cast<int>(rng() % 1100), bits_a = 1 + rng() % 53;
    int lb = -1074 - la + static_cast<int>(rng() % 5) - 2, bits_b = 1 + rng() % 53;
    if (lb < -1074 || lb + bits_b > 1024) continue;
    out.emplace_back(odd_times_power(rng, bits_a, la), odd_times_power(rng, bits_b, lb));
  }
  const double odd[] = {0.0, -0.0, NAN, INFINITY, 5e-324, 0x1p-1022, 1.0 + 0x1p-52};
  for (double u : odd)
    for (double v : odd) out.emplace_back(u, v);
  return out;
}

TEST(every_kernel_flags_lost_exactness_as_the_scalar_rule_does) {
  alignas(64) static PairBank pairs;
  for (const auto& pair : bottom_pairs()) {
    const double u = pair.first, v = pair.second;
    bool want_product = split_loses_exactness(u, v, u * v);
    bool want_square = split_loses_exactness(u, u, u * u);
    for_each_isa([&] {
      const Kernels& k = active_kernels();
      for (size_t lane = 0; lane < 17; ++lane) {  // every vector lane, and the scalar tail
        std::vector<double> a(17, 1.0), b(17, 1.0), p(17), e(17);
        a[lane] = u;
        b[lane] = v;
        CHECK_EQ(k.products(a.data(), b.data(), 17, p.data(), e.data()), want_product);
        CHECK_EQ(k.square_split(a.data(), 17, p.data(), e.data()), want_square);
        Bank banks[4], flags;
        Bank* const bp[4] = {&banks[0], &banks[1], &banks[2], &banks[3]};
        CHECK_EQ(k.place_products(a.data(), b.data(), 17, bp, flags), want_product);
        if (k.place_exact_products != nullptr)
          CHECK_EQ(k.place_exact_products(a.data(), b.data(), 17, pairs, bp, flags), want_product);
      }
    });
  }
}

TEST(batches_match_loops_at_every_start_offset) {
  // Starts before, at and after a 64-byte boundary, on every kernel form.
  alignas(64) static double xs[4200], ys[4200];
  std::vector<double> a = finite_values(4200, 31), b = finite_values(4200, 32);
  std::copy(a.begin(), a.end(), xs);
  std::copy(b.begin(), b.end(), ys);
  for_each_isa([] {
    for (size_t at = 0; at < 9; ++at) {
      for (size_t n : {0, 1, 7, 8, 9, 23, 2047, 2048 + 9, 4190}) {
        std::span<const double> x(xs + at, n), y(ys + (at * 5) % 9, n);
        SumF64 s, want_sum;
        s.extend(x);
        for (double v : x) want_sum.add(v);
        CHECK(s.to_bytes() == want_sum.to_bytes());
        DotF64 d, want_dot;
        CHECK(d.extend(x, y).ok());
        for (size_t i = 0; i < n; ++i) want_dot.push(x[i], y[i]);
        CHECK(d.to_bytes() == want_dot.to_bytes());
      }
    }
  });
}

TEST(saturated_counts_stay_saturated) {
  SumF64 s;
  s.count = std::numeric_limits<uint64_t>::max() - 1;
  s.extend(finite_values(10, 3));
  CHECK_EQ(s.count, std::numeric_limits<uint64_t>::max());
  FastSumF64 f;
  f.count = s.count;
  f.extend(finite_values(10, 3));
  f.add(1.0);
  CHECK_EQ(f.counted(), std::numeric_limits<uint64_t>::max());
}
