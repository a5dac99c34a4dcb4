// Exact queries: pairwise covariance and the correctly rounded least-squares
// solution, all of whose Cramer numerators come out of one fraction-free
// elimination of the normal equations followed by a fraction-free back
// substitution (O(d^3) big-integer operations rather than d + 1 determinants).
#include <algorithm>
#include <bit>
#include <cstdint>

#include "elimination.hpp"
#include "reading.hpp"

namespace tallix {

namespace {

using covmat_detail::bareiss_eliminate;
using covmat_detail::eliminate_normal_equations;
using covmat_detail::ExactSums;
using covmat_detail::substitute_back;

// Divides each row of the system [A | b] by the largest power of two common
// to its entries, and returns the exponents. Scaling a row scales det(A) and
// every det(A_k) alike, so the solution is unchanged, while the 2^1074
// fixed-point unit no longer inflates every intermediate of the elimination.
std::vector<mp_bitcnt_t> strip_row_powers_of_two(BigMatrix& system) {
  std::vector<mp_bitcnt_t> stripped(system.size(), 0);
  for (size_t r = 0; r < system.size(); ++r) {
    mp_bitcnt_t t = ~mp_bitcnt_t{0};
    for (const BigInt& v : system[r])
      if (sgn(v) != 0) t = std::min(t, mpz_scan1(v.get_mpz_t(), 0));
    if (t == ~mp_bitcnt_t{0} || t == 0) continue;
    for (BigInt& v : system[r]) mpz_tdiv_q_2exp(v.get_mpz_t(), v.get_mpz_t(), t);
    stripped[r] = t;
  }
  return stripped;
}

// The normal equations A·β = b of the data model as one (d+1) × (d+2) matrix
// [A | b], all entries scaled by 2^1074.
BigMatrix normal_equations(const CovMatrixF64& s, const ExactSums& e) {
  const uint64_t d = s.d;
  BigMatrix m(d + 1, std::vector<BigInt>(d + 2));
  m[0][0] = from_u64(e.n) << 1074;
  m[0][d + 1] = e.sums[d];
  for (uint64_t i = 0; i < d; ++i) {
    m[0][i + 1] = e.sums[i];
    m[i + 1][0] = e.sums[i];
    m[i + 1][d + 1] = e.products[s.feature_products() + i];
    for (uint64_t j = i; j < d; ++j) {
      m[i + 1][j + 1] = e.products[s.pair_index(i, j)];
      m[j + 1][i + 1] = m[i + 1][j + 1];
    }
  }
  return m;
}

// Limbs of a k × k minor of entries below 2^entry_bits in magnitude, with two
// to spare for GMP, which sizes a result before it knows its top limb.
// Hadamard: |minor| ≤ k^(k/2) · 2^(k · entry_bits).
size_t minor_limbs(size_t order, size_t entry_bits) {
  const size_t bits = order * entry_bits + order * std::bit_width(order) / 2 + 1;
  return (bits + 63) / 64 + 2;
}

// A product before its exact division: a pivot times a minor (or a sum of
// at most 2^128 such products), both no larger than a minor of the full order.
size_t product_limbs(size_t order, size_t entry_bits) {
  return 2 * minor_limbs(order, entry_bits) + 2;
}

size_t entry_bits_of(const BigMatrix& m) {
  size_t bits = 0;
  for (const auto& row : m)
    for (const BigInt& v : row) bits = std::max(bits, mpz_sizeinbase(v.get_mpz_t(), 2));
  return bits;
}

void reserve_limbs(BigInt& v, size_t limbs) {
  if (static_cast<size_t>(v.get_mpz_t()->_mp_alloc) < limbs)
    mpz_realloc2(v.get_mpz_t(), static_cast<mp_bitcnt_t>(limbs * 64));
}

// The largest order of a minor that column j of an n-row matrix can hold
// during elimination and back substitution (invariants 3 and 6 of
// elimination.hpp).
size_t column_order(size_t j, size_t rows) { return std::min(j + 1, rows); }

// The bytes a power-of-two arena carves for one allocation of `limbs`.
size_t allocation_bytes(size_t limbs) { return std::bit_ceil(std::max<size_t>(limbs * 8, 16)); }

// Arena bytes for the exact regression of dimension d; the arena's classes
// grow only while all their allocations are live, so each kind below
// costs at most its largest simultaneous count times its (rounded) size.
// - The sums and products read, and the system [A | b] built from them:
//   values of at most 35 limbs (see exact_sums_bytes).
// - The work matrix [A | b] itself: every cell is sized once to the largest
//   minor its column can hold, so neither the elimination nor the back
//   substitution reallocates it.
// - Everything else (the product of a step, a mirrored lead, the sum of a
//   back substitution, the denominator, the rounding's shifted operands and
//   quotient, expression temporaries and GMP's scratch): fewer than 32
//   allocations at once, none larger than four such products (GMP's
//   multiplication and exact division need scratch linear in their
//   operands, well within that).
size_t regression_exact_bytes(uint64_t d) {
  // Beyond this the sum would overflow; no such state fits in memory anyway.
  if (d > (uint64_t{1} << 20)) return SIZE_MAX;
  const size_t n = d + 1;
  const size_t entry_bits = 64 * kLimbs;
  size_t cells = 0;
  for (size_t j = 0; j <= n; ++j)
    cells += n * allocation_bytes(minor_limbs(column_order(j, n), entry_bits));
  const size_t others = 32 * 2 * allocation_bytes(4 * product_limbs(n, entry_bits));
  return covmat_detail::exact_sums_bytes(d, n * n + n) + cells + others;
}

void reserve_minors(BigMatrix& m, size_t entry_bits) {
  for (auto& row : m)
    for (size_t j = 0; j < row.size(); ++j)
      reserve_limbs(row[j], minor_limbs(column_order(j, m.size()), entry_bits));
}

}  // namespace

BigInt bareiss_det(BigMatrix& m) {
  const size_t n = m.size();
  const size_t entry_bits = entry_bits_of(m);
  reserve_minors(m, entry_bits);
  BigInt product;
  reserve_limbs(product, product_limbs(n, entry_bits));
  const int sign = bareiss_eliminate(m, product);
  if (sign == 0) return 0;
  return sign < 0 ? BigInt(-m[n - 1][n - 1]) : m[n - 1][n - 1];
}

Result<double> CovMatrixF64::try_covariance(uint64_t i, uint64_t j) const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  if (mismatched) return StatsError::Degenerate;
  const uint64_t n = counted();
  if (n == 0) return StatsError::Empty;
  if (i >= d || j >= d) return StatsError::Degenerate;
  auto s = read_exact(sums[i], sums[j], products[pair_index(std::min(i, j), std::max(i, j))]);
  if (!s.ok()) return s.failure();
  const auto& [xi, xj, pij] = s.value();
  const BigInt nn = from_u64(n);
  const BigInt num = ((nn * pij) << 1074) - xi * xj;
  return round_rational(num, nn * nn * unit_pow(2));
}

