// SumMap and MomentsMap: maps from text keys to mergeable states, reconciled
// by additive merge, both made from the ConvergentMap template (byte form
// note 7).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "../acc.hpp"
#include "../byte_forms.hpp"
#include "../error.hpp"
#include "../merge.hpp"
#include "../stats/moments.hpp"

namespace tallix {

// Whether `b` is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF): exactly the byte strings a Python str encodes to.
bool valid_utf8(ByteView b) noexcept;

// Keys are compared as unsigned UTF-8 bytes, a prefix first; no normalisation.
template <class State>
struct ConvergentMap {
  std::map<std::string, State, std::less<>> entries;

  // Adds x to the state under `key`, inserting an empty state first when the
  // key is new (the key is copied only then).
  Status add(std::string_view key, double x) {
    auto it = entries.lower_bound(key);
    if (it == entries.end() || it->first != key) {
      if (key.size() > UINT32_MAX || entries.size() >= kMaxEntries) return InputError::Undefined;
      it = entries.emplace_hint(it, key, State{});
    }
    it->second.add(x);
    return {};
  }

  // add(keys[i], xs[i]) for every i, in order.
  Status extend(std::span<const std::string_view> keys, std::span<const double> xs) {
    if (keys.size() != xs.size()) return Rejection{"keys and xs must have the same length"};
    for (size_t i = 0; i < keys.size(); ++i) {
      if (Status s = add(keys[i], xs[i]); !s.ok()) return s;
    }
    return {};
  }

  const State* find(std::string_view key) const noexcept {
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
  }
  uint64_t len() const noexcept { return entries.size(); }

  // Additive: unites the keys and merges the states of shared keys. New
  // entries are copied aside first, so a failure (memory, or a key count
  // beyond kMaxEntries) changes nothing.
  Status merge(const ConvergentMap& other) {
    std::map<std::string, State, std::less<>> fresh;
    for (const auto& [key, state] : other.entries) {
      if (!entries.contains(key)) fresh.emplace_hint(fresh.end(), key, state);
    }
    if (entries.size() + fresh.size() > kMaxEntries) return InputError::Undefined;
    for (const auto& [key, state] : other.entries) {
      auto it = entries.find(key);
      if (it != entries.end()) it->second.merge(state);
    }
    entries.merge(fresh);
    return {};
  }

  void encode_into(ByteWriter& w) const {
    w.u32(static_cast<uint32_t>(entries.size()));
    for (const auto& [key, state] : entries) {
      w.u32(static_cast<uint32_t>(key.size()));
      w.raw(ByteView(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
      write_sized(w, state);
    }
  }

  // Accepts exactly the byte strings `encode` produces: keys valid UTF-8 and
  // strictly ascending, each state in its own exact form, nothing after.
  static Result<ConvergentMap> decode(ByteView b) {
    ConvergentMap m;
    ByteReader r{b};
    uint32_t n = r.u32();
    // Every entry consumes input, so a large stated n fails on the bytes
    // rather than on an allocation.
    for (uint32_t i = 0; i < n && r.ok; ++i) {
      ByteView key = r.raw(r.u32());
      ByteView body = r.raw(r.u32());
      if (!r.ok || !valid_utf8(key)) return InputError::Undefined;
      std::string_view text(reinterpret_cast<const char*>(key.data()), key.size());
      if (!m.entries.empty() && !(m.entries.rbegin()->first < text)) return InputError::Undefined;
      Result<State> state = State::from_bytes(body);
      if (!state.ok()) return InputError::Undefined;
      m.entries.emplace_hint(m.entries.end(), text, std::move(state).value());
    }
    if (!r.at_end()) return InputError::Undefined;
    return m;
  }

 private:
  // Writes a u32 length and the state's encoding, filling the length in once
  // the encoding is written so that no temporary buffer is needed.
  static void write_sized(ByteWriter& w, const State& state) {
    size_t at = w.out.size();
    w.u32(0);
    state.encode_into(w);
    uint32_t len = static_cast<uint32_t>(w.out.size() - at - 4);
    for (int i = 0; i < 4; ++i) w.out[at + i] = static_cast<uint8_t>(len >> (8 * i));
  }
};

using SumMap = ConvergentMap<SumF64>;
using MomentsMap = ConvergentMap<MomentsF64>;

Result<double> try_value(const SumMap& m, std::string_view key) noexcept;
// Saturating total of the counts of all entries.
uint64_t total_count(const SumMap& m) noexcept;
Result<double> try_mean(const MomentsMap& m, std::string_view key);
Result<double> try_variance(const MomentsMap& m, std::string_view key);

}  // namespace tallix
