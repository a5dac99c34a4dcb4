// DeltasSum, the plain exact running sum of the replication module.
#pragma once

#include <span>

#include "../acc.hpp"

namespace tallix {

// An exact running sum with nothing else: no merge, no encoding.
struct DeltasSum {
  SumF64 running_sum;

  void add(double x) noexcept { running_sum.add(x); }
  void extend(std::span<const double> xs) noexcept { running_sum.extend(xs); }
  double value() const noexcept { return running_sum.value(); }
};

}  // namespace tallix
