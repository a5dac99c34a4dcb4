// Observations of several features each, row-major: the batch input of a
// state whose single update takes one observation (CovMatrixF64::add takes
// d features and a response).
#pragma once

#include <cstddef>
#include <span>

namespace tallix {

struct Observations {
  std::span<const double> values;  // observation after observation
  size_t count = 0;                // number of observations
  size_t width = 0;                // features per observation (0 when there are none)
};

}  // namespace tallix
