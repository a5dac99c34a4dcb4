// The receipt digest against the SHA-256 examples of FIPS 180-4: one block,
// a message that spills its padding into a second block, and a million bytes
// fed as one view; and the empty message, which is padding alone.
#include <string>
#include <string_view>

#include "check.hpp"
#include "receipt.hpp"

namespace {

std::string hex(const tallix::Digest& d) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string digest_of(std::string_view text) {
  auto bytes = reinterpret_cast<const uint8_t*>(text.data());
  return hex(tallix::sha256(tallix::ByteView(bytes, text.size())));
}

}  // namespace

TEST(sha256_fips_180_4_examples) {
  CHECK_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  CHECK_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  CHECK_EQ(digest_of(std::string(1'000'000, 'a')),
           "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  CHECK_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}
