// The arguments of batch methods, read a chunk at a time so that a batch of
// any length runs in bounded memory, can be interrupted between chunks and
// can work on buffers without the interpreter lock.
//
// Every stream follows one protocol, driven by `feed` in batch_call.hpp:
//   open(obj)   classify the argument; refuse what is not numbers (lock held)
//   preferred() how many items (values, rows, keys) a chunk should hold
//   pull(n)     take the next n items from an iterable or Arrow batches
//               (lock held); a buffer only moves its window. Every stream of
//               a call pulls the same n, so that their chunks pair item for
//               item
//   convert()   read the window of a buffer into binary64 (no lock needed);
//               false when a value (a wide integer, a long double) has no
//               exact binary64 value
//   refuse()    raise the ValueError for that value (lock held)
//   chunk()     the values of this chunk, as the core takes them
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow.hpp"
#include "elements.hpp"
#include "python.hpp"
#include "rows.hpp"

namespace tallix::py {

// Values per chunk: large enough that the per-chunk work (a signal check,
// releasing the lock) vanishes, small enough to answer Ctrl-C at once.
inline constexpr size_t kStreamChunk = size_t{1} << 14;
// Values per chunk read in place (contiguous native binary64, no scratch):
// longer, since a core call has a fixed cost of its own, still about a
// millisecond of work at most.
inline constexpr size_t kInPlaceChunk = size_t{1} << 18;

// A Python reference released on scope exit.
class Owned {
 public:
  Owned() = default;
  explicit Owned(PyObject* o) : o_(o) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(o_); }
  void reset(PyObject* o) {
    Py_XDECREF(o_);
    o_ = o;
  }
  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// A numeric buffer of `ndim` dimensions, held for the whole call.
class BufferWindow {
 public:
  BufferWindow() = default;
  BufferWindow(const BufferWindow&) = delete;
  BufferWindow& operator=(const BufferWindow&) = delete;
  ~BufferWindow();

  // False with no error set when `o` exports no buffer; false with an error
  // when it exports one of the wrong kind or shape.
  bool open(PyObject* o, int ndim);
  // Takes `values`, `rows` rows of `cols` values one after the other, as a
  // 2-D binary64 buffer of its own.
  void adopt(std::vector<double>&& values, size_t rows, size_t cols);
  bool is_open() const { return open_; }
  bool in_place() const { return open_ && contiguous_f64_; }
  size_t extent(int dim) const { return static_cast<size_t>(view_.shape[dim]); }
  // Moves the window over the next rows (elements when 1-D), at most `most`,
  // and sizes `scratch` for them unless they can be read in place; returns
  // how many.
  size_t pull(size_t most, std::vector<double>& scratch);
  bool exhausted() const { return next_ == extent(0); }
  // The window's rows as binary64, row after row: in place when they already
  // are contiguous native binary64, else read into `scratch`. False at the
  // first integer binary64 cannot hold. Needs no interpreter lock.
  bool convert(std::vector<double>& scratch, const double*& data);
  // Raises the ValueError for the integer convert() stopped at; false if none.
  bool refuse() const;

  // ---- 2-D tiles, for feeding one state per row ----
  // Whether the columns of a row lie next to each other in memory.
  bool unit_columns() const { return view_.strides[1] == view_.itemsize; }
  // Whether rows can be read in place as native binary64.
  bool rows_in_place() const;
  // Whether some element may have no exact binary64 value (64-bit integers,
  // long doubles).
  bool may_refuse() const { return format_.may_be_inexact(); }
  // The values of row `row` from column `col` on, in place (rows_in_place).
  const double* in_place(size_t row, size_t col) const;
  // Reads rows [row, row + rows) x columns [col, col + cols) into out, row
  // after row; false at the first integer binary64 cannot hold.
  bool read_tile(size_t row, size_t rows, size_t col, size_t cols, double* out);

 private:
  bool read(size_t first, size_t count, double* out);

