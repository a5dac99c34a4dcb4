// The UTF-8 check of the map keys and the queries of SumMap and MomentsMap.
#include "maps.hpp"

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
