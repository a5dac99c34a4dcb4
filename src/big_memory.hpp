// Memory for big-integer queries. GMP aborts the process when an allocation
// fails, and its allocation functions may neither throw nor jump out, so
// running out of memory must be made impossible inside a GMP call instead:
// a query reserves the most memory it can need before its first big-integer
// operation, and GMP is served from that reservation until the query ends.
#pragma once

#include <cstddef>

namespace tallix {

// While the outermost scope of a thread is alive, that thread's GMP
// allocations come from a reservation of at least `bytes`; elsewhere GMP uses
// the allocator that was installed before. Scopes nest: an inner scope uses
// the outer reservation. Every big integer made inside must die inside.
class [[nodiscard]] BigMemoryScope {
 public:
  explicit BigMemoryScope(size_t bytes) noexcept;
  ~BigMemoryScope();
  BigMemoryScope(const BigMemoryScope&) = delete;
  BigMemoryScope& operator=(const BigMemoryScope&) = delete;

  // False when the reservation could not be made: the query must then fail
  // with OutOfMemory before it touches a big integer.
  bool reserved() const noexcept { return reserved_; }

 private:
  bool reserved_ = false;
  bool outermost_ = false;
};

// What the arena of this thread served in its last outermost scope, for the
// tests that check the bounds: the bytes carved from the reservation, and
// allocations that found the reservation exhausted (a bound that was wrong).
struct BigMemoryUse {
  size_t carved = 0;
  size_t overflows = 0;
};
BigMemoryUse last_big_memory_use() noexcept;

// Every value of a fixed-size statistics query (moments, covariance, weighted
// moments, one entry of a covariance matrix) has at most 256 limbs (2 KiB):
// the accumulators hold 2176 bits, and the widest intermediate (a3² and a2³
// of the skewness, about 13,060 bits, shifted by at most 1,074 bits while
// rounding) stays below 16,384 bits. Counted from the code, such a query
// holds fewer than 64 GMP allocations at once (named values, expression
// temporaries and GMP's scratch), and GMP's scratch for operands this small
// needs at most 4 allocations of at most 16 KiB. With the arena's
// power-of-two classes a class only grows while all of its allocations are
// live, so allocations up to 2 KiB cost at most 64 · 2 · 2 KiB and the
// scratch 4 · 2 · 16 KiB.
inline constexpr size_t kStatsQueryBytes = 64 * 2 * 2048 + 4 * 2 * 16384;

}  // namespace tallix