  Py_buffer view_{};
  bool open_ = false;
  bool exported_ = false;  // view_ holds a buffer to release
  std::vector<double> adopted_;
  Py_ssize_t adopted_shape_[2] = {0, 0}, adopted_strides_[2] = {0, 0};
  ElementFormat format_;
  bool contiguous_f64_ = false;
  size_t first_ = 0, next_ = 0;    // the window: rows [first_, next_)
  const char* inexact_ = nullptr;  // the value read() stopped at
};

// A column of real numbers: a numeric buffer, Arrow data, an object with
// __array__, or any iterable of real numbers (generators included).
class ValueStream {
 public:
  bool open(PyObject* o);
  size_t preferred() const {
    return window_.in_place() || arrow_.in_place() ? kInPlaceChunk : kStreamChunk;
  }
  bool pull(size_t most = kStreamChunk);
  bool convert();
  bool refuse() const { return window_.refuse(); }
  bool needs_lock() const { return !window_.is_open() && !arrow_.is_open(); }
  bool exhausted() const { return exhausted_; }
  size_t pending() const { return count_; }
  std::span<const double> chunk() const { return {data_, count_}; }

 private:
  BufferWindow window_;
  ArrowSource arrow_;
  Owned array_;  // what __array__ gave, kept alive with its buffer
  Owned iterator_;
  std::vector<double> values_;
  const double* data_ = nullptr;
  size_t count_ = 0;
  bool exhausted_ = false;
};

// Rows of real numbers: a 2-D numeric buffer (or __array__ giving one), an
// Arrow table, or any iterable of rows, each read like a column. All rows
// have one length.
class RowStream {
 public:
  bool open(PyObject* o);
  // About kStreamChunk values, once the row length is known.
  size_t preferred() const {
    return std::max<size_t>(1, kStreamChunk / std::max<size_t>(1, width_));
  }
  bool pull(size_t most);
  bool convert();
  bool refuse() const { return window_.refuse(); }
  bool needs_lock() const { return !window_.is_open() && !arrow_.is_open(); }
  bool exhausted() const { return exhausted_; }
  size_t pending() const { return count_; }
  Rows chunk() const { return Rows{{data_, count_ * width_}, count_, count_ ? width_ : 0}; }

 private:
  bool pull_row(PyObject* row);

  BufferWindow window_;
  ArrowSource arrow_;
  Owned array_;
  Owned iterator_;
  std::vector<double> values_;
  const double* data_ = nullptr;
  size_t width_ = 0, count_ = 0, rows_seen_ = 0;
  bool exhausted_ = false;
};

// Text keys: any iterable of str. The chunk's str objects are held so that
// their UTF-8 views stay valid while the core reads them.
class KeyStream {
 public:
  bool open(PyObject* o);
  size_t preferred() const { return kStreamChunk; }
  bool pull(size_t most);
  bool convert() { return true; }
  bool refuse() const { return false; }
  bool needs_lock() const { return true; }
  bool exhausted() const { return exhausted_; }
  size_t pending() const { return views_.size(); }
  std::span<const std::string_view> chunk() const { return views_; }

 private:
  void release();

  Owned iterator_;
  std::vector<PyObject*> held_;
  std::vector<std::string_view> views_;
  bool exhausted_ = false;

 public:
  KeyStream() = default;
  KeyStream(const KeyStream&) = delete;
  KeyStream& operator=(const KeyStream&) = delete;
  ~KeyStream() { release(); }
};

// The name of o's type, or "?" when it has none to give.
std::string type_name(PyObject* o);

// Opens `o` as a buffer of `ndim` dimensions, as Arrow data (`arrow`), or
// as the buffer its __array__ gives (`array` keeping that alive); false with
// no error set when it is none of these. Masked arrays are refused: their
// buffer holds the masked values too.
bool open_array(PyObject* o, int ndim, BufferWindow& window, Owned& array, ArrowSource& arrow);

// 1 when `o` is a numpy masked array, with TypeError set; -1 on error.
int refuse_masked(PyObject* o);

// One real number from an element of an iterable: floats as they are;
// integers, Decimals, Fractions (any numbers.Rational) and numpy scalars
// only when binary64 holds them exactly; anything else through its
// __float__. Refuses text, bytes, complex and missing values with clear
// errors.
bool real_from_object(PyObject* o, double& out);

// The ValueError for a missing value (pandas.NA, an Arrow null).
void refuse_missing();
// The ValueError for the element at `at`, which binary64 cannot hold.
void refuse_inexact(ElementFormat f, const char* at);

}  // namespace tallix::py
