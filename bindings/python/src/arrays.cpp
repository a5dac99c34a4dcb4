// Arguments read as arrays: buffers of any real dtype and stride read by
// their element format, Arrow data, and what __array__ gives.
#include "arrays.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "numbers.hpp"

namespace tallix::py {

namespace {

// What __array__ gives for an array-like without a buffer of its own
// (pandas Series and Index, xarray), or null with no error when it has none.
PyObject* array_of(PyObject* o) {
  Owned method(PyObject_GetAttrString(o, "__array__"));
  if (!method) {
    PyErr_Clear();
    return nullptr;
  }
  if (refuse_missing_values(o) != 0) return nullptr;
  return PyObject_CallNoArgs(method.get());
}

bool aligned_for_double(const void* p) {
  return reinterpret_cast<uintptr_t>(p) % alignof(double) == 0;
}

}  // namespace

// ---- buffers -----------------------------------------------------------

bool BufferWindow::open(PyObject* o, int ndim, ArrayKinds kinds) {
  const bool any_real = kinds == ArrayKinds::AnyReal;
  if (!PyObject_CheckBuffer(o)) return false;
  if (!exported_.open(o, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    if (any_real) refuse_dtype(o);  // elements no buffer can describe (datetime64, say)
    return false;
  }
  const Py_buffer& view = exported_.view();
  std::optional<ElementFormat> format =
      parse_element(exported_.format(), static_cast<size_t>(view.itemsize));
  if (!any_real && !(format && format->is_native_f64() && view.ndim == ndim)) {
    exported_.release();
    return false;
  }
  if (!format) {
    refuse_dtype(o);
    return false;
  }
  if (view.ndim != ndim) {
    PyErr_Format(PyExc_TypeError,
                 "expected a %d-dimensional array of real numbers, not %d-dimensional", ndim,
                 view.ndim);
    return false;
  }
  take(view, *format);
  return true;
}

void BufferWindow::take(const Py_buffer& view, ElementFormat format) {
  format_ = format;
  base_ = static_cast<const char*>(view.buf);
  shape_[0] = static_cast<size_t>(view.shape[0]);
  strides_[0] = view.strides[0];
  shape_[1] = view.ndim == 2 ? static_cast<size_t>(view.shape[1]) : 1;
  strides_[1] = view.ndim == 2 ? view.strides[1] : view.itemsize;
  auto row_bytes = static_cast<ptrdiff_t>(shape_[1] * format_.size);
  bool c_order = unit_columns() && (strides_[0] == row_bytes || shape_[0] <= 1);
  contiguous_f64_ = format_.is_native_f64() && c_order && aligned_for_double(base_);
  open_ = true;
}

void BufferWindow::adopt(std::vector<double>&& values, size_t rows, size_t cols) {
  adopted_ = std::move(values);
  format_ = ElementFormat{};
  base_ = reinterpret_cast<const char*>(adopted_.data());
  shape_[0] = rows;
  shape_[1] = cols;
  strides_[0] = static_cast<ptrdiff_t>(cols * sizeof(double));
  strides_[1] = sizeof(double);
  contiguous_f64_ = open_ = true;
}

size_t BufferWindow::pull(size_t most, std::vector<double>& scratch) {
  first_ = next_;
  next_ += std::min(most, rows() - next_);
  if (!contiguous_f64_) scratch.resize((next_ - first_) * width());
  return next_ - first_;
}

bool BufferWindow::convert(std::vector<double>& scratch, const double*& data) {
  if (contiguous_f64_) {
    data = reinterpret_cast<const double*>(base_) + first_ * width();
    return true;
  }
  data = scratch.data();
  return read_tile(first_, next_ - first_, 0, width(), scratch.data());
}

bool BufferWindow::rows_in_place() const {
  return format_.is_native_f64() && unit_columns() && strides_[0] % 8 == 0 &&
         aligned_for_double(base_);
}

bool BufferWindow::read_tile(size_t row, size_t rows, size_t col, size_t cols, double* out) {
  if (cols == 1) return read_run(at(row, col), strides_[0], rows, out);  // one strided run
  if (strides_[0] == static_cast<ptrdiff_t>(format_.size)) {
    // Columns lie next to each other in memory (Fortran order, a pandas
    // block): each column's run is read whole, then laid into the rows.
    column_.resize(rows);
    for (size_t c = 0; c < cols; ++c) {
      if (!read_run(at(row, col + c), strides_[0], rows, column_.data())) return false;
      for (size_t r = 0; r < rows; ++r) out[r * cols + c] = column_[r];
    }
    return true;
  }
  for (size_t r = 0; r < rows; ++r)
    if (!read_run(at(row + r, col), strides_[1], cols, out + r * cols)) return false;
  return true;
}

bool BufferWindow::read_run(const char* start, ptrdiff_t stride, size_t n, double* out) {
  size_t done = read_elements(format_, start, stride, n, out);
  if (done == n) return true;
  inexact_ = start + static_cast<ptrdiff_t>(done) * stride;
  return false;
}

bool BufferWindow::refuse() const {
  if (!inexact_) return false;
  refuse_inexact(format_, inexact_);
  return true;
}

// ---- any array ---------------------------------------------------------

bool ArrayInput::open(PyObject* o, int ndim, ArrayKinds kinds) {
  if (refuse_masked(o) != 0) return false;
  if (window_.open(o, ndim, kinds)) return true;
  if (kinds == ArrayKinds::Binary64 || PyErr_Occurred()) return false;
  if (arrow_.open(o, ndim)) return true;
  if (PyErr_Occurred()) return false;
  array_.reset(array_of(o));
  if (!array_) return false;
  if (window_.open(array_.get(), ndim, kinds)) return true;
  if (!PyErr_Occurred()) refuse_dtype(array_.get());
  return false;
}

bool ArrayInput::pull(size_t most, std::vector<double>& scratch, const double*& data,
                      size_t& count) {
  if (!window_.is_open()) return arrow_.pull(most, scratch, data, count);
  count = window_.pull(most, scratch);
  return true;
}

bool ArrayInput::as_buffer() {
  if (window_.is_open()) return true;
  std::vector<double> values;
  const double* data = nullptr;
  size_t rows = 0;
  if (!arrow_.pull(SIZE_MAX, values, data, rows)) return false;
  if (data != values.data()) values.assign(data, data + rows * arrow_.width());  // read in place
  window_.adopt(std::move(values), rows, arrow_.width());
  return true;
}

}  // namespace tallix::py
