// Compile-time text signatures: "add($self, x)" gives the method name, whether
// it takes the instance, and the parameter names used for binding.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace tallix::py {

// A string literal usable as a template argument.
template <size_t N>
struct Lit {
  char text[N]{};
  constexpr Lit(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

inline constexpr int kMaxParams = 4;

struct Signature {
  std::string_view name;  // empty for a constructor "(d)"
  std::array<std::string_view, kMaxParams> params{};
  int count = 0;
  bool has_self = false;
};

constexpr std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

constexpr Signature parse_signature(std::string_view text) {
  Signature sig;
  size_t open = text.find('(');
  size_t close = text.rfind(')');
  sig.name = text.substr(0, open);
  std::string_view inner = text.substr(open + 1, close - open - 1);
  while (!inner.empty()) {
    size_t comma = inner.find(',');
    std::string_view item = trim(inner.substr(0, comma));
    if (item == "$self") {
      sig.has_self = true;
    } else if (!item.empty()) {
      sig.params[static_cast<size_t>(sig.count++)] = item;
    }
    if (comma == std::string_view::npos) break;
    inner.remove_prefix(comma + 1);
  }
  return sig;
}

}  // namespace tallix::py
