// Numeric buffer elements read as binary64: every real-number format an
// array can export (floats of 16, 32 and 64 bits, long double, integers of
// every width, booleans), in either byte order and at any stride. Plain
// memory work, with no Python objects, so it may run while the interpreter
// lock is released.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace tallix::py {

enum class Element : uint8_t {
  F16,
  F32,
  F64,
  LongDouble,
  Bool,
  I8,
  I16,
  I32,
  I64,
  U8,
  U16,
  U32,
  U64
};

struct ElementFormat {
  Element kind = Element::F64;
  bool swapped = false;  // stored in the other byte order
  size_t size = 8;

  bool is_native_f64() const { return kind == Element::F64 && !swapped; }
  // Whether some value may have no exact binary64 value: integers of 64
  // bits, and long doubles wider than binary64.
  bool may_be_inexact() const {
    return kind == Element::LongDouble || (size == 8 && kind != Element::F64);
  }
  bool is_integer() const { return kind >= Element::I8; }
};

// Calls f(std::type_identity<V>{}) with V the C++ type of an integer
// element kind, and returns what it returns; nullopt for any other kind.
template <class F>
auto with_integer_type(Element kind, F f)
    -> std::optional<std::invoke_result_t<F, std::type_identity<int8_t>>> {
  switch (kind) {
    case Element::I8:
      return f(std::type_identity<int8_t>{});
    case Element::I16:
      return f(std::type_identity<int16_t>{});
    case Element::I32:
      return f(std::type_identity<int32_t>{});
    case Element::I64:
      return f(std::type_identity<int64_t>{});
    case Element::U8:
      return f(std::type_identity<uint8_t>{});
    case Element::U16:
      return f(std::type_identity<uint16_t>{});
    case Element::U32:
      return f(std::type_identity<uint32_t>{});
    case Element::U64:
      return f(std::type_identity<uint64_t>{});
    default:
      return std::nullopt;
  }
}

// The element a struct-module format string names, or nullopt for anything
// that is not a real number: complex, text, objects, records, pointers.
std::optional<ElementFormat> parse_element(std::string_view format, size_t itemsize);

// Whether a struct-module format string names a complex number ("Zd").
bool is_complex_format(std::string_view format);

// Converts n elements at base, base + stride, ... into out[0..n). Every
// value converts exactly except integers of 54 bits or more and long doubles,
// which binary64 may not hold: returns n when all were held exactly, else the
// index of the first that was not (the values before it are converted).
size_t read_elements(ElementFormat f, const char* base, ptrdiff_t stride, size_t n, double* out);

// Whether binary64 holds an integer of this magnitude exactly: at most 53
// significant bits.
inline bool fits_binary64(uint64_t magnitude) {
  return magnitude < (uint64_t{1} << 53) ||
         (magnitude >> std::countr_zero(magnitude)) < (uint64_t{1} << 53);
}

// The integer at `at` as a decimal string, for the message that refuses it.
std::string_view describe_integer(ElementFormat f, const char* at, char (&text)[24]);

// The long double at `at`: as decimal digits that name it exactly enough to
// tell it from its binary64 neighbours, and rounded to binary64.
std::string_view describe_long_double(ElementFormat f, const char* at, char (&text)[48]);
double rounded_long_double(ElementFormat f, const char* at);

}  // namespace tallix::py
