#include "streams.hpp"

#include <algorithm>
#include <cmath>
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

// What a column, rows or keys argument must be, for the message refusing a
// str in its place.
constexpr const char* kColumnExpected = "an iterable of real numbers or a numeric array";
constexpr const char* kRowsExpected =
    "an iterable of rows of real numbers or a 2-dimensional numeric array";
constexpr const char* kKeysExpected = "an iterable of str keys";

// Text and raw bytes are sequences, but not of the numbers they spell.
bool refuse_text(PyObject* o, const char* expected) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected %s, not '%s'", expected, type_name(o).c_str());
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

// "<what> has no exact float64 value (...)", with the binary64 value it
// would round to, or that it is beyond binary64's range.
void refuse_rounded(const std::string& what, double rounded, bool out_of_range) {
  if (out_of_range) {
    PyErr_Format(PyExc_ValueError, "%s has no exact float64 value (it is out of range)",
                 what.c_str());
    return;
  }
  Owned shown(PyFloat_FromDouble(rounded));
  Owned repr(shown ? PyObject_Repr(shown.get()) : nullptr);
  const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  PyErr_Format(PyExc_ValueError, "%s has no exact float64 value (it would become %s)", what.c_str(),
               text ? text : "?");
}

void refuse_integer(const std::string& digits, PyObject* as_int) {
  double rounded = as_int ? PyLong_AsDouble(as_int) : 0.0;
  bool out_of_range = as_int && rounded == -1.0 && PyErr_Occurred();
  if (out_of_range) PyErr_Clear();
  refuse_rounded("integer " + digits, rounded, out_of_range);
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

bool refuse_complex(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected real numbers, not '%s' (a complex number)",
               type_name(o).c_str());
  return false;
}

// Whether `o` is an instance of module.name; 0 when that module was never
// imported, since then no such instance can exist.
int instance_of_imported(PyObject* o, const char* module, const char* name) {
  Owned key(PyUnicode_FromString(module));
  Owned loaded(key ? PyImport_GetModule(key.get()) : nullptr);
  if (!loaded) return PyErr_Occurred() ? -1 : 0;
  Owned cls(PyObject_GetAttrString(loaded.get(), name));
  return cls ? PyObject_IsInstance(o, cls.get()) : -1;
}

// Whether o's exact value is known and compares exactly with a float:
// Decimals and rationals (Fraction, any numbers.Rational).
int has_exact_value(PyObject* o) {
  int decimal = instance_of_imported(o, "decimal", "Decimal");
  if (decimal != 0) return decimal;
  return instance_of_imported(o, "numbers", "Rational");
}

std::string repr_text(PyObject* o) {
  Owned repr(PyObject_Repr(o));
  const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : type_name(o);
}

// Takes the float conversion `d` of an exact-valued o only when it is o's
// value: a NaN stands for itself; anything else must compare equal.
bool exact_or_refused(PyObject* o, double d) {
  if (std::isnan(d)) return true;
  Owned converted(PyFloat_FromDouble(d));
  int same = converted ? PyObject_RichCompareBool(converted.get(), o, Py_EQ) : -1;
  if (same < 0) return false;
  if (!same) refuse_rounded(repr_text(o), d, std::isinf(d));
  return same;
}

