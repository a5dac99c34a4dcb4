#include "streams.hpp"

#include <algorithm>
#include <string>

#include "errors.hpp"

namespace tallix::py {

std::string type_name(PyObject* o) {
  Owned name(PyType_GetName(Py_TYPE(o)));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : "?";
}

namespace {

// ---- refusals ----------------------------------------------------------

// Text and raw bytes are sequences, but not of the numbers they spell.
bool refuse_text(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return true;
  }
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    PyErr_Format(PyExc_TypeError,
                 "expected real numbers, not '%s' (raw bytes hold text or memory, not values; "
                 "read numbers from them with numpy.frombuffer)",
                 PyBytes_Check(o) ? "bytes" : "bytearray");
    return true;
  }
  return false;
}

// The dtype an array-like reports, or its type's name.
std::string dtype_text(PyObject* o) {
  Owned dtype(PyObject_GetAttrString(o, "dtype"));
  if (!dtype) {
    PyErr_Clear();
    return type_name(o);
  }
  Owned str(PyObject_Str(dtype.get()));
  const char* text = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : "?";
}

void refuse_dtype(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected real numbers, not an array of dtype %s",
               dtype_text(o).c_str());
}

void refuse_missing() {
  PyErr_SetString(PyExc_ValueError,
                  "the values contain missing values (pandas.NA); drop them with .dropna() or "
                  "fill them with .fillna(value) first");
}

void refuse_integer(const std::string& digits, PyObject* as_int) {
  double rounded = as_int ? PyLong_AsDouble(as_int) : 0.0;
  if (as_int && rounded == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "integer %s has no exact float64 value (it is out of range)",
                 digits.c_str());
    return;
  }
  Owned shown(PyFloat_FromDouble(rounded));
  Owned repr(shown ? PyObject_Repr(shown.get()) : nullptr);
  const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  PyErr_Format(PyExc_ValueError, "integer %s has no exact float64 value (it would become %s)",
               digits.c_str(), text ? text : "?");
}

bool is_missing_value(PyObject* o) { return type_name(o) == "NAType"; }

// Whether a pandas-style nullable column holds missing values: its dtype
// names pandas.NA as its missing value and isna() finds one. Its __array__
// would otherwise turn them into NaN or objects silently.
int has_missing_values(PyObject* o) {
  Owned dtype(PyObject_GetAttrString(o, "dtype"));
  Owned na(dtype ? PyObject_GetAttrString(dtype.get(), "na_value") : nullptr);
  if (!na || !is_missing_value(na.get())) {
    PyErr_Clear();
    return 0;
  }
  Owned mask(PyObject_CallMethod(o, "isna", nullptr));
  Owned any(mask ? PyObject_CallMethod(mask.get(), "any", nullptr) : nullptr);
  return any ? PyObject_IsTrue(any.get()) : -1;
}

// What __array__ gives for an array-like without a buffer of its own
// (pandas Series and Index, xarray), or null with no error when it has none.
PyObject* array_of(PyObject* o) {
  Owned method(PyObject_GetAttrString(o, "__array__"));
  if (!method) {
    PyErr_Clear();
    return nullptr;
  }
  int missing = has_missing_values(o);
  if (missing != 0) {
    if (missing > 0) refuse_missing();
    return nullptr;
  }
  return PyObject_CallNoArgs(method.get());
}

// ---- one element of an iterable ---------------------------------------

bool integer_to_real(PyObject* integer, double& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (fits_binary64(magnitude)) {
      out = static_cast<double>(v);
      return true;
    }
  }
  // Wider than 53 bits: exact only if converting back gives the same integer.
  double d = PyLong_AsDouble(integer);
  if (!(d == -1.0 && PyErr_Occurred())) {
    Owned back(PyLong_FromDouble(d));
    int same = back ? PyObject_RichCompareBool(back.get(), integer, Py_EQ) : -1;
    if (same < 0) return false;
    if (same) {
      out = d;
      return true;
    }
  }
  PyErr_Clear();
  Owned digits(PyObject_Str(integer));
  const char* text = digits ? PyUnicode_AsUTF8AndSize(digits.get(), nullptr) : nullptr;
  if (!text) return false;
  refuse_integer(text, integer);
  return false;
}

}  // namespace

