// The 2-D blocks of a row feed: one row per state, read in tiles that fit in
// the cache, so that a block whose rows are strided (the reduced axis is the
// slow one in memory) is read in one pass and never copied whole.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "streams.hpp"

namespace tallix::py {

// Rows [row, row + rows) x columns [col, col + cols) of every block.
struct Tile {
  size_t row = 0, rows = 0, col = 0, cols = 0;
  size_t values() const { return rows * cols; }
};

// The tiles of a block in the order that reads its memory once: a group of
// rows, its columns from left to right, then the next group.
class TilePlan {
 public:
  TilePlan(size_t rows, size_t width, bool rows_contiguous, bool in_place);
  bool done() const { return tile_.row >= rows_ || width_ == 0; }
  const Tile& tile() const { return tile_; }
  // Whether the current tile is the first of its group of rows.
  bool opens_group() const { return tile_.col == 0; }
  bool single() const { return tile_rows_ >= rows_ && tile_cols_ >= width_; }
  void next();

 private:
  void shape();

  size_t rows_, width_, tile_rows_, tile_cols_;
  Tile tile_;
};

inline constexpr size_t kMaxBlocks = 2;

// Up to kMaxBlocks equally shaped 2-D numeric buffers, held for the call.
class RowBlocks {
 public:
  // False with TypeError/ValueError set: not a 2-D array of real numbers,
  // more blocks than kMaxBlocks, or a row count other than `rows`.
  bool open(std::span<PyObject* const> blocks, size_t rows);
  size_t count() const { return count_; }
  size_t width(size_t k) const { return inputs_[k].buffer().width(); }
  bool equal_widths() const;
  bool may_refuse() const;
  TilePlan plan(size_t rows) const;
  // Makes the tile's rows readable through row(); false at an integer that
  // has no binary64 value (refuse() raises for it). Needs no lock.
  bool read(const Tile& t);
  std::span<const double> row(size_t k, size_t r) const {
    return {first_[k] + static_cast<ptrdiff_t>(r) * step_[k], cols_};
  }
  bool refuse() const;

 private:
  size_t count_ = 0;
  std::array<ArrayInput, kMaxBlocks> inputs_;
  std::array<std::vector<double>, kMaxBlocks> scratch_;
  std::array<const double*, kMaxBlocks> first_{};
  std::array<ptrdiff_t, kMaxBlocks> step_{};  // in values, from one row to the next
  size_t cols_ = 0;
};

}  // namespace tallix::py
