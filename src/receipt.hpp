// State receipts: the SHA-256 digest of a state's canonical encoding,
// with nothing added before or after it.
#pragma once

#include <array>
#include <cstdint>

#include "merge.hpp"

namespace tallix {

using Digest = std::array<uint8_t, 32>;

Digest sha256(ByteView data);

template <Encodable T>
Digest state_hash(const T& s) {
  return sha256(encode(s));
}

}  // namespace tallix
