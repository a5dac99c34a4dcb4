// The fraction-free determinant against cofactor expansion.
#include <random>

#include "check.hpp"
#include "covmat.hpp"
#include "stats.hpp"

namespace {

using namespace tallix;

BigInt cofactor_det(const BigMatrix& m) {
  const size_t n = m.size();
  if (n == 1) return m[0][0];
  BigInt total = 0;
  for (size_t c = 0; c < n; ++c) {
    BigMatrix minor;
    for (size_t r = 1; r < n; ++r) {
      std::vector<BigInt> row;
      for (size_t k = 0; k < n; ++k)
        if (k != c) row.push_back(m[r][k]);
      minor.push_back(row);
    }
    BigInt term = m[0][c] * cofactor_det(minor);
    total += (c % 2 == 0) ? term : BigInt(-term);
  }
  return total;
}

BigInt det_of(BigMatrix m) { return bareiss_det(m); }

}  // namespace

TEST(bareiss_small_cases) {
  CHECK_EQ(det_of({{0, 1}, {1, 0}}), BigInt(-1));
  CHECK_EQ(det_of({{2, 4}, {1, 2}}), BigInt(0));
  CHECK_EQ(det_of({{BigInt(-7)}}), BigInt(-7));
  CHECK_EQ(det_of({{0, 0}, {0, 5}}), BigInt(0));
  // Two swaps cancel in sign.
  CHECK_EQ(det_of({{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}), BigInt(1));
}

TEST(bareiss_matches_cofactor_expansion) {
  std::mt19937_64 rng(12345);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + trial % 5;
    BigMatrix m(n, std::vector<BigInt>(n));
    for (auto& row : m)
      for (BigInt& v : row) {
        // Mostly small values with many zeros (pivot search), some huge ones.
        const int kind = static_cast<int>(rng() % 4);
        v = kind == 0 ? BigInt(0) : BigInt(static_cast<long>(rng() % 21) - 10);
        if (kind == 3) v = (v << 3000) + BigInt(static_cast<long>(rng() % 1000));
      }
    CHECK_EQ(det_of(m), cofactor_det(m));
  }
}

namespace {

// Random bits in every limb of every accumulator and the largest count make
// each intermediate of a query as wide as it can be.
void fill_widest(SumF64& s, std::mt19937_64& rng) {
  for (uint64_t& limb : s.limbs) limb = rng();
  s.count = UINT64_MAX;
}

template <class Query>
void check_within_reservation(Query query) {
  (void)query();
  CHECK_EQ(last_big_memory_use().overflows, size_t{0});
}

}  // namespace

TEST(queries_stay_within_their_reservations) {
  std::mt19937_64 rng(7);
  Moments4F64 m4;
  for (SumF64* s : {&m4.sum_x, &m4.sum_xx.sum, &m4.sum_x3.sum, &m4.sum_x4.sum})
    fill_widest(*s, rng);
  check_within_reservation([&] { return m4.try_skewness_squared(); });
  check_within_reservation([&] { return m4.try_excess_kurtosis(); });
  CovF64 c;
  for (SumF64* s : {&c.sum_x, &c.sum_y, &c.sum_xx.sum, &c.sum_yy.sum, &c.sum_xy.sum})
    fill_widest(*s, rng);
  check_within_reservation([&] { return c.try_intercept(); });
  check_within_reservation([&] { return c.try_correlation(); });
  for (uint64_t d : {1, 2, 5, 9}) {
    CovMatrixF64 s = CovMatrixF64::create(d).value();
    for (SumF64& sum : s.sums) fill_widest(sum, rng);
    for (DotF64& p : s.products) fill_widest(p.sum, rng);
    check_within_reservation([&] { return s.try_regression_exact(); });
    CHECK(last_big_memory_use().carved > 0);
    check_within_reservation([&] { return s.try_regression(); });
  }
}
