// Fast exact summation for long runs of values: single adds drop their
// significands into a bank of carry-free bins, folded into the 34 limbs only
// after a bounded number of values (kernels/bank.hpp, notes 2 to 4). The
// limbs end up holding exactly what the add loop of SumF64 would hold,
// whatever the order, batching or mixture of calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "acc.hpp"
#include "kernels/bank.hpp"

namespace tallix {

struct FastSumF64 {
  // The longest batch placed straight into this state's own bank; longer
  // ones go through the banked adder.
  static constexpr size_t kShortBatchMax = 4096;

  Limbs limbs{};
  uint64_t count = 0;
  uint64_t pending = 0;  // single adds held in the bank, always below kSingleAddsPerFold
  Bank bank;

  void add(double x) noexcept;
  void extend(std::span<const double> xs) noexcept;
  uint64_t counted() const noexcept { return count; }
  // An independent SumF64 holding this state's exact sum; this state is unchanged.
  SumF64 finish() const noexcept;

 private:
  void extend_short(std::span<const double> xs) noexcept;
  void extend_long(std::span<const double> xs) noexcept;
};

}  // namespace tallix
