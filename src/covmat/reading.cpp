// A CovMatrixF64's exact accumulators read as big integers for the
// regression queries, and the arena bytes the values read may take.
#include "reading.hpp"

namespace tallix::covmat_detail {

size_t exact_sums_bytes(uint64_t d, uint64_t extra) {
  const uint64_t values = (d + 1) + (d * (d + 1) / 2 + d) + extra;
  return values * 1024;
}

Result<ExactSums> read_exact_sums(const CovMatrixF64& s) {
  if (s.mismatched) return StatsError::Degenerate;
  ExactSums out;
  out.n = s.counted();
  if (out.n == 0) return StatsError::Empty;
  out.sums.resize(s.sums.size());
  for (size_t i = 0; i < s.sums.size(); ++i) {
    Result<BigInt> v = sum_int(s.sums[i]);
    if (!v.ok()) return v.failure();
    out.sums[i] = std::move(v).value();
  }
  out.products.resize(s.products.size());
  const uint64_t d = s.d;
  auto take = [&](uint64_t k) -> Status {
    Result<BigInt> v = dot_int(s.products[k]);
    if (!v.ok()) return v.failure();
    out.products[k] = std::move(v).value();
    return {};
  };
  for (uint64_t i = 0; i < d; ++i) {
    for (uint64_t j = i; j < d; ++j) {
      Status st = take(s.pair_index(i, j));
      if (!st.ok()) return st.failure();
    }
    Status st = take(s.feature_products() + i);
    if (!st.ok()) return st.failure();
  }
  return out;
}

}  // namespace tallix::covmat_detail
