// Exact rationals: limbs read as big integers and quotients rounded once.
#include "rational.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "../binary64.hpp"
#include "narrow.hpp"

namespace tallix {

namespace {

constexpr double kInf32 = std::numeric_limits<double>::infinity();

// Low 64 bits of a non-negative integer (the caller knows it fits).
uint64_t low_u64(const BigInt& v) {
  uint64_t out = 0;
  size_t words = 0;
  mpz_export(&out, &words, -1, sizeof out, 0, 0, v.get_mpz_t());
  return out;
}

long bit_length(const BigInt& v) {
  return mpz_sgn(v.get_mpz_t()) == 0 ? 0 : static_cast<long>(mpz_sizeinbase(v.get_mpz_t(), 2));
}

// Exponent e with 2^e <= n/d < 2^(e+1), for n, d > 0.
long quotient_exponent(const BigInt& n, const BigInt& d) {
  long e = bit_length(n) - bit_length(d);
  bool below =
      e >= 0 ? n < (d << static_cast<mp_bitcnt_t>(e)) : (n << static_cast<mp_bitcnt_t>(-e)) < d;
  return below ? e - 1 : e;
}

// |num/den| rounded to nearest, ties to even, to `digits` significant bits
// with no last place below 2^lowest: the integer q and the exponent s of its
// last place (q < 2^digits; fewer bits only at the bottom of the range).
struct Rounded {
  BigInt q;
  long s;
};

Rounded round_digits(const BigInt& num, const BigInt& den, long digits, long lowest) {
  BigInt n = abs(num), d = abs(den);
  long e = quotient_exponent(n, d);
  long s = std::max(e - (digits - 1), lowest);  // exponent of the result's last place
  if (s < 0)
    n <<= static_cast<mp_bitcnt_t>(-s);
  else
    d <<= static_cast<mp_bitcnt_t>(s);
  BigInt q, r;
  mpz_tdiv_qr(q.get_mpz_t(), r.get_mpz_t(), n.get_mpz_t(), d.get_mpz_t());
  int half = cmp(BigInt(r << 1), d);
  if (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t()))) ++q;
  if (bit_length(q) > digits) {  // rounding carried to 2^digits; q is even
    q >>= 1;
    ++s;
  }
  return {std::move(q), s};
}

bool negative_quotient(const BigInt& num, const BigInt& den) {
  return (sgn(num) < 0) != (sgn(den) < 0);
}

}  // namespace

double round_rational(const BigInt& num, const BigInt& den) {
  if (sgn(num) == 0) return 0.0;
  const Rounded r = round_digits(num, den, 53, -1074);
  uint64_t m = low_u64(r.q);
  uint64_t bits;
  if (m < kHiddenBit)
    bits = m;  // subnormal or zero; s was clamped to -1074
  else if (r.s + 52 >= 1024)
    bits = kInfBits;
  else
    bits = (static_cast<uint64_t>(r.s + 1075) << 52) | (m - kHiddenBit);
  return std::bit_cast<double>(negative_quotient(num, den) ? bits | kSignBit : bits);
}

double round_rational32(const BigInt& num, const BigInt& den) {
  if (sgn(num) == 0) return 0.0;
  const Rounded r = round_digits(num, den, 24, -149);
  // q < 2^24, so q·2^s is a binary32 value that binary64 holds exactly.
  double v = r.s + 23 >= 128 ? kInf32
                             : std::ldexp(static_cast<double>(low_u64(r.q)), static_cast<int>(r.s));
  return negative_quotient(num, den) ? -v : v;
}

BigInt twos_complement(const Limbs& limbs) {
  BigInt u;
  mpz_import(u.get_mpz_t(), kLimbs, -1, sizeof(uint64_t), 0, 0, limbs.data());
  if (is_negative(limbs)) u -= BigInt(1) << (64 * kLimbs);
  return u;
}

BigInt unit_pow(uint64_t k) { return BigInt(1) << static_cast<mp_bitcnt_t>(1074 * k); }

BigInt from_u64(uint64_t v) {
  BigInt out;
  mpz_import(out.get_mpz_t(), 1, -1, sizeof v, 0, 0, &v);
  return out;
}

Result<BigInt> dot_int(const DotF64& acc) {
  if (acc.exactness_lost) return StatsError::ExactnessLost;
  if (!acc.sum.finite()) return StatsError::NonFinite;
  return twos_complement(acc.sum.limbs);
}

Result<BigInt> sum_int(const SumF64& acc) {
  if (!acc.finite()) return StatsError::NonFinite;
  return twos_complement(acc.limbs);
}

Result<double> exact_mean(const SumF64& sum) {
  if (auto v = narrow_mean(sum, sum.count)) return *v;
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  if (sum.count == 0) return StatsError::Empty;
  Result<BigInt> s1 = sum_int(sum);
  if (!s1.ok()) return s1.failure();
  return round_rational(s1.value(), from_u64(sum.count) * unit_pow(1));
}

}  // namespace tallix
