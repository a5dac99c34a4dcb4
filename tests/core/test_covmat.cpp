// The fraction-free determinant against cofactor expansion.
#include <random>

#include "check.hpp"
#include "covmat.hpp"

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