bool real_from_object(PyObject* o, double& out) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AsDouble(o);
    return true;
  }
  if (PyLong_Check(o)) return integer_to_real(o, out);
  if (is_missing_value(o)) {
    refuse_missing();
    return false;
  }
  if (PyIndex_Check(o) && !PyUnicode_Check(o)) {  // numpy integers and the like
    Owned integer(PyNumber_Index(o));
    return integer && integer_to_real(integer.get(), out);
  }
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

// ---- buffers -----------------------------------------------------------

BufferWindow::~BufferWindow() {
  if (open_) PyBuffer_Release(&view_);
}

bool BufferWindow::open(PyObject* o, int ndim) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) {
    // An array whose elements no buffer can describe (datetime64, say).
    PyErr_Clear();
    refuse_dtype(o);
    return false;
  }
  open_ = true;  // released by the destructor from here on
  std::optional<ElementFormat> format =
      parse_element(view_.format ? view_.format : "B", static_cast<size_t>(view_.itemsize));
  if (!format) {
    refuse_dtype(o);
    return false;
  }
  if (view_.ndim != ndim) {
    PyErr_Format(PyExc_TypeError,
                 "expected a %d-dimensional array of real numbers, not %d-dimensional", ndim,
                 view_.ndim);
    return false;
  }
  format_ = *format;
  Py_ssize_t row = ndim == 2 ? view_.shape[1] * view_.itemsize : view_.itemsize;
  bool c_order = view_.strides[ndim - 1] == view_.itemsize &&
                 (ndim == 1 || view_.strides[0] == row || view_.shape[0] <= 1);
  contiguous_f64_ = format_.is_native_f64() && c_order &&
                    reinterpret_cast<uintptr_t>(view_.buf) % alignof(double) == 0;
  return true;
}

size_t BufferWindow::pull(size_t most, std::vector<double>& scratch) {
  first_ = next_;
  next_ += std::min(most, extent(0) - next_);
  size_t width = view_.ndim == 2 ? extent(1) : 1;
  if (!contiguous_f64_) scratch.resize((next_ - first_) * width);
  return next_ - first_;
}

bool BufferWindow::convert(std::vector<double>& scratch, const double*& data) {
  if (contiguous_f64_) {
    size_t width = view_.ndim == 2 ? extent(1) : 1;
    data = static_cast<const double*>(view_.buf) + first_ * width;
    return true;
  }
  data = scratch.data();
  return read(first_, next_ - first_, scratch.data());
}

bool BufferWindow::read(size_t first, size_t count, double* out) {
  const char* base = static_cast<const char*>(view_.buf);
  ptrdiff_t row_stride = view_.strides[0];
  if (view_.ndim == 1) {
    const char* start = base + static_cast<ptrdiff_t>(first) * row_stride;
    size_t done = read_elements(format_, start, row_stride, count, out);
    if (done == count) return true;
    inexact_ = start + static_cast<ptrdiff_t>(done) * row_stride;
    return false;
  }
  size_t width = extent(1);
  ptrdiff_t stride = view_.strides[1];
  for (size_t r = 0; r < count; ++r) {
    const char* start = base + static_cast<ptrdiff_t>(first + r) * row_stride;
    size_t done = read_elements(format_, start, stride, width, out + r * width);
    if (done != width) {
      inexact_ = start + static_cast<ptrdiff_t>(done) * stride;
      return false;
    }
  }
  return true;
}

bool BufferWindow::rows_in_place() const {
  return format_.is_native_f64() && unit_columns() && view_.strides[0] % 8 == 0 &&
         reinterpret_cast<uintptr_t>(view_.buf) % alignof(double) == 0;
}

const double* BufferWindow::in_place(size_t row, size_t col) const {
  const char* at = static_cast<const char*>(view_.buf) +
                   static_cast<ptrdiff_t>(row) * view_.strides[0] + col * sizeof(double);
  return reinterpret_cast<const double*>(at);
}

bool BufferWindow::read_tile(size_t row, size_t rows, size_t col, size_t cols, double* out) {
  ptrdiff_t stride = view_.strides[1];
  for (size_t r = 0; r < rows; ++r) {
    const char* start = static_cast<const char*>(view_.buf) +
                        static_cast<ptrdiff_t>(row + r) * view_.strides[0] +
                        static_cast<ptrdiff_t>(col) * stride;
    size_t done = read_elements(format_, start, stride, cols, out + r * cols);
    if (done != cols) {
      inexact_ = start + static_cast<ptrdiff_t>(done) * stride;
      return false;
    }
  }
  return true;
}

