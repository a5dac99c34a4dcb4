// Exact queries: pairwise covariance and the correctly rounded least-squares
// solution by Cramer's rule over fraction-free determinants.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "reading.hpp"

namespace tallix {

namespace {

using covmat_detail::ExactSums;

// Divides each row of the system [A | b] by the largest power of two common
// to its entries. Scaling a row scales det(A) and every det(A_k) alike, so
// the solution is unchanged, while the 2^1074 fixed-point unit no longer
// inflates every intermediate of the eliminations.
void strip_row_powers_of_two(BigMatrix& a, std::vector<BigInt>& b) {
  for (size_t r = 0; r < a.size(); ++r) {
    mp_bitcnt_t t = ~mp_bitcnt_t{0};
    auto lower = [&t](const BigInt& v) {
      if (sgn(v) != 0) t = std::min(t, mpz_scan1(v.get_mpz_t(), 0));
    };
    for (const BigInt& v : a[r]) lower(v);
    lower(b[r]);
    if (t == ~mp_bitcnt_t{0} || t == 0) continue;
    for (BigInt& v : a[r]) mpz_tdiv_q_2exp(v.get_mpz_t(), v.get_mpz_t(), t);
    mpz_tdiv_q_2exp(b[r].get_mpz_t(), b[r].get_mpz_t(), t);
  }
}

// The normal equations A·β = b of the data model, all entries scaled by 2^1074.
void build_normal_equations(const CovMatrixF64& s, const ExactSums& e, BigMatrix& a,
                            std::vector<BigInt>& b) {
  const uint64_t d = s.d;
  a.assign(d + 1, std::vector<BigInt>(d + 1));
  b.assign(d + 1, BigInt{});
  a[0][0] = from_u64(e.n) << 1074;
  b[0] = e.sums[d];
  for (uint64_t i = 0; i < d; ++i) {
    a[0][i + 1] = e.sums[i];
    a[i + 1][0] = e.sums[i];
    b[i + 1] = e.products[s.feature_products() + i];
    for (uint64_t j = i; j < d; ++j) {
      a[i + 1][j + 1] = e.products[s.pair_index(i, j)];
      a[j + 1][i + 1] = a[i + 1][j + 1];
    }
  }
}

// Limbs of a k × k minor of entries below 2^entry_bits in magnitude, with two
// to spare for GMP, which sizes a result before it knows its top limb.
// Hadamard: |minor| ≤ k^(k/2) · 2^(k · entry_bits).
size_t minor_limbs(size_t order, size_t entry_bits) {
  const size_t bits = order * entry_bits + order * std::bit_width(order) / 2 + 1;
  return (bits + 63) / 64 + 2;
}

// A Bareiss product before its exact division: the previous pivot times the
// next minor, both no larger than a minor of the full order.
size_t product_limbs(size_t order, size_t entry_bits) {
  return 2 * minor_limbs(order, entry_bits) + 2;
}

size_t entry_bits_of(const std::vector<BigInt>& row) {
  size_t bits = 0;
  for (const BigInt& v : row) bits = std::max(bits, mpz_sizeinbase(v.get_mpz_t(), 2));
  return bits;
}

size_t entry_bits_of(const BigMatrix& m) {
  size_t bits = 0;
  for (const auto& row : m) bits = std::max(bits, entry_bits_of(row));
  return bits;
}

void reserve_limbs(BigInt& v, size_t limbs) {
  if (static_cast<size_t>(v.get_mpz_t()->_mp_alloc) < limbs)
    mpz_realloc2(v.get_mpz_t(), static_cast<mp_bitcnt_t>(limbs * 64));
}

// The bytes a power-of-two arena carves for one block of `limbs`.
size_t block_bytes(size_t limbs) { return std::bit_ceil(std::max<size_t>(limbs * 8, 16)); }

// Arena bytes for the exact regression of dimension d; the arena's classes
// grow only while all their blocks are live, so each kind of block below
// costs at most its largest simultaneous count times its (rounded) size.
// - The sums and products read, and the system [A | b] built from them:
//   values of at most 35 limbs (see exact_sums_bytes).
// - The work matrix: every cell is sized once to the largest minor its
//   column can hold, so elimination never reallocates it.
// - Everything else (the product and pivot of the elimination, determinants,
//   the rounding's shifted operands and quotient, expression temporaries and
//   GMP's scratch): fewer than 32 blocks at once, none larger than four
//   Bareiss products (GMP's multiplication and exact division need scratch
//   linear in their operands, well within that).
size_t regression_exact_bytes(uint64_t d) {
  // Beyond this the sum would overflow; no such state fits in memory anyway.
  if (d > (uint64_t{1} << 20)) return SIZE_MAX;
  const size_t n = d + 1;
  const size_t entry_bits = 64 * kLimbs;
  size_t cells = 0;
  for (size_t j = 0; j < n; ++j) cells += n * block_bytes(minor_limbs(j + 1, entry_bits));
  const size_t others = 32 * 2 * block_bytes(4 * product_limbs(n, entry_bits));
  return covmat_detail::exact_sums_bytes(d, n * n + n) + cells + others;
}

void reserve_minors(BigMatrix& m, size_t entry_bits) {
  // Column j never holds more than a minor of order j + 1: cell (i, j) last
  // changes at step min(i, j) - 1, and row swaps keep columns.
  for (auto& row : m)
    for (size_t j = 0; j < row.size(); ++j) reserve_limbs(row[j], minor_limbs(j + 1, entry_bits));
}

}  // namespace

BigInt bareiss_det(BigMatrix& m) {
  const size_t n = m.size();
  const size_t entry_bits = entry_bits_of(m);
  reserve_minors(m, entry_bits);
  BigInt prev = 1;
  int sign = 1;
  BigInt t;
  reserve_limbs(prev, minor_limbs(n, entry_bits));
  reserve_limbs(t, product_limbs(n, entry_bits));
  for (size_t k = 0; k < n; ++k) {
    if (sgn(m[k][k]) == 0) {
      size_t r = k + 1;
      while (r < n && sgn(m[r][k]) == 0) ++r;
      if (r == n) return 0;
      std::swap(m[k], m[r]);
      sign = -sign;
    }
    const mpz_srcptr pivot = m[k][k].get_mpz_t();
    for (size_t i = k + 1; i < n; ++i) {
      const mpz_srcptr lead = m[i][k].get_mpz_t();
      for (size_t j = k + 1; j < n; ++j) {
        mpz_ptr cell = m[i][j].get_mpz_t();
        mpz_mul(t.get_mpz_t(), cell, pivot);
        mpz_submul(t.get_mpz_t(), lead, m[k][j].get_mpz_t());
        // Bareiss' identity: the previous pivot divides exactly.
        mpz_divexact(cell, t.get_mpz_t(), prev.get_mpz_t());
      }
      m[i][k] = 0;
    }
    prev = m[k][k];
  }
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
  BigMatrix a;
  std::vector<BigInt> b;
  build_normal_equations(*this, e.value(), a, b);
  strip_row_powers_of_two(a, b);
  // Sized once for every determinant below (b may replace any column).
  BigMatrix work(d + 1, std::vector<BigInt>(d + 1));
  reserve_minors(work, std::max(entry_bits_of(a), entry_bits_of(b)));
  work = a;
  const BigInt det = bareiss_det(work);
  if (sgn(det) == 0) return StatsError::Degenerate;
  // A positive denominator for every quotient.
  const int s = sgn(det) < 0 ? -1 : 1;
  const BigInt den = s * det;
  std::vector<double> beta(d + 1);
  for (uint64_t k = 0; k <= d; ++k) {
    work = a;
    for (uint64_t r = 0; r <= d; ++r) work[r][k] = b[r];
    const BigInt num = s * bareiss_det(work);
    beta[k] = round_rational(num, den);
  }
  return beta;
}

}  // namespace tallix
