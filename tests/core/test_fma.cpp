// The software fma must give the same bits as the hardware instruction (and
// as the C library's correctly rounded fma) on every kind of input.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "check.hpp"
#include "kernels/fma.hpp"

namespace {

using tallix::fma_exact;
using tallix::fma_software;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Same bits, or both NaN (NaN payloads are not part of the contract).
bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

int mismatches = 0;

void agree(double a, double b, double c) {
  double want = std::fma(a, b, c);
  if (same(fma_software(a, b, c), want) && same(fma_exact(a, b, c), want)) return;
  if (++mismatches <= 5)
    std::fprintf(stderr, "fma(%a, %a, %a): software %a, chosen %a, libm %a\n", a, b, c,
                 fma_software(a, b, c), fma_exact(a, b, c), want);
}

double random_normal(std::mt19937_64& g, int exponent) {
  double m = 1.0 + static_cast<double>(g() >> 12) * 0x1p-52;
  return std::ldexp(g() & 1 ? -m : m, exponent);
}

}  // namespace

TEST(fma_software_exact_known_values) {
  CHECK_EQ(fma_software(1.0 + 0x1p-30, 1.0 - 0x1p-30, -1.0), -0x1p-60);
  CHECK_EQ(fma_software(0.1, 10.0, -1.0), 0x1p-54);
  CHECK_EQ(bits(fma_software(0x1p-600, 0x1p-500, 0.0)), uint64_t{0});  // 2^-1100
  CHECK_EQ(bits(fma_software(0x1p-537, 0x1p-537, 0.0)), uint64_t{1});  // 2^-1074
  CHECK_EQ(bits(fma_software(0x1p-538, 0x1p-537, 0.0)), uint64_t{0});  // tie to even zero
  CHECK_EQ(bits(fma_software(-0x1p-538, 0x1p-537, 0.0)), bits(-0.0));
  CHECK_EQ(fma_software(0x1p600, 0x1p500, -0x1p1023), INFINITY);
  // The product alone overflows; the exact sum does not.
  CHECK_EQ(fma_software(0x1p512, 0x1p512, -0x1p1023), 0x1p1023);
}

TEST(fma_software_signed_zeros) {
  CHECK_EQ(bits(fma_software(-0.0, 1.0, -0.0)), bits(-0.0));
  CHECK_EQ(bits(fma_software(-0.0, 1.0, 0.0)), bits(0.0));
  CHECK_EQ(bits(fma_software(0.0, -1.0, -0.0)), bits(-0.0));
  CHECK_EQ(bits(fma_software(2.0, 3.0, -6.0)), bits(0.0));  // exact cancellation is +0
  CHECK_EQ(bits(fma_software(0.0, 5.0, -3.0)), bits(-3.0));
}

TEST(fma_software_non_finite_and_extremes_match_hardware) {
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0.0,
                           -0.0,
                           inf,
                           -inf,
                           NAN,
                           1.0,
                           -1.0,
                           5e-324,
                           -5e-324,
                           1.7976931348623157e308,
                           -1.7976931348623157e308,
                           2.2250738585072014e-308,
                           0x1p-537,
                           0x1p-538,
                           3.0,
                           0x1.fffffffffffffp-1};
  mismatches = 0;
  for (double a : values)
    for (double b : values)
      for (double c : values) agree(a, b, c);
  CHECK_EQ(mismatches, 0);
}

TEST(fma_software_random_bit_patterns) {
  std::mt19937_64 g(20240601);
  mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    double a = std::bit_cast<double>(g()), b = std::bit_cast<double>(g());
    agree(a, b, std::bit_cast<double>(g()));
    double p = a * b;
    agree(a, b, -p);                       // the error term of a product
    agree(a, b, -std::nextafter(p, 0.0));  // deep cancellation
  }
  CHECK_EQ(mismatches, 0);
}

TEST(fma_software_near_range_limits) {
  std::mt19937_64 g(7);
  mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    int ea = static_cast<int>(g() % 400) - 700;
    // Products around 2^-1022 (subnormal error terms and results).
    double x = random_normal(g, ea);
    double y = random_normal(g, -1022 - ea + static_cast<int>(g() % 120) - 60);
    agree(x, y, -(x * y));
    agree(x, y, 0.0);
    agree(x, y, -0.0);
    agree(x, y, std::ldexp(static_cast<double>(g() >> 11), -1074));
    // Products around 2^1024 (overflow and rounding into infinity).
    double z = random_normal(g, 1022 - ea + static_cast<int>(g() % 3));
    agree(x, z, -std::ldexp(1.0, 1023));
    agree(x, z, -(x * z));
    agree(x, z, 0.0);
  }
  CHECK_EQ(mismatches, 0);
}
