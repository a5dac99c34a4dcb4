// Arrow data read through the Arrow C data interface: objects that export
// the Arrow PyCapsule interface (`__arrow_c_array__`, `__arrow_c_stream__`:
// pyarrow arrays, chunked arrays and tables, polars series and frames, ...)
// are read from their buffers, validity bitmaps honoured, in place where the
// layout allows. Their __array__ would turn missing values into NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "elements.hpp"
#include "python.hpp"

// The structs of the interface, laid out as its documentation gives them.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif
}

namespace tallix::py {

// A struct of the interface owned here: its producer's `release` is called
// exactly once, when this goes or is reset, whichever way the call ends.
template <class S>
class Released {
 public:
  Released() = default;
  Released(Released&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  Released& operator=(Released&&) = delete;
  ~Released() { reset(); }

  void reset() {
    if (raw_.release) raw_.release(&raw_);
    raw_ = S{};
  }
  // Moves a producer's struct in, as the interface allows: copied, and the
  // source marked released, so that its capsule's destructor leaves it be.
  void take(S* from) {
    reset();
    raw_ = *from;
    from->release = nullptr;
  }
  // An empty struct for a producer to fill (get_schema, get_next).
  S* fill() {
    reset();
    return &raw_;
  }
  S* get() { return &raw_; }
  bool live() const { return raw_.release != nullptr; }
  const S& operator*() const { return raw_; }
  const S* operator->() const { return &raw_; }

 private:
  S raw_{};
};

// How the values of one column are stored.
struct ArrowColumn {
  ElementFormat format;
  bool bits = false;  // booleans, one bit per value
};

// Arrow data of one or two dimensions: a column of real numbers, or a table
// (a struct array) whose columns are, read as rows. A stream's batches are
// fetched as the rows are pulled, so a long stream runs in bounded memory.
class ArrowSource {
 public:
  ArrowSource() = default;
  ArrowSource(const ArrowSource&) = delete;
  ArrowSource& operator=(const ArrowSource&) = delete;

  // False with no error set when `o` exports no Arrow data, or is a pandas
  // object (read through __array__, since pandas counts NaN as missing in
  // its Arrow form, and checked for missing values through isna); false
  // with TypeError when its data are not real numbers of `ndim` dimensions.
  bool open(PyObject* o, int ndim);
  bool is_open() const { return open_; }
  size_t width() const { return columns_.size(); }
  // Whether rows may be read in place: one column of binary64.
  bool in_place() const {
    return open_ && !table_ && !columns_[0].bits && columns_[0].format.is_native_f64();
  }
  // Takes the next rows, at most `most` (fewer only at the end), with the
  // lock held. Their values, row after row, are left at `data`: in place when
  // they lie in one batch of binary64, else converted into `scratch`.
  // Raises ValueError at a missing value or at an integer that binary64
  // cannot hold.
  bool pull(size_t most, std::vector<double>& scratch, const double*& data, size_t& count);
  bool exhausted() const { return end_ && available() == 0; }

 private:
  struct Batch {
    Released<ArrowArray> array;
    size_t next = 0;  // the first row not yet pulled
    size_t left() const { return static_cast<size_t>(array->length) - next; }
  };

  bool open_array(PyObject* capsules);
  bool open_stream(PyObject* capsule);
  bool stream_failed(int code);
  bool describe(int ndim);
  bool add_column(const ArrowSchema* field);
  bool accept(const Released<ArrowArray>& array);
  bool fetch();
  size_t available() const;
  const double* in_place_rows(const Batch& b, size_t count) const;
  bool read(const Batch& b, size_t first, size_t count, double* out);
  static bool read_column(const ArrowArray& column, const ArrowColumn& kind, int64_t at,
                          size_t count, double* out);

  Released<ArrowSchema> schema_;
  Released<ArrowArrayStream> stream_;
  std::vector<ArrowColumn> columns_;
  std::deque<Batch> pending_;   // fetched batches, in order, until their rows are used
  std::vector<double> column_;  // a table's column, before it is spread over rows
  bool open_ = false, table_ = false, end_ = false;
};

}  // namespace tallix::py
