// A row-major matrix of binary64 values, as batch updates of row states take it.
#pragma once

#include <cstddef>
#include <span>

namespace tallix {

struct Rows {
  std::span<const double> values;  // row after row
  size_t count = 0;                // number of rows
  size_t width = 0;                // values per row (0 when there are no rows)
};

}  // namespace tallix
