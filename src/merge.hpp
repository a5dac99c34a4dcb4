// The mergeable-state interface and the byte conventions every encoding
// follows: little-endian integers, raw binary64 bit patterns, composite
// states as their parts concatenated in field order.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "error.hpp"

namespace tallix {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Appends little-endian fields to a growing buffer.
struct ByteWriter {
  Bytes& out;

  void u8(uint8_t v) { out.push_back(v); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void raw(ByteView b) { out.insert(out.end(), b.begin(), b.end()); }

 private:
  void le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

// Reads little-endian fields; every read checks the remaining length, and a
// short read leaves `ok` false for good.
struct ByteReader {
  ByteView in;
  size_t pos = 0;
  bool ok = true;

  size_t remaining() const { return in.size() - pos; }
  bool take(size_t n) {
    if (!ok || remaining() < n) return ok = false;
    pos += n;
    return true;
  }
  uint8_t u8() { return take(1) ? in[pos - 1] : 0; }
  uint32_t u32() { return static_cast<uint32_t>(le(4)); }
  uint64_t u64() { return le(8); }
  double f64() { return std::bit_cast<double>(u64()); }
  ByteView raw(size_t n) { return take(n) ? in.subspan(pos - n, n) : ByteView{}; }
  // A truth value stored as a whole byte: only 0 and 1 are valid.
  bool boolean() {
    uint8_t b = u8();
    if (b > 1) ok = false;
    return b == 1;
  }
  bool at_end() const { return ok && pos == in.size(); }

 private:
  uint64_t le(int n) {
    if (!take(static_cast<size_t>(n))) return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{in[pos - n + i]} << (8 * i);
    return v;
  }
};

// A state that knows how to append its canonical bytes.
template <class T>
concept Encodable = requires(const T& s, ByteWriter& w) {
  { s.encode_into(w) };
};

// A state that also merges exactly with another of its kind.
template <class T>
concept Mergeable = Encodable<T> && requires(T& a, const T& b) {
  { a.merge(b) };
};

// Reads a fixed-size byte form with T::decode_from: a wrong length is refused
// before the content is looked at, and the content must fill the form exactly.
template <class T>
Result<T> decode_fixed(ByteView b, size_t size) {
  if (b.size() != size) return InputError::WrongLength;
  ByteReader r{b};
  T out;
  if (!T::decode_from(r, out) || !r.at_end()) return InputError::Undefined;
  return out;
}

template <Encodable T>
Bytes encode(const T& s) {
  Bytes out;
  ByteWriter w{out};
  s.encode_into(w);
  return out;
}

}  // namespace tallix
