// Arguments read as arrays: a numeric buffer, Arrow data, or the buffer an
// object's __array__ gives, read as binary64 a window of rows at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrow.hpp"
#include "elements.hpp"
#include "python.hpp"
#include "scoped.hpp"

namespace tallix::py {

// Which arrays a reader takes as memory; the rest it iterates.
enum class ArrayKinds : uint8_t {
  AnyReal,   // every real dtype, Arrow data, __array__
  Binary64,  // native binary64 buffers only
};

// A numeric buffer of one or two dimensions, held for the whole call. A
// column is read as rows of one value.
class BufferWindow {
 public:
  // False with no error set when `o` exports no buffer; false with TypeError
  // when it exports one of another kind or shape. Taking only Binary64, any
  // other buffer is left with no error set.
  bool open(PyObject* o, int ndim, ArrayKinds kinds);
  // Takes `values`, `rows` rows of `cols` values one after the other, as a
  // 2-D binary64 buffer of its own.
  void adopt(std::vector<double>&& values, size_t rows, size_t cols);
  bool is_open() const { return open_; }
  bool in_place() const { return open_ && contiguous_f64_; }
  size_t rows() const { return shape_[0]; }
  size_t width() const { return shape_[1]; }
  // Moves the window over the next rows, at most `most`, and sizes `scratch`
  // for them unless they can be read in place; returns how many.
  size_t pull(size_t most, std::vector<double>& scratch);
  bool exhausted() const { return next_ == rows(); }
  // The window's rows as binary64, row after row: in place when they already
  // are contiguous native binary64, else read into `scratch`. False at the
  // first value binary64 cannot hold. Needs no interpreter lock.
  bool convert(std::vector<double>& scratch, const double*& data);
  // Raises the ValueError for the value a read stopped at; false if none.
  bool refuse() const;

  // ---- tiles, for feeding one state per row ----
  // Whether the columns of a row lie next to each other in memory.
  bool unit_columns() const { return strides_[1] == static_cast<ptrdiff_t>(format_.size); }
  // Whether rows can be read in place as native binary64.
  bool rows_in_place() const;
  // Whether some element may have no exact binary64 value (64-bit integers,
  // long doubles).
  bool may_refuse() const { return format_.may_be_inexact(); }
  // The values of row `row` from column `col` on, in place (rows_in_place).
  const double* in_place(size_t row, size_t col) const {
    return reinterpret_cast<const double*>(at(row, col));
  }
  // Reads rows [row, row + rows) x columns [col, col + cols) into out, row
  // after row; false at the first value binary64 cannot hold.
  bool read_tile(size_t row, size_t rows, size_t col, size_t cols, double* out);

 private:
  void take(const Py_buffer& view, ElementFormat format);
  const char* at(size_t row, size_t col) const {
    return base_ + static_cast<ptrdiff_t>(row) * strides_[0] +
           static_cast<ptrdiff_t>(col) * strides_[1];
  }
  bool read_run(const char* start, ptrdiff_t stride, size_t n, double* out);

  HeldBuffer exported_;
  std::vector<double> adopted_;
  ElementFormat format_;
  const char* base_ = nullptr;
  size_t shape_[2] = {0, 0};       // rows, values per row
  ptrdiff_t strides_[2] = {0, 0};  // in bytes
  bool open_ = false, contiguous_f64_ = false;
  size_t first_ = 0, next_ = 0;    // the window: rows [first_, next_)
  const char* inexact_ = nullptr;  // the value a read stopped at
  std::vector<double> column_;     // one column of a tile, read_tile's scratch
};

// An argument read as an array of one or two dimensions.
class ArrayInput {
 public:
  // Opens `o` as a buffer of `ndim` dimensions, as Arrow data, or as the
  // buffer its __array__ gives, as `kinds` allows; false with no error set
  // when it is none of these. Masked arrays are refused: their buffer holds
  // the masked values too.
  bool open(PyObject* o, int ndim, ArrayKinds kinds = ArrayKinds::AnyReal);
  bool is_open() const { return window_.is_open() || arrow_.is_open(); }
  bool in_place() const { return window_.in_place() || arrow_.in_place(); }
  size_t width() const { return window_.is_open() ? window_.width() : arrow_.width(); }
  // Takes the next rows, at most `most`, with the lock held; `data` is left
  // at their values unless convert() still has to read them.
  bool pull(size_t most, std::vector<double>& scratch, const double*& data, size_t& count);
  bool exhausted() const { return window_.is_open() ? window_.exhausted() : arrow_.exhausted(); }
  bool convert(std::vector<double>& scratch, const double*& data) {
    return !window_.is_open() || window_.convert(scratch, data);
  }
  bool refuse() const { return window_.refuse(); }
  // The array as one buffer: Arrow data are read whole into a buffer of
  // their own, since tiles address rows at random and a stream cannot.
  bool as_buffer();
  BufferWindow& buffer() { return window_; }
  const BufferWindow& buffer() const { return window_; }

 private:
  BufferWindow window_;
  ArrowSource arrow_;
  Owned array_;  // what __array__ gave, kept alive with its buffer
};

}  // namespace tallix::py
