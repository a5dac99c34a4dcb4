// PnMomentsF64: mean and variance of the live values, rounded once from the
// exact difference between what was added and what was removed.
#include "pn_moments.hpp"

namespace tallix {

Result<uint64_t> PnMomentsF64::live_count() const noexcept {
  uint64_t added = pos.sum_x.count, removed = neg.sum_x.count;
  if (removed > added) return InputError::Undefined;
  return added - removed;
}

Result<NetSums> PnMomentsF64::net() const {
  uint64_t added = pos.sum_x.count, removed = neg.sum_x.count;
  if (added < removed) return StatsError::Degenerate;
  if (added == removed) return StatsError::Empty;
  auto s = read_exact(pos.sum_x, neg.sum_x, pos.sum_xx, neg.sum_xx);
  if (!s.ok()) return s.failure();
  const auto& [p1, n1, p2, n2] = s.value();
  return NetSums{p1 - n1, p2 - n2, added - removed};
}

Result<double> PnMomentsF64::try_mean() const {
  return exact_query(*this, &PnMomentsF64::net, [](const NetSums& v) -> Result<double> {
    return round_rational(v.d1, from_u64(v.live) * unit_pow(1));
  });
}

Result<double> PnMomentsF64::try_variance() const {
  return exact_query(*this, &PnMomentsF64::net, [](const NetSums& v) -> Result<double> {
    BigInt live = from_u64(v.live);
    BigInt a = BigInt(live * v.d2 << 1074) - v.d1 * v.d1;
    return round_rational(a, live * live * unit_pow(2));
  });
}

Result<PnMomentsF64> PnMomentsF64::from_bytes(ByteView b) {
  return decode_fixed<PnMomentsF64>(b, kPnMomentsBytes);
}

void PnMomentsF64::extend(std::span<const double> xs) noexcept { pos.extend(xs); }

}  // namespace tallix
