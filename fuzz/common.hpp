// Shared pieces of the fuzz harnesses: a reader that turns the fuzzer's bytes
// into hostile arguments, a check that stops the run with a message, and an
// allocation meter fed by the sanitizer allocator's hooks.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "merge.hpp"

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace fuzz {

using tallix::Bytes;
using tallix::ByteView;

// Values that sit on the edges of the formats and of the accumulator.
inline const double kEdgeValues[] = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::quiet_NaN(),
    std::bit_cast<double>(uint64_t{0xFFF0000000000001}),  // signalling, negative
    std::bit_cast<double>(uint64_t{1}),                   // smallest subnormal
    std::bit_cast<double>(uint64_t{0x000FFFFFFFFFFFFF}),  // largest subnormal
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    0x1p53,
    0x1p-537,  // squares to the edge of the normal range
    1e308,
    1e-200,
    3.0,
};

// Consumes the fuzzer's bytes front to back; reads past the end give zeros.
struct Input {
  const uint8_t* p;
  size_t n;

  bool empty() const { return n == 0; }
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint64_t u64() {
    uint64_t v = 0;
    size_t k = n < 8 ? n : 8;
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
  // A value on an edge of the format most of the time, otherwise any bit pattern.
  double f64() {
    uint8_t sel = u8();
    if (sel < 2 * std::size(kEdgeValues)) return kEdgeValues[sel % std::size(kEdgeValues)];
    if (sel < 200) return std::bit_cast<double>(u64());
    // Ordinary magnitudes, where cancellation and rounding are interesting.
    return static_cast<double>(static_cast<int16_t>(u64() & 0xFFFF)) * std::ldexp(1.0, sel - 228);
  }
  ByteView bytes(size_t len) {
    size_t k = len < n ? len : n;
    ByteView v(p, k);
    p += k;
    n -= k;
    return v;
  }
  ByteView rest() { return bytes(n); }
};

// Live heap bytes and their peak while armed; the hooks see every allocation
// the sanitizer allocator makes.
struct AllocationMeter {
  static inline bool armed = false;
  static inline int64_t live = 0;
  static inline int64_t peak = 0;

  static void on_malloc(const volatile void*, size_t size) {
    if (!armed) return;
    live += static_cast<int64_t>(size);
    if (live > peak) peak = live;
  }
  static void on_free(const volatile void* ptr) {
    if (!armed || ptr == nullptr) return;
    live -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(ptr)));
  }
  static void install() {
    static bool done = [] {
      __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
      return true;
    }();
    (void)done;
  }
  void start() {
    install();
    live = peak = 0;
    armed = true;
  }
  int64_t stop() {
    armed = false;
    return peak;
  }
};

inline bool same_bytes(const Bytes& a, ByteView b) {
  return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
}

inline bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

}  // namespace fuzz
