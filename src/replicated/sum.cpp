// ReplicatedSum: slots, the join and the byte form of note 8.
#include "sum.hpp"

#include "../byte_forms.hpp"

namespace tallix {

Status ReplicatedSum::add(uint64_t replica, double x) {
  auto it = replicas.lower_bound(replica);
  if (it == replicas.end() || it->first != replica) {
    if (replicas.size() >= kMaxEntries) return InputError::Undefined;
    it = replicas.emplace_hint(it, replica, SumF64{});
  }
  it->second.add(x);
  return {};
}

ReplicatedSum replica_of(uint64_t number, const SumF64& slot) {
  ReplicatedSum out;
  if (slot.count != 0) out.replicas.emplace(number, slot);
  return out;
}

Status ReplicatedSum::join(const ReplicatedSum& other) {
  // New slots are copied aside first, so a failure changes nothing.
  std::map<uint64_t, SumF64> fresh;
  for (const auto& [id, slot] : other.replicas) {
    if (!replicas.contains(id)) fresh.emplace_hint(fresh.end(), id, slot);
  }
  if (replicas.size() + fresh.size() > kMaxEntries) return InputError::Undefined;
  for (const auto& [id, slot] : other.replicas) {
    auto it = replicas.find(id);
    // Only counts decide; on equal counts the receiver keeps its own slot.
    if (it != replicas.end() && it->second.count < slot.count) it->second = slot;
  }
  replicas.merge(fresh);
  return {};
}

double ReplicatedSum::value() const noexcept {
  SumF64 total;
  for (const auto& [id, slot] : replicas) total.merge(slot);
  return total.value();
}

void ReplicatedSum::encode_into(ByteWriter& w) const {
  w.out.reserve(w.out.size() + 4 + (12 + kSumBytes) * replicas.size());
  w.u32(static_cast<uint32_t>(replicas.size()));
  for (const auto& [id, slot] : replicas) {
    w.u64(id);
    w.u32(kSumBytes);
    slot.encode_into(w);
  }
}

Result<ReplicatedSum> ReplicatedSum::decode(ByteView b) {
  ReplicatedSum s;
  ByteReader r{b};
  uint32_t n = r.u32();
  for (uint32_t i = 0; i < n && r.ok; ++i) {
    uint64_t id = r.u64();
    Result<SumF64> slot = SumF64::from_bytes(r.raw(r.u32()));
    if (!r.ok || !slot.ok()) return InputError::Undefined;
    if (!s.replicas.empty() && s.replicas.rbegin()->first >= id) return InputError::Undefined;
    s.replicas.emplace_hint(s.replicas.end(), id, slot.value());
  }
  if (!r.at_end()) return InputError::Undefined;
  return s;
}

}  // namespace tallix
