#include "stats/pn_moments.hpp"

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
  Result<BigInt> p1 = sum_int(pos.sum_x);
  if (!p1.ok()) return p1.failure();
  Result<BigInt> n1 = sum_int(neg.sum_x);
  if (!n1.ok()) return n1.failure();
  Result<BigInt> p2 = dot_int(pos.sum_xx);
  if (!p2.ok()) return p2.failure();
  Result<BigInt> n2 = dot_int(neg.sum_xx);
  if (!n2.ok()) return n2.failure();
  return NetSums{p1.value() - n1.value(), p2.value() - n2.value(), added - removed};
}

Result<double> PnMomentsF64::try_mean() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<NetSums> s = net();
  if (!s.ok()) return s.failure();
  return round_rational(s.value().d1, from_u64(s.value().live) * unit_pow(1));
}

Result<double> PnMomentsF64::try_variance() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<NetSums> s = net();
  if (!s.ok()) return s.failure();
  const NetSums& v = s.value();
  BigInt live = from_u64(v.live);
  BigInt a = BigInt(live * v.d2 << 1074) - v.d1 * v.d1;
  return round_rational(a, live * live * unit_pow(2));
}

bool PnMomentsF64::decode_from(ByteReader& r, PnMomentsF64& out) {
  MomentsF64::decode_from(r, out.pos);
  MomentsF64::decode_from(r, out.neg);
  return r.ok;
}

Result<PnMomentsF64> PnMomentsF64::from_bytes(ByteView b) {
  return decode_fixed<PnMomentsF64>(b, kPnMomentsBytes);
}

void PnMomentsF64::extend(std::span<const double> xs) noexcept { pos.extend(xs); }

}  // namespace tallix
