// The mergeable-state interface and the byte conventions every encoding
// follows: little-endian integers, raw binary64 bit patterns, composite
// states as their parts concatenated in field order; and the merge, byte
// form and decoding of a composite state, derived from its list of parts.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <utility>
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

// Composite states. A composite state lists its parts once, in field
// order, as `static auto fields(auto& s) { return std::tie(s.a, s.b); }`,
// and takes merge_fields, encode_fields and decode_fields for its merge,
// byte form and decoding. A part is one of:
//   - a state with merge, encode_into and decode_from of its own;
//   - a vector of such states, merged and coded element by element (the
//     owner sizes it before decoding);
//   - a sticky truth value (a bool): set once, it stays set, so a merge ORs
//     it, and the form holds it as one truth byte.
// A state whose parts merge otherwise says so where it merges.
namespace parts {

template <class T>
void merge(T& into, const T& from) noexcept {
  into.merge(from);
}
inline void merge(bool& into, const bool& from) noexcept { into = into || from; }
template <class T>
void merge(std::vector<T>& into, const std::vector<T>& from) noexcept {
  for (size_t i = 0; i < into.size(); ++i) merge(into[i], from[i]);
}

template <class T>
void encode(ByteWriter& w, const T& part) {
  part.encode_into(w);
}
inline void encode(ByteWriter& w, const bool& flag) { w.u8(flag ? 1 : 0); }
template <class T>
void encode(ByteWriter& w, const std::vector<T>& each) {
  for (const T& part : each) encode(w, part);
}

// A part that fails leaves the reader failed, whatever it read.
template <class T>
void decode(ByteReader& r, T& part) {
  if (!T::decode_from(r, part)) r.ok = false;
}
inline void decode(ByteReader& r, bool& flag) { flag = r.boolean(); }
template <class T>
void decode(ByteReader& r, std::vector<T>& each) {
  for (T& part : each) decode(r, part);
}

}  // namespace parts

template <class S>
void merge_fields(S& into, const S& from) noexcept {
  auto a = S::fields(into);
  auto b = S::fields(from);
  [&]<size_t... I>(std::index_sequence<I...>) {
    (parts::merge(std::get<I>(a), std::get<I>(b)), ...);
  }(std::make_index_sequence<std::tuple_size_v<decltype(a)>>{});
}

template <class S>
void encode_fields(ByteWriter& w, const S& s) {
  std::apply([&](const auto&... part) { (parts::encode(w, part), ...); }, S::fields(s));
}

// False when a part is malformed or the input ran short.
template <class S>
bool decode_fields(ByteReader& r, S& s) {
  std::apply([&](auto&... part) { (parts::decode(r, part), ...); }, S::fields(s));
  return r.ok;
}

template <Encodable T>
Bytes encode(const T& s) {
  Bytes out;
  ByteWriter w{out};
  s.encode_into(w);
  return out;
}

}  // namespace tallix
