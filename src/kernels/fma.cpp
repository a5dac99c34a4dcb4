// Correctly rounded fused multiply-add. The hardware instruction is used when
// the processor has one; otherwise an exact integer routine gives the same
// bits: the product and the addend are laid out exactly in one wide
// fixed-point integer and rounded once.
#include "fma.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../binary64.hpp"
#include "../words.hpp"
#include "cpu.hpp"

namespace tallix {

namespace {

// 66 limbs with unit 2^-2148 hold any product of two binary64 values
// (at most 2^2048) plus any addend exactly.
constexpr int kProductLimbs = 66;
constexpr int kProductUnit = 2148;
using ProductWords = Words<kProductLimbs>;

// |x| = m * 2^q for a finite binary64.
struct Unpacked {
  uint64_t m;
  int q;
  bool neg;
};

Unpacked unpack(double x) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(x);
  int biased = static_cast<int>(biased_exponent(bits));
  uint64_t frac = bits & kFracMask;
  bool neg = (bits & kSignBit) != 0;
  if (biased == 0) return {frac, -1074, neg};
  return {frac | kHiddenBit, biased - 1075, neg};
}

// Full 64x64 -> 128-bit product from 32-bit halves.
void mul_wide(uint64_t a, uint64_t b, uint64_t& hi, uint64_t& lo) noexcept {
  uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32;
  uint64_t b0 = b & 0xFFFFFFFF, b1 = b >> 32;
  uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
  lo = (mid << 32) | (p00 & 0xFFFFFFFF);
  hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}

// Adds v * 2^pos into w, carrying upward.
void add_at(ProductWords& w, int pos, uint64_t v) noexcept {
  if (v == 0) return;
  int i = pos / 64, r = pos % 64;
  uint64_t lo = v << r;
  uint64_t hi = r == 0 ? 0 : v >> (64 - r);
  w[i] += lo;
  uint64_t carry = w[i] < lo ? 1 : 0;
  for (int k = i + 1; k < kProductLimbs && (hi != 0 || carry != 0); ++k) {
    uint64_t add = hi + carry;  // hi < 2^63, never wraps
    w[k] += add;
    carry = w[k] < add ? 1 : 0;
    hi = 0;
  }
}

int compare(const ProductWords& a, const ProductWords& b) noexcept {
  for (int i = kProductLimbs - 1; i >= 0; --i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// Nearest binary64 (ties to even) to the non-zero magnitude w * 2^-2148.
double round_wide(const ProductWords& w, bool neg) noexcept {
  constexpr int kLowestSubnormalBit = kProductUnit - 1074;  // bit weighing 2^-1074
  constexpr int kLowestNormalTop = kProductUnit - 1022;     // top bit of 2^-1022
  int t = top_bit(w);
  uint64_t sign = neg ? kSignBit : 0;
  bool normal = t >= kLowestNormalTop;
  int l = normal ? t - 52 : kLowestSubnormalBit;
  uint64_t m = rounded_bits(w, l, t);
  if (!normal) return std::bit_cast<double>(sign | m);  // 2^52 reads as 2^-1022
  int e = t - kProductUnit;
  if (m >> 53) {
    m >>= 1;
    ++e;
  }
  if (e > 1023) return std::bit_cast<double>(sign | kInfBits);
  uint64_t biased = static_cast<uint64_t>(e + 1023);
  return std::bit_cast<double>(sign | (biased << 52) | (m - kHiddenBit));
}

bool sign_of(double x) noexcept { return std::signbit(x); }

// Infinities and NaNs follow IEEE 754: invalid combinations give a NaN.
double fma_non_finite(double a, double b, double c) noexcept {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (std::isnan(a) || std::isnan(b) || std::isnan(c)) return a * b + c;
  if (std::isinf(a) || std::isinf(b)) {
    if (a == 0.0 || b == 0.0) return kNaN;
    bool prod_neg = sign_of(a) != sign_of(b);
    if (std::isinf(c) && sign_of(c) != prod_neg) return kNaN;
    return prod_neg ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  return c;  // c infinite, product finite
}

#if !defined(TALLIX_SOFTWARE_FMA) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("fma"))) TALLIX_FMA_SITE double fma_fma3(double a, double b,
                                                               double c) noexcept {
  return __builtin_fma(a, b, c);
}
__attribute__((target("fma4"))) TALLIX_FMA_SITE double fma_fma4(double a, double b,
                                                                double c) noexcept {
  return __builtin_fma(a, b, c);
}

using FmaFn = double (*)(double, double, double) noexcept;

FmaFn choose_fma() noexcept {
  if (cpu_features().fma3) return fma_fma3;
  if (cpu_features().fma4) return fma_fma4;
  return fma_software;
}
#endif

}  // namespace

double fma_software(double a, double b, double c) noexcept {
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) return fma_non_finite(a, b, c);
  Unpacked ua = unpack(a), ub = unpack(b), uc = unpack(c);
  bool prod_neg = ua.neg != ub.neg;
  ProductWords prod{}, addend{};
  uint64_t hi, lo;
  mul_wide(ua.m, ub.m, hi, lo);
  int pos = ua.q + ub.q + kProductUnit;  // >= 0 since q >= -1074
  add_at(prod, pos, lo);
  add_at(prod, pos + 64, hi);
  add_at(addend, uc.q + kProductUnit, uc.m);

  const ProductWords* mag = &prod;
  bool neg = prod_neg;
  if (prod_neg == uc.neg) {
    add_words(prod, addend);
  } else if (compare(prod, addend) >= 0) {
    sub_words(prod, addend);
  } else {
    sub_words(addend, prod);
    mag = &addend;
    neg = uc.neg;
  }
  // An exact zero is -0 only when both terms are -0 (IEEE addition rule).
  if (top_bit(*mag) < 0) return prod_neg && uc.neg ? -0.0 : 0.0;
  return round_wide(*mag, neg);
}

TALLIX_FMA_SITE double fma_exact(double a, double b, double c) noexcept {
#if defined(TALLIX_SOFTWARE_FMA)
  return fma_software(a, b, c);  // reproducibility builds: no instruction, no libm
#elif defined(__x86_64__) || defined(__i386__)
  static const FmaFn chosen = choose_fma();
  return chosen(a, b, c);
#else
  return std::fma(a, b, c);  // correctly rounded by the C library on other targets
#endif
}

}  // namespace tallix
