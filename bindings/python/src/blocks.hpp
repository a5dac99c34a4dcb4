// Blocks: 2-D arrays whose row i belongs to one state of a row feed, or to
// one answer of `_row_answers`. They are read in tiles that fit in the
// cache, so that a block whose rows are strided (the reduced axis is the
// slow one in memory) is read in one pass and never copied whole.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "error.hpp"
#include "errors.hpp"
#include "scoped.hpp"

namespace tallix::py {

// Rows [row, row + rows) x columns [col, col + cols) of every block.
struct Tile {
  size_t row = 0, rows = 0, col = 0, cols = 0;
  size_t values() const { return rows * cols; }
  // Whether this is the first tile of its group of rows.
  bool opens_group() const { return col == 0; }
};

// The tiles of a block in the order that reads its memory once: a group of
// rows, its columns from left to right, then the next group.
class TilePlan {
 public:
  TilePlan(size_t rows, size_t width, bool rows_contiguous, bool in_place);
  bool done() const { return tile_.row >= rows_ || width_ == 0; }
  const Tile& tile() const { return tile_; }
  bool single() const { return tile_rows_ >= rows_ && tile_cols_ >= width_; }
  void next();

 private:
  void shape();

  size_t rows_, width_, tile_rows_, tile_cols_;
  Tile tile_;
};

// The most blocks one call takes: a row feed passes one per column its
// class's `extend` takes, and none takes more than two (xs and ys, xs and ws).
inline constexpr size_t kMaxBlocks = 2;

// Up to kMaxBlocks equally tall blocks, held for the call.
class Blocks {
 public:
  // False with TypeError/ValueError set: not a 2-D array of real numbers,
  // more blocks than kMaxBlocks, or a row count other than `rows`.
  bool open(std::span<PyObject* const> blocks, size_t rows);
  size_t count() const { return count_; }
  size_t width(size_t k) const { return inputs_[k].buffer().width(); }
  bool equal_widths() const;
  bool may_refuse() const;
  TilePlan plan(size_t rows) const;
  std::span<const double> row(size_t k, size_t r) const {
    return {first_[k] + static_cast<ptrdiff_t>(r) * step_[k], cols_};
  }

  // Reads every tile of `plan` in order and hands it to `step`, which takes
  // the tile's rows through row() and returns a Status: the lock let go
  // around both when the tile is large enough, signals checked between
  // tiles. False with the error set when a signal, a value binary64 cannot
  // hold or a failed step (raised as `who`'s) ends it.
  template <class Step>
  bool each_tile(TilePlan& plan, const CallName& who, Step step) {
    for (; !plan.done(); plan.next()) {
      if (PyErr_CheckSignals() < 0) return false;
      const Tile& t = plan.tile();
      bool read = false;
      Status status;
      {
        Unlocked scope(t.values() >= kMinUnlockedValues);
        read = this->read(t);
        if (read) status = step(t);
      }
      if (!read) return refuse();
      if (!status.ok()) return (raise_failure(status.failure(), who), false);
    }
    return true;
  }

 private:
  // Makes the tile's rows readable through row(); false at a value that has
  // no binary64 value. Needs no lock.
  bool read(const Tile& t);
  // Raises the error for the value read() stopped at; always false.
  bool refuse() const;

  size_t count_ = 0;
  std::array<ArrayInput, kMaxBlocks> inputs_;
  std::array<std::vector<double>, kMaxBlocks> scratch_;
  std::array<const double*, kMaxBlocks> first_{};
  std::array<ptrdiff_t, kMaxBlocks> step_{};  // in values, from one row to the next
  size_t cols_ = 0;
};

}  // namespace tallix::py
