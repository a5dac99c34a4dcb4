// Buffer elements of every real-number format read as binary64: the format
// parser, the conversion loops, and the text that names a value binary64
// cannot hold.
#include "elements.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace tallix::py {

namespace {

constexpr bool kLittle = std::endian::native == std::endian::little;

// The byte-order prefix of a format: whether it names the other order, and
// whether it asks for standard sizes (which then come from itemsize anyway).
std::optional<bool> swapped_by(char prefix) {
  switch (prefix) {
    case '@':
    case '=':
      return false;
    case '<':
      return !kLittle;
    case '>':
    case '!':
      return kLittle;
    default:
      return std::nullopt;
  }
}

std::optional<Element> integer_of(size_t size, bool is_signed) {
  switch (size) {
    case 1:
      return is_signed ? Element::I8 : Element::U8;
    case 2:
      return is_signed ? Element::I16 : Element::U16;
    case 4:
      return is_signed ? Element::I32 : Element::U32;
    case 8:
      return is_signed ? Element::I64 : Element::U64;
    default:
      return std::nullopt;
  }
}

std::optional<Element> element_of(char code, size_t size) {
  switch (code) {
    case 'e':
      return size == 2 ? std::optional(Element::F16) : std::nullopt;
    case 'f':
      return size == 4 ? std::optional(Element::F32) : std::nullopt;
    case 'd':
      return size == 8 ? std::optional(Element::F64) : std::nullopt;
    case 'g':
      return size == sizeof(long double) ? std::optional(Element::LongDouble) : std::nullopt;
    case '?':
      return size == 1 ? std::optional(Element::Bool) : std::nullopt;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      return integer_of(size, true);
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      return integer_of(size, false);
    default:
      return std::nullopt;
  }
}

template <class U, bool Swap>
U load(const char* at) {
  U u;
  std::memcpy(&u, at, sizeof u);
  if constexpr (!Swap || sizeof(U) == 1) return u;
  if constexpr (sizeof(U) == 2) return __builtin_bswap16(u);
  if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
  if constexpr (sizeof(U) == 8) return __builtin_bswap64(u);
}

template <class U>
U load(const char* at, bool swapped) {
  return swapped ? load<U, true>(at) : load<U, false>(at);
}

// Every binary16 value, NaN payloads included, is a binary64 value.
double from_half(uint16_t h) {
  uint64_t sign = static_cast<uint64_t>(h >> 15) << 63;
  uint64_t exponent = (h >> 10) & 0x1F, fraction = h & 0x3FF;
  if (exponent == 0) {
    double magnitude = std::ldexp(static_cast<double>(fraction), -24);
    return std::bit_cast<double>(std::bit_cast<uint64_t>(magnitude) | sign);
  }
  uint64_t e64 = exponent == 0x1F ? 0x7FF : exponent - 15 + 1023;
  return std::bit_cast<double>(sign | (e64 << 52) | (fraction << 42));
}

template <class Value>
uint64_t magnitude_of(Value v) {
  return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// The conversion loop, with the unit stride apart so that it vectorises.
template <class Raw, bool Swap, class Convert>
void convert_all(const char* base, ptrdiff_t stride, size_t n, double* out, Convert convert) {
  if (stride == static_cast<ptrdiff_t>(sizeof(Raw))) {
    for (size_t i = 0; i < n; ++i) out[i] = convert(load<Raw, Swap>(base + i * sizeof(Raw)));
  } else {
    for (size_t i = 0; i < n; ++i)
      out[i] = convert(load<Raw, Swap>(base + static_cast<ptrdiff_t>(i) * stride));
  }
}

template <class Raw, class Convert>
void convert_all(const char* base, ptrdiff_t stride, size_t n, bool swapped, double* out,
                 Convert convert) {
  if (swapped)
    convert_all<Raw, true>(base, stride, n, out, convert);
  else
    convert_all<Raw, false>(base, stride, n, out, convert);
}

// Integers of up to 32 bits always convert exactly; wider ones are checked
// after the loop, which stays branch-free, and located only if one failed.
template <class Raw, class Value>
size_t read_integers(const char* base, ptrdiff_t stride, size_t n, bool swapped, double* out) {
  convert_all<Raw>(base, stride, n, swapped, out,
                   [](Raw r) { return static_cast<double>(static_cast<Value>(r)); });
  if constexpr (sizeof(Value) == 8) {
    bool wide = false;
    for (size_t i = 0; i < n; ++i) wide |= std::fabs(out[i]) >= 0x1p53;
    if (!wide) return n;
    for (size_t i = 0; i < n; ++i) {
      auto v = static_cast<Value>(load<Raw>(base + static_cast<ptrdiff_t>(i) * stride, swapped));
      if (!fits_binary64(magnitude_of(v))) return i;
    }
  }
  return n;
}

long double load_long_double(const char* at, bool swapped) {
  char bytes[sizeof(long double)];
  std::memcpy(bytes, at, sizeof bytes);
  if (swapped) std::reverse(bytes, bytes + sizeof bytes);
  long double v;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

// A long double is taken when binary64 holds it: NaN (of any payload), the
// infinities, and the values whose extra significand bits are zero.
size_t read_long_doubles(const char* base, ptrdiff_t stride, size_t n, bool swapped, double* out) {
  for (size_t i = 0; i < n; ++i) {
    long double v = load_long_double(base + static_cast<ptrdiff_t>(i) * stride, swapped);
    double d = static_cast<double>(v);
    if (static_cast<long double>(d) != v && !std::isnan(v)) return i;
    out[i] = d;
  }
  return n;
}

template <class Raw, class Convert>
size_t read_reals(const char* base, ptrdiff_t stride, size_t n, bool swapped, double* out,
                  Convert convert) {
  convert_all<Raw>(base, stride, n, swapped, out, convert);
  return n;
}

}  // namespace

std::optional<ElementFormat> parse_element(std::string_view format, size_t itemsize) {
  bool swapped = false;
  if (format.size() == 2) {
    std::optional<bool> s = swapped_by(format[0]);
    if (!s) return std::nullopt;
    swapped = *s;
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  std::optional<Element> kind = element_of(format[0], itemsize);
  if (!kind) return std::nullopt;
  return ElementFormat{*kind, swapped && itemsize > 1, itemsize};
}

bool is_complex_format(std::string_view format) {
  if (format.size() == 3 && swapped_by(format[0])) format.remove_prefix(1);
  return format.size() == 2 && format[0] == 'Z';
}

size_t read_elements(ElementFormat f, const char* base, ptrdiff_t stride, size_t n, double* out) {
  const bool s = f.swapped;
  switch (f.kind) {
    case Element::F16:
      return read_reals<uint16_t>(base, stride, n, s, out, from_half);
    case Element::F32:
      return read_reals<uint32_t>(base, stride, n, s, out, [](uint32_t u) {
        return static_cast<double>(std::bit_cast<float>(u));
      });
    case Element::F64:
      return read_reals<uint64_t>(base, stride, n, s, out,
                                  [](uint64_t u) { return std::bit_cast<double>(u); });
    case Element::LongDouble:
      return read_long_doubles(base, stride, n, s, out);
    case Element::Bool:
      return read_reals<uint8_t>(base, stride, n, s, out, [](uint8_t u) { return u ? 1.0 : 0.0; });
    default:
      break;
  }
  auto integers = [&](auto type) {
    using V = typename decltype(type)::type;
    return read_integers<std::make_unsigned_t<V>, V>(base, stride, n, s, out);
  };
  return with_integer_type(f.kind, integers).value_or(n);
}

std::string_view describe_integer(ElementFormat f, const char* at, char (&text)[24]) {
  uint64_t raw = load<uint64_t>(at, f.swapped);
  auto [end, ec] = f.kind == Element::I64
                       ? std::to_chars(text, text + sizeof text, static_cast<int64_t>(raw))
                       : std::to_chars(text, text + sizeof text, raw);
  (void)ec;
  return std::string_view(text, static_cast<size_t>(end - text));
}

std::string_view describe_long_double(ElementFormat f, const char* at, char (&text)[48]) {
  // 21 significant digits tell apart any two long doubles of up to 64
  // significand bits; %g drops the trailing zeros of integral values.
  int n = std::snprintf(text, sizeof text, "%.21Lg", load_long_double(at, f.swapped));
  return std::string_view(text, n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0);
}

double rounded_long_double(ElementFormat f, const char* at) {
  return static_cast<double>(load_long_double(at, f.swapped));
}

}  // namespace tallix::py
