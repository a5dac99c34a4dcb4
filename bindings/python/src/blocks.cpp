// Blocks read in tiles: the tile shapes that read a block's memory once,
// and the reading of a tile into binary64.
#include "blocks.hpp"

#include <algorithm>

#include "errors.hpp"
#include "streams.hpp"

namespace tallix::py {

namespace {

// Values per tile read through scratch: the tile and the cache lines it
// reads stay in L2. Tiles read in place need no scratch and take the longer
// runs of the batch methods (kInPlaceChunk), so that the fixed cost of a
// core call does not show.
constexpr size_t kTileValues = size_t{1} << 14;
// Rows per tile when rows are strided: their elements of one column share a
// few cache lines, which the tile's other columns do not evict.
constexpr size_t kStridedTileRows = 64;

void refuse_non_array(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected a 2-dimensional array of real numbers, not '%s'",
               type_name(o).c_str());
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
    // Narrow rows fill a tile with more of them, so that a tile is still
    // worth letting the interpreter lock go for.
    if (width < tile_cols_)
      tile_rows_ = std::max(tile_rows_, kTileValues / std::max<size_t>(1, width));
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

bool Blocks::open(std::span<PyObject* const> blocks, size_t rows) {
  if (blocks.size() > kMaxBlocks) {
    PyErr_Format(PyExc_TypeError, "expected at most %zu blocks, got %zu", kMaxBlocks,
                 blocks.size());
    return false;
  }
  for (PyObject* block : blocks) {
    ArrayInput& input = inputs_[count_];
    if (!input.open(block, 2)) {
      if (!PyErr_Occurred()) refuse_non_array(block);
      return false;
    }
    if (!input.as_buffer()) return false;
    ++count_;
    if (input.buffer().rows() != rows) {
      PyErr_Format(PyExc_ValueError, "expected one row per state: %zu states, %zu rows", rows,
                   input.buffer().rows());
      return false;
    }
  }
  return true;
}

bool Blocks::equal_widths() const {
  for (size_t k = 1; k < count_; ++k)
    if (width(k) != width(0)) return false;
  return true;
}

bool Blocks::may_refuse() const {
  return std::any_of(inputs_.begin(), inputs_.begin() + count_,
                     [](const ArrayInput& a) { return a.buffer().may_refuse(); });
}

TilePlan Blocks::plan(size_t rows) const {
  auto all = [this](auto test) {
    return std::all_of(inputs_.begin(), inputs_.begin() + count_,
                       [&](const ArrayInput& a) { return test(a.buffer()); });
  };
  bool contiguous = all([](const BufferWindow& w) { return w.unit_columns(); });
  bool in_place = all([](const BufferWindow& w) { return w.rows_in_place(); });
  return TilePlan(rows, count_ ? width(0) : 0, contiguous, in_place);
}

bool Blocks::read(const Tile& t) {
  cols_ = t.cols;
  for (size_t k = 0; k < count_; ++k) {
    BufferWindow& window = inputs_[k].buffer();
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

bool Blocks::refuse() const {
  for (size_t k = 0; k < count_; ++k)
    if (inputs_[k].refuse()) return false;
  PyErr_SetString(PyExc_RuntimeError, "tallix: a tile was not read");
  return false;
}

}  // namespace tallix::py
