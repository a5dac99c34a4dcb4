// The kernel forms against the portable one and the scalar rules: placing
// values in the banks, folding them into the limbs, and flagging products
// whose split loses exactness.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "binary64.hpp"
#include "check.hpp"
#include "forms.hpp"
#include "kernels/table.hpp"

using namespace tallix;
using forms::for_each_isa;
using forms::wide_values;

namespace {

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