Result<std::vector<double>> CovMatrixF64::try_regression_exact() const {
  BigMemoryScope memory(regression_exact_bytes(d));
  if (!memory.reserved()) return OutOfMemory{};
  Result<ExactSums> e = covmat_detail::read_exact_sums(*this);
  if (!e.ok()) return e.failure();
  BigMatrix system = normal_equations(*this, e.value());
  const std::vector<mp_bitcnt_t> stripped = strip_row_powers_of_two(system);
  const size_t n = d + 1;
  const size_t entry_bits = entry_bits_of(system);
  reserve_minors(system, entry_bits);
  BigInt scratch, lead;
  reserve_limbs(scratch, product_limbs(n, entry_bits));
  reserve_limbs(lead, minor_limbs(n, entry_bits) + 1);
  if (!eliminate_normal_equations(system, stripped, scratch, lead)) return StatsError::Degenerate;
  substitute_back(system, scratch);
  // β_k = (P·β_k) / P with P = ±det(A); signed for a positive denominator,
  // these are Cramer's det(A_k) / det(A) as the very same pair of integers.
  const BigInt& det = system[d][d];
  const int s = sgn(det);
  const BigInt den = s * det;
  std::vector<double> beta(n);
  for (size_t k = 0; k < n; ++k) beta[k] = round_rational(s * system[k][n], den);
  return beta;
}

}  // namespace tallix
