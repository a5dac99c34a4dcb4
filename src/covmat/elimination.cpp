// The elimination behind the exact regression; see elimination.hpp for the
// invariants that make each division exact.
#include "elimination.hpp"

#include <utility>

namespace tallix::covmat_detail {

namespace {

// One step of Bareiss' elimination on one cell (invariant 1).
void bareiss_update(mpz_ptr cell, mpz_srcptr pivot, mpz_srcptr lead, mpz_srcptr top,
                    mpz_srcptr previous, mpz_ptr product) {
  mpz_mul(product, cell, pivot);
  mpz_submul(product, lead, top);
  mpz_divexact(cell, product, previous);
}

// The divisor of step k: 1, then the pivot of row k - 1, which is final from
// step k - 1 on and so needs no copy.
mpz_srcptr previous_pivot(const BigMatrix& m, size_t k, const BigInt& one) {
  return (k == 0 ? one : m[k - 1][k - 1]).get_mpz_t();
}

// out = v · 2^(up - down), where the caller knows the quotient is exact.
void scale_by_power_of_two(mpz_ptr out, mpz_srcptr v, mp_bitcnt_t up, mp_bitcnt_t down) {
  if (up >= down)
    mpz_mul_2exp(out, v, up - down);
  else
    mpz_tdiv_q_2exp(out, v, down - up);
}

// The elimination while the system is symmetric (invariant 4); returns the
// first step whose pivot is zero, n when there is none.
size_t eliminate_symmetric(BigMatrix& m, const std::vector<mp_bitcnt_t>& stripped, BigInt& product,
                           BigInt& lead) {
  const size_t n = m.size();
  const BigInt one = 1;
  for (size_t k = 0; k < n; ++k) {
    if (sgn(m[k][k]) == 0) return k;
    const mpz_srcptr pivot = m[k][k].get_mpz_t();
    const mpz_srcptr previous = previous_pivot(m, k, one);
    for (size_t i = k + 1; i < n; ++i) {
      scale_by_power_of_two(lead.get_mpz_t(), m[k][i].get_mpz_t(), stripped[k], stripped[i]);
      for (size_t j = i; j <= n; ++j)
        bareiss_update(m[i][j].get_mpz_t(), pivot, lead.get_mpz_t(), m[k][j].get_mpz_t(), previous,
                       product.get_mpz_t());
    }
  }
  return n;
}

// Restores the cells below the diagonal from step k on (invariant 4).
void mirror_below_diagonal(BigMatrix& m, const std::vector<mp_bitcnt_t>& stripped, size_t k) {
  for (size_t i = k; i < m.size(); ++i)
    for (size_t j = k; j < i; ++j)
      scale_by_power_of_two(m[i][j].get_mpz_t(), m[j][i].get_mpz_t(), stripped[j], stripped[i]);
}

}  // namespace

int bareiss_eliminate(BigMatrix& m, BigInt& product, size_t first) {
  const size_t n = m.size();
  const size_t width = m[0].size();
  const BigInt one = 1;
  int sign = 1;
  for (size_t k = first; k < n; ++k) {
    if (sgn(m[k][k]) == 0) {
      size_t r = k + 1;
      while (r < n && sgn(m[r][k]) == 0) ++r;
      if (r == n) return 0;
      std::swap(m[k], m[r]);
      sign = -sign;
    }
    const mpz_srcptr pivot = m[k][k].get_mpz_t();
    const mpz_srcptr previous = previous_pivot(m, k, one);
    for (size_t i = k + 1; i < n; ++i) {
      const mpz_srcptr lead = m[i][k].get_mpz_t();
      for (size_t j = k + 1; j < width; ++j)
        bareiss_update(m[i][j].get_mpz_t(), pivot, lead, m[k][j].get_mpz_t(), previous,
                       product.get_mpz_t());
      m[i][k] = 0;
    }
  }
  return sign;
}

bool eliminate_normal_equations(BigMatrix& m, const std::vector<mp_bitcnt_t>& stripped,
                                BigInt& product, BigInt& lead) {
  const size_t stopped = eliminate_symmetric(m, stripped, product, lead);
  if (stopped == m.size()) return true;
  mirror_below_diagonal(m, stripped, stopped);
  return bareiss_eliminate(m, product, stopped) != 0;
}

void substitute_back(BigMatrix& m, BigInt& sum) {
  const size_t n = m.size();
  const mpz_srcptr det = m[n - 1][n - 1].get_mpz_t();
  for (size_t i = n - 1; i-- > 0;) {
    mpz_ptr cell = m[i][n].get_mpz_t();
    mpz_mul(sum.get_mpz_t(), cell, det);
    for (size_t j = i + 1; j < n; ++j)
      mpz_submul(sum.get_mpz_t(), m[i][j].get_mpz_t(), m[j][n].get_mpz_t());
    mpz_divexact(cell, sum.get_mpz_t(), m[i][i].get_mpz_t());
  }
}

}  // namespace tallix::covmat_detail
