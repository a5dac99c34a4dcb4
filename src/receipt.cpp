#include "receipt.hpp"

#include <openssl/sha.h>

namespace tallix {

Digest sha256(ByteView data) {
  Digest d;
  SHA256(data.data(), data.size(), d.data());
  return d;
}

}  // namespace tallix