// Numpy scalars (and 0-dimensional arrays) export their value as a
// 0-dimensional buffer, read like an array's element: 1 when read, 0 when
// `o` is no such scalar, -1 with the error set.
int scalar_from_buffer(PyObject* o, double& out) {
  if (!PyObject_CheckBuffer(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return 0;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return 0;
  }
  std::string_view format = view.format ? view.format : "B";
  std::optional<ElementFormat> f = parse_element(format, static_cast<size_t>(view.itemsize));
  const char* at = static_cast<const char*>(view.buf);
  int read = 0;  // not a scalar of numbers: arrays, records, text
  if (view.ndim == 0 && is_complex_format(format))
    read = (refuse_complex(o), -1);
  else if (view.ndim == 0 && f)
    read = read_elements(*f, at, 0, 1, &out) == 1 ? 1 : (refuse_inexact(*f, at), -1);
  PyBuffer_Release(&view);
  return read;
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
  if (PyComplex_Check(o)) return refuse_complex(o);
  if (int read = scalar_from_buffer(o, out); read != 0) return read > 0;
  if (PyIndex_Check(o) && !PyUnicode_Check(o)) {  // integers of other kinds
    Owned integer(PyNumber_Index(o));
    return integer && integer_to_real(integer.get(), out);
  }
  int exact = has_exact_value(o);
  if (exact < 0) return false;
  out = PyFloat_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    // A Fraction beyond binary64 overflows its conversion.
    if (!exact || !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    refuse_rounded(repr_text(o), 0.0, true);
    return false;
  }
  return !exact || exact_or_refused(o, out);
}

void refuse_missing() {
  PyErr_SetString(PyExc_ValueError,
                  "the values contain missing values (pandas.NA or Arrow nulls); drop them with "
                  ".dropna() or fill them with .fillna(value) first");
}

void refuse_inexact(ElementFormat f, const char* at) {
  if (f.is_integer()) {
    char text[24];
    std::string digits(describe_integer(f, at, text));
    Owned integer(PyLong_FromString(digits.c_str(), nullptr, 10));
    if (integer) refuse_integer(digits, integer.get());
    return;
  }
  char text[48];
  double rounded = rounded_long_double(f, at);
  refuse_rounded("long double " + std::string(describe_long_double(f, at, text)), rounded,
                 std::isinf(rounded));
}

int refuse_masked(PyObject* o) {
  int masked = instance_of_imported(o, "numpy.ma", "MaskedArray");
  if (masked > 0) {
    PyErr_SetString(PyExc_TypeError,
                    "expected real numbers, not a masked array: masked arrays are not read (fill "
                    "them with .filled(value) or drop the masked values with .compressed() "
                    "first)");
  }
  return masked;
}

// ---- buffers -----------------------------------------------------------

BufferWindow::~BufferWindow() {
  if (exported_) PyBuffer_Release(&view_);
}

bool BufferWindow::open(PyObject* o, int ndim) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) {
    // An array whose elements no buffer can describe (datetime64, say).
    PyErr_Clear();
    refuse_dtype(o);
    return false;
  }
  exported_ = open_ = true;  // released by the destructor from here on
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
  refuse_inexact(format_, inexact_);
  return true;
}

void BufferWindow::adopt(std::vector<double>&& values, size_t rows, size_t cols) {
  adopted_ = std::move(values);
  adopted_shape_[0] = static_cast<Py_ssize_t>(rows);
  adopted_shape_[1] = static_cast<Py_ssize_t>(cols);
  adopted_strides_[0] = static_cast<Py_ssize_t>(cols * sizeof(double));
  adopted_strides_[1] = sizeof(double);
  view_.buf = adopted_.data();
  view_.ndim = 2;
  view_.itemsize = sizeof(double);
  view_.len = static_cast<Py_ssize_t>(adopted_.size() * sizeof(double));
  view_.shape = adopted_shape_;
  view_.strides = adopted_strides_;
  format_ = ElementFormat{};
  contiguous_f64_ = open_ = true;
}

bool open_array(PyObject* o, int ndim, BufferWindow& window, Owned& array, ArrowSource& arrow) {
  if (refuse_masked(o) != 0) return false;
  if (window.open(o, ndim)) return true;
  if (PyErr_Occurred()) return false;
  if (arrow.open(o, ndim)) return true;
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
  if (refuse_text(o, kColumnExpected)) return false;
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
    if (open_array(o, 1, window_, array_, arrow_)) return true;
    if (PyErr_Occurred()) return false;
  }
  return open_iterator(o, iterator_);
}

bool ValueStream::pull(size_t most) {
  if (window_.is_open()) {
    count_ = window_.pull(most, values_);
    exhausted_ = window_.exhausted();
    return true;
  }
  if (arrow_.is_open()) {
    if (!arrow_.pull(most, values_, data_, count_)) return false;
    exhausted_ = arrow_.exhausted();
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
  if (refuse_text(o, kRowsExpected)) return false;
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
    if (open_array(o, 2, window_, array_, arrow_)) {
      width_ = window_.is_open() ? window_.extent(1) : arrow_.width();
      return true;
    }
    if (PyErr_Occurred()) return false;
  }
  return open_iterator(o, iterator_);
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
  if (arrow_.is_open()) {
    if (!arrow_.pull(most, values_, data_, count_)) return false;
    exhausted_ = arrow_.exhausted();
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
  if (refuse_text(o, kKeysExpected)) return false;
  return open_iterator(o, iterator_);
}

bool KeyStream::pull(size_t most) {
  release();
  // Room first: a str taken from the iterator must be held before anything
  // can fail, or its reference would be lost.
  held_.reserve(most);
  views_.reserve(most);
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
