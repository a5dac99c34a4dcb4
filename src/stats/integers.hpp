// Exact sums of integers of up to 64 bits, and the answers read from them.
// A float64 state holds only integers below 2^53 exactly; a column of IDs,
// nanosecond timestamps or micro-units needs more. Σx of fewer than 2^63
// values of 64 bits fits in 128 bits, Σx² in 192.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "answers.hpp"

namespace tallix {

__extension__ using U128 = unsigned __int128;
__extension__ using I128 = __int128;

// An integer of any width as its sign and little-endian 64-bit words: how
// integers cross into and out of the core without a big-integer type.
struct WideInt {
  bool negative = false;
  std::vector<uint64_t> words;
};

struct IntegerSums {
  I128 s1 = 0;
  std::array<uint64_t, 3> s2{};  // little-endian words of Σx²
  uint64_t n = 0;

  void add(int64_t x) noexcept {
    s1 += x;
    add_square(x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x));
  }
  void add(uint64_t x) noexcept {
    s1 += static_cast<I128>(x);
    add_square(x);
  }
  WideInt sum() const;
  WideInt squares() const;

 private:
  void add_square(uint64_t magnitude) noexcept;
};

// mean, variance with ddof, or the correctly rounded standard deviation of n
// integers from their exact Σx and Σx²; NaN where n = 0 or n − ddof <= 0.
Result<double> integer_moment(const WideInt& s1, const WideInt& s2, const WideInt& n,
                              MomentAnswer what, double ddof);

}  // namespace tallix
