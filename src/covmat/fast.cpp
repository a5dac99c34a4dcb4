// Fast regression: correctly rounded means of the exact sums, then
// Gauss–Jordan elimination in plain binary64. Every step is one IEEE
// operation in a fixed order (no fused multiply-add), so the answer is
// reproducible although not correctly rounded.
#include <cmath>

#include "reading.hpp"

namespace tallix {

namespace {

using covmat_detail::ExactSums;

// Row-major (d+1) × (d+2) system; the last column is the right-hand side.
struct DenseSystem {
  size_t rows;
  std::vector<double> cells;
  double& at(size_t r, size_t c) { return cells[r * (rows + 1) + c]; }
};

DenseSystem mean_system(const CovMatrixF64& s, const ExactSums& e) {
  const size_t d = s.d;
  DenseSystem m{d + 1, std::vector<double>((d + 1) * (d + 2), 0.0)};
  const BigInt den = from_u64(e.n) << 1074;
  auto mean = [&den](const BigInt& v) { return round_rational(v, den); };
  m.at(0, 0) = 1.0;
  for (size_t i = 0; i < d; ++i) m.at(0, i + 1) = m.at(i + 1, 0) = mean(e.sums[i]);
  m.at(0, d + 1) = mean(e.sums[d]);
  for (size_t i = 0; i < d; ++i) {
    for (size_t j = i; j < d; ++j)
      m.at(i + 1, j + 1) = m.at(j + 1, i + 1) = mean(e.products[s.pair_index(i, j)]);
    m.at(i + 1, d + 1) = mean(e.products[s.feature_products() + i]);
  }
  return m;
}

// Partial pivoting: the first row of largest magnitude; a NaN never wins.
size_t pivot_row(DenseSystem& m, size_t c) {
  size_t p = c;
  for (size_t r = c + 1; r < m.rows; ++r)
    if (std::fabs(m.at(r, c)) > std::fabs(m.at(p, c))) p = r;
  return p;
}

void swap_rows(DenseSystem& m, size_t a, size_t b) {
  if (a == b) return;
  for (size_t k = 0; k <= m.rows; ++k) std::swap(m.at(a, k), m.at(b, k));
}

void eliminate_column(DenseSystem& m, size_t c) {
  for (size_t r = 0; r < m.rows; ++r) {
    if (r == c) continue;
    const double f = m.at(r, c) / m.at(c, c);
    if (f == 0.0) continue;
    for (size_t k = c; k <= m.rows; ++k) {
      const double product = m.at(c, k) * f;
      m.at(r, k) = m.at(r, k) - product;
    }
  }
}

}  // namespace

Result<std::vector<double>> CovMatrixF64::try_regression() const {
  // The means round values no wider than a fixed-size statistics query's.
  BigMemoryScope memory(covmat_detail::exact_sums_bytes(d) + kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<ExactSums> e = covmat_detail::read_exact_sums(*this);
  if (!e.ok()) return e.failure();
  DenseSystem m = mean_system(*this, e.value());
  for (size_t c = 0; c < m.rows; ++c) {
    const size_t p = pivot_row(m, c);
    if (m.at(p, c) == 0.0) return StatsError::Degenerate;
    swap_rows(m, c, p);
    eliminate_column(m, c);
  }
  std::vector<double> beta(m.rows);
  for (size_t i = 0; i < m.rows; ++i) beta[i] = m.at(i, m.rows) / m.at(i, i);
  return beta;
}

}  // namespace tallix
