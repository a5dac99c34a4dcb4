#include "replicated.hpp"

namespace tallix {

namespace {

bool continuation(uint8_t c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed sequence starting at b[i], or 0 when it is not.
size_t utf8_sequence(ByteView b, size_t i) {
  uint8_t c = b[i];
  if (c < 0x80) return 1;
  size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  if (c < 0xC2 || c > 0xF4 || b.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if (!continuation(b[i + k])) return 0;
  }
  uint8_t d = b[i + 1];
  if (c == 0xE0 && d < 0xA0) return 0;  // overlong three-byte form
  if (c == 0xED && d > 0x9F) return 0;  // surrogate code points
  if (c == 0xF0 && d < 0x90) return 0;  // overlong four-byte form
  if (c == 0xF4 && d > 0x8F) return 0;  // above U+10FFFF
  return len;
}

}  // namespace

bool valid_utf8(ByteView b) noexcept {
  for (size_t i = 0; i < b.size();) {
    size_t len = utf8_sequence(b, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

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

Result<double> try_value(const SumMap& m, std::string_view key) noexcept {
  const SumF64* s = m.find(key);
  if (s == nullptr) return InputError::Undefined;
  return s->value();
}

uint64_t total_count(const SumMap& m) noexcept {
  uint64_t n = 0;
  for (const auto& [key, state] : m.entries) n = saturating_add(n, state.count);
  return n;
}

Result<double> try_mean(const MomentsMap& m, std::string_view key) {
  const MomentsF64* s = m.find(key);
  if (s == nullptr) return InputError::Undefined;
  return s->try_mean();
}

Result<double> try_variance(const MomentsMap& m, std::string_view key) {
  const MomentsF64* s = m.find(key);
  if (s == nullptr) return InputError::Undefined;
  return s->try_variance();
}

}  // namespace tallix
