// The exact sums and dot products fed in batches (SumF64, SumF32, FastSumF64,
// DotF64) against their loops of single updates, on every kernel form.
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
#include "forms.hpp"
#include "kernels/table.hpp"

using namespace tallix;
using forms::finite_values;
using forms::for_each_isa;
using forms::wide_values;

namespace {

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

}  // namespace

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

#if defined(__x86_64__) || defined(__aarch64__)
// Flushing subnormals to zero (MXCSR's FTZ and DAZ, FPCR's FZ) would break a
// level's roundings; every form must see it and leave such blocks to the banks.
TEST(extraction_steps_aside_when_subnormals_are_flushed) {
  std::vector<double> xs = extraction_blocks(6);
  for_each_isa([&] {
#if defined(__x86_64__)
    unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040);  // flush to zero, denormals are zero
#else
    uint64_t saved;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved));
    __asm__ __volatile__("msr fpcr, %0" : : "r"(saved | uint64_t{1} << 24));  // FZ
#endif
    SumF64 s;
    s.extend(xs);
#if defined(__x86_64__)
    _mm_setcsr(saved);
#else
    __asm__ __volatile__("msr fpcr, %0" : : "r"(saved));
#endif
    CHECK(s.to_bytes() == add_loop(xs).to_bytes());
  });
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

// Blocks of 512 pairs whose products spread over D binades around 2^E, from
// the smallest products that keep their bits to the largest whose block
// still extracts, most with one pair at an edge of the checks that send a
// block to the banks: products just above and below 2^-968, a factor near
// the smallest or largest that the baseline's split takes, a product near
// the overflow, zero, subnormal, infinite and NaN factors.
TEST(extracted_products_match_push_loop_at_every_span) {
  const double lost_edge = std::nextafter(0x1p-484, 0.0);
  const double edges[][2] = {{0x1p-484, 0x1p-484},
                             {lost_edge, 0x1p-484},
                             {0x1.8p-995, 0x1p30},
                             {0x1.8p-996, 0x1p60},
                             {0x1.fp996, 0.5},
                             {0x1p997, 0x1p-10},
                             {0x1.fffffffffffffp511, 0x1p511},
                             {0.0, 0x1p1000},
                             {5e-324, 0x1p1000},
                             {NAN, 1.0},
                             {-INFINITY, 2.0},
                             {0x1p-600, -0x1p-600}};
  const int centers[] = {-966, -500, -3, 0, 40, 500, 960};
  const int spans[] = {0, 2, 40, 80, 160, 300, 400};
  std::mt19937_64 rng(17);
  std::vector<double> a, b;
  for (int center : centers)
    for (int span : spans) {
      for (int i = 0; i < 512; ++i) {
        int ea = center / 2 - static_cast<int>(rng() % (span / 2 + 1));
        int eb = center - center / 2 - static_cast<int>(rng() % (span / 2 + 1));
        a.push_back(std::ldexp(with_exponent(rng, 1023), ea));
        b.push_back(std::ldexp(with_exponent(rng, 1023), eb));
      }
      if (rng() % 4 != 0) {
        size_t at = a.size() - 1 - rng() % 512;
        const double* edge = edges[rng() % std::size(edges)];
        a[at] = edge[0];
        b[at] = edge[1];
      }
    }
  for (size_t start : {0, 5}) {
    std::vector<double> x(a.begin() + start, a.end()), y(b.begin() + start, b.end());
    Bytes want = push_loop(x, y).to_bytes();
    for_each_isa([&] {
      DotF64 got;
      CHECK(got.extend(x, y).ok());
      CHECK(got.to_bytes() == want);
    });
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