bool BufferWindow::refuse() const {
  if (!inexact_) return false;
  char text[24];
  std::string digits(describe_integer(format_, inexact_, text));
  Owned integer(PyLong_FromString(digits.c_str(), nullptr, 10));
  if (!integer) return true;
  refuse_integer(digits, integer.get());
  return true;
}

bool open_array(PyObject* o, int ndim, BufferWindow& window, Owned& array) {
  if (window.open(o, ndim)) return true;
  if (PyErr_Occurred()) return false;
  array.reset(array_of(o));
  if (!array) return false;
  if (window.open(array.get(), ndim)) return true;
  if (!PyErr_Occurred()) refuse_dtype(array.get());
  return false;
}

namespace {

bool open_iterator(PyObject* o, Owned& iterator) {
  iterator.reset(PyObject_GetIter(o));
  if (iterator) return true;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_cannot_convert(o, "Sequence");
  }
  return false;
}

}  // namespace

// ---- columns -----------------------------------------------------------

bool ValueStream::open(PyObject* o) {
  if (refuse_text(o)) return false;
  if (open_array(o, 1, window_, array_)) return true;
  return !PyErr_Occurred() && open_iterator(o, iterator_);
}

bool ValueStream::pull(size_t most) {
  if (window_.is_open()) {
    count_ = window_.pull(most, values_);
    exhausted_ = window_.exhausted();
    return true;
  }
  values_.clear();
  while (values_.size() < most) {
    Owned item(PyIter_Next(iterator_.get()));
    if (!item) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    double x;
    if (!real_from_object(item.get(), x)) return false;
    values_.push_back(x);
  }
  data_ = values_.data();
  count_ = values_.size();
  return true;
}

bool ValueStream::convert() { return !window_.is_open() || window_.convert(values_, data_); }

// ---- rows --------------------------------------------------------------

bool RowStream::open(PyObject* o) {
  if (refuse_text(o)) return false;
  if (open_array(o, 2, window_, array_)) {
    width_ = window_.extent(1);
    return true;
  }
  return !PyErr_Occurred() && open_iterator(o, iterator_);
}

bool RowStream::pull_row(PyObject* row) {
  ValueStream column;
  if (!column.open(row)) return false;
  size_t before = values_.size();
  do {
    if (!column.pull() || !column.convert()) {
      if (!PyErr_Occurred()) column.refuse();
      return false;
    }
    std::span<const double> part = column.chunk();
    values_.insert(values_.end(), part.begin(), part.end());
  } while (!column.exhausted());
  size_t width = values_.size() - before;
  if (rows_seen_++ > 0 && width != width_) {
    PyErr_SetString(PyExc_ValueError, "rows must all have the same length");
    return false;
  }
  width_ = width;
  return true;
}

bool RowStream::pull(size_t most) {
  if (window_.is_open()) {
    count_ = window_.pull(most, values_);
    exhausted_ = window_.exhausted();
    return true;
  }
  values_.clear();
  for (count_ = 0; count_ < most; ++count_) {
    Owned row(PyIter_Next(iterator_.get()));
    if (!row) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    if (!pull_row(row.get())) return false;
  }
  data_ = values_.data();
  return true;
}

bool RowStream::convert() { return !window_.is_open() || window_.convert(values_, data_); }

// ---- keys --------------------------------------------------------------

void KeyStream::release() {
  for (PyObject* o : held_) Py_DECREF(o);
  held_.clear();
  views_.clear();
}

bool KeyStream::open(PyObject* o) {
  if (refuse_text(o)) return false;
  return open_iterator(o, iterator_);
}

bool KeyStream::pull(size_t most) {
  release();
  while (views_.size() < most) {
    PyObject* item = PyIter_Next(iterator_.get());
    if (!item) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    held_.push_back(item);
    if (!PyUnicode_Check(item)) {
      raise_cannot_convert(item, "PyString");
      return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &len);
    if (!text) return false;
    views_.emplace_back(text, static_cast<size_t>(len));
  }
  return true;
}

}  // namespace tallix::py
