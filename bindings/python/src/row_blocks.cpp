#include "row_blocks.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace tallix::py {

namespace {

// Values per tile: the tile and the cache lines it reads stay in L2. Tiles
// read in place need no scratch and take longer runs, as the batch methods
// do, so the fixed cost of a core call does not show.
constexpr size_t kTileValues = kStreamChunk;
// Rows per tile when rows are strided: their elements of one column share a
// few cache lines, which the tile's other columns do not evict.
constexpr size_t kStridedTileRows = 64;

void refuse_non_array(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected a 2-dimensional array of real numbers, not '%s'",
               type_name(o).c_str());
}

// Tiles address rows at random, which a stream of Arrow batches cannot: a
// table is read whole, once, into a buffer of its own.
bool read_table(ArrowSource& table, BufferWindow& window) {
  std::vector<double> values;
  const double* data = nullptr;
  size_t rows = 0;
  if (!table.pull(SIZE_MAX, values, data, rows)) return false;
  window.adopt(std::move(values), rows, table.width());
  return true;
}

}  // namespace

TilePlan::TilePlan(size_t rows, size_t width, bool rows_contiguous, bool in_place)
    : rows_(rows), width_(width) {
  if (rows_contiguous) {
    size_t values = in_place ? kInPlaceChunk : kTileValues;
    tile_cols_ = std::max<size_t>(1, std::min(width, values));
    tile_rows_ = std::max<size_t>(1, values / tile_cols_);
  } else {
    tile_rows_ = std::max<size_t>(1, std::min(rows, kStridedTileRows));
    tile_cols_ = std::max<size_t>(1, kTileValues / tile_rows_);
  }
  shape();
}

void TilePlan::shape() {
  tile_.rows = std::min(tile_rows_, rows_ - std::min(rows_, tile_.row));
  tile_.cols = std::min(tile_cols_, width_ - tile_.col);
}

void TilePlan::next() {
  tile_.col += tile_.cols;
  if (tile_.col >= width_) {
    tile_.col = 0;
    tile_.row += tile_.rows;
  }
  shape();
}

bool RowBlocks::open(std::span<PyObject* const> blocks, size_t rows) {
  if (blocks.size() > kMaxBlocks) {
    PyErr_Format(PyExc_TypeError, "expected at most %zu blocks, got %zu", kMaxBlocks,
                 blocks.size());
    return false;
  }
  for (PyObject* block : blocks) {
    BufferWindow& window = windows_[count_];
    ArrowSource& table = tables_[count_];
    if (!open_array(block, 2, window, arrays_[count_], table)) {
      if (!PyErr_Occurred()) refuse_non_array(block);
      return false;
    }
    if (table.is_open() && !read_table(table, window)) return false;
    ++count_;
    if (window.extent(0) != rows) {
      PyErr_Format(PyExc_ValueError, "expected one row per state: %zu states, %zu rows", rows,
                   window.extent(0));
      return false;
    }
  }
  return true;
}

bool RowBlocks::equal_widths() const {
  for (size_t k = 1; k < count_; ++k)
    if (width(k) != width(0)) return false;
  return true;
}

bool RowBlocks::may_refuse() const {
  return std::any_of(windows_.begin(), windows_.begin() + count_,
                     [](const BufferWindow& w) { return w.may_refuse(); });
}

TilePlan RowBlocks::plan(size_t rows) const {
  auto all = [this](auto test) {
    return std::all_of(windows_.begin(), windows_.begin() + count_, test);
  };
  bool contiguous = all([](const BufferWindow& w) { return w.unit_columns(); });
  bool in_place = all([](const BufferWindow& w) { return w.rows_in_place(); });
  return TilePlan(rows, count_ ? width(0) : 0, contiguous, in_place);
}

bool RowBlocks::read(const Tile& t) {
  cols_ = t.cols;
  for (size_t k = 0; k < count_; ++k) {
    BufferWindow& window = windows_[k];
    if (window.rows_in_place()) {
      first_[k] = window.in_place(t.row, t.col);
      step_[k] = t.rows > 1 ? window.in_place(t.row + 1, t.col) - first_[k] : 0;
      continue;
    }
    scratch_[k].resize(t.values());
    if (!window.read_tile(t.row, t.rows, t.col, t.cols, scratch_[k].data())) return false;
    first_[k] = scratch_[k].data();
    step_[k] = static_cast<ptrdiff_t>(t.cols);
  }
  return true;
}

bool RowBlocks::refuse() const {
  for (size_t k = 0; k < count_; ++k)
    if (windows_[k].refuse()) return true;
  return false;
}

}  // namespace tallix::py
