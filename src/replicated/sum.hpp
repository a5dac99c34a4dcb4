// ReplicatedSum: one exact sum per replica id, reconciled by an idempotent
// join (byte form note 8).
#pragma once

#include <cstdint>
#include <map>

#include "../acc.hpp"
#include "../error.hpp"
#include "../merge.hpp"

namespace tallix {

// One exact sum per replica id. Each replica adds only to its own slot, so a
// larger slot count means a later state of that slot; `join` keeps the later.
struct ReplicatedSum {
  std::map<uint64_t, SumF64> replicas;

  // Fails, changing nothing, only when a new slot would exceed kMaxEntries.
  Status add(uint64_t replica, double x);
  // Idempotent: takes the other's slot wherever it has absorbed more values.
  Status join(const ReplicatedSum& other);
  double value() const noexcept;

  void encode_into(ByteWriter& w) const;
  // Accepts exactly the byte strings `encode` produces.
  static Result<ReplicatedSum> decode(ByteView b);
};

// The replica `number` after absorbing the values `slot` holds: what `add`
// would leave for each of them, without a call per value (an engine fills
// one partition's slot through the batch sum). No slot when nothing was added.
ReplicatedSum replica_of(uint64_t number, const SumF64& slot);

}  // namespace tallix
