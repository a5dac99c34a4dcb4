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

// The most parameters a bound call takes: `_moments(what, parts, ddof,
// missing)` and `_row_answers(what, block, ddof, out)` take four.
inline constexpr int kMaxParams = 4;

struct Signature {
  std::string_view name;  // empty for a constructor "(d)"
  std::array<std::string_view, kMaxParams> params{};
  int count = 0;
  bool has_self = false;
};

// Scans by index rather than with string_view::find, which some sanitizer
// builds cannot evaluate at compile time on template-argument strings.
constexpr size_t index_of(std::string_view s, char c, size_t from = 0) {
  for (size_t i = from; i < s.size(); ++i)
    if (s[i] == c) return i;
  return s.size();
}

constexpr std::string_view trimmed(std::string_view s, size_t begin, size_t end) {
  while (begin < end && s[begin] == ' ') ++begin;
  while (end > begin && s[end - 1] == ' ') --end;
  return s.substr(begin, end - begin);
}

constexpr Signature parse_signature(std::string_view text) {
  Signature sig;
  size_t open = index_of(text, '(');
  size_t close = text.size() - 1;  // the closing parenthesis
  sig.name = text.substr(0, open);
  for (size_t begin = open + 1; begin < close;) {
    size_t comma = index_of(text, ',', begin);
    size_t end = comma < close ? comma : close;
    std::string_view item = trimmed(text, begin, end);
    if (!item.empty() && item[0] == '$') {  // $self, the instance
      sig.has_self = true;
    } else if (!item.empty()) {
      sig.params[static_cast<size_t>(sig.count++)] = item;
    }
    begin = end + 1;
  }
  return sig;
}

}  // namespace tallix::py
