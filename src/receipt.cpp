// The SHA-256 digest of the receipts, through Nettle.
#include "receipt.hpp"

#include <nettle/sha2.h>

namespace tallix {

// Nettle picks its SHA-NI routine at load time where the processor has one;
// the digest is the same either way.
Digest sha256(ByteView data) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), data.data());
  Digest d;
  sha256_digest(&ctx, d.size(), d.data());
  return d;
}

}  // namespace tallix
