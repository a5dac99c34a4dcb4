// Exact queries: pairwise covariance and the correctly rounded least-squares
// solution by Cramer's rule over fraction-free determinants.
#include <algorithm>

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

}  // namespace

BigInt bareiss_det(BigMatrix& m) {
  const size_t n = m.size();
  BigInt prev = 1;
  int sign = 1;
  BigInt t;
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
  if (mismatched) return StatsError::Degenerate;
  const uint64_t n = counted();
  if (n == 0) return StatsError::Empty;
  if (i >= d || j >= d) return StatsError::Degenerate;
  Result<BigInt> xi = sum_int(sums[i]);
  if (!xi.ok()) return xi.failure();
  Result<BigInt> xj = sum_int(sums[j]);
  if (!xj.ok()) return xj.failure();
  Result<BigInt> pij = dot_int(products[pair_index(std::min(i, j), std::max(i, j))]);
  if (!pij.ok()) return pij.failure();
  const BigInt nn = from_u64(n);
  const BigInt num = ((nn * pij.value()) << 1074) - xi.value() * xj.value();
  return round_rational(num, nn * nn * unit_pow(2));
}

Result<std::vector<double>> CovMatrixF64::try_regression_exact() const {
  Result<ExactSums> e = covmat_detail::read_exact_sums(*this);
  if (!e.ok()) return e.failure();
  BigMatrix a;
  std::vector<BigInt> b;
  build_normal_equations(*this, e.value(), a, b);
  strip_row_powers_of_two(a, b);
  BigMatrix work = a;
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
