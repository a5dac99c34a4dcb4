#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "streams.hpp"

namespace tallix::py {

namespace {

// A reported length only sizes the first allocation, and never by much.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

bool is_native_f64(const Py_buffer& b) {
  if (b.itemsize != 8 || b.ndim != 1 || !b.format) return false;
  std::string_view f(b.format);
  bool little = std::endian::native == std::endian::little;
  return f == "d" || f == "@d" || f == "=d" || (little && f == "<d") || (!little && f == ">d");
}

}  // namespace

bool Arg<uint64_t>::load(PyObject* o) {
  PyObject* index = PyNumber_Index(o);
  if (!index) return false;
  v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  return !(v == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool Arg<std::string_view>::load(PyObject* o) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    return false;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &len);
  if (!text) return false;
  v = std::string_view(text, static_cast<size_t>(len));
  return true;
}

bool Arg<ByteView>::load(PyObject* o) {
  if (!PyBytes_Check(o)) {
    raise_cannot_convert(o, "PyBytes");
    return false;
  }
  v = ByteView(reinterpret_cast<const uint8_t*>(PyBytes_AsString(o)),
               static_cast<size_t>(PyBytes_Size(o)));
  return true;
}

namespace {

// The checks every sequence of reals passes before it is read. A masked
// array passes the sequence check, but its buffer holds the masked values.
bool check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  return PyList_CheckExact(o) || PyTuple_CheckExact(o) || refuse_masked(o) == 0;
}

// Exact lists and tuples know their length; anything else only hints at it.
size_t reservation(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return static_cast<size_t>(n);
  return static_cast<size_t>(std::min<Py_ssize_t>(n, kMaxReserve));
}

}  // namespace

FloatSource::~FloatSource() {
  if (has_view_) PyBuffer_Release(&view_);
}

bool FloatSource::borrow_buffer(PyObject* o, int ndim) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return false;
  }
  if (view_.ndim != ndim || !is_native_f64(view_)) {
    PyBuffer_Release(&view_);
    return false;
  }
  has_view_ = true;  // released by the destructor, even if the copy below throws
  size_t n = static_cast<size_t>(view_.len / 8);
  // An offset view of a byte buffer may be misaligned for double; copy it.
  if (reinterpret_cast<uintptr_t>(view_.buf) % alignof(double) != 0) {
    owned_.resize(n);
    std::memcpy(owned_.data(), view_.buf, n * sizeof(double));
    borrowed_ = owned_;
    return true;
  }
  borrowed_ = std::span<const double>(static_cast<const double*>(view_.buf), n);
  return true;
}

bool FloatSource::append_iterated(PyObject* o) {
  owned_.reserve(owned_.size() + reservation(o));
  PyObject* it = PyObject_GetIter(o);
  if (!it) return false;
  while (PyObject* item = PyIter_Next(it)) {
    double x = PyFloat_AsDouble(item);
    Py_DECREF(item);
    if (x == -1.0 && PyErr_Occurred()) {
      Py_DECREF(it);
      return false;
    }
    owned_.push_back(x);
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

bool Arg<std::span<const double>>::load(PyObject* o) {
  if (!check_sequence(o)) return false;
  return source.borrow_buffer(o, 1) || source.append_iterated(o);
}

bool Arg<Rows>::load(PyObject* o) {
  if (!check_sequence(o)) return false;
  if (source.borrow_buffer(o, 2)) {
    rows = Rows{source.values(), source.extent(0), source.extent(1)};
    return true;
  }
  PyObject* it = PyObject_GetIter(o);
  if (!it) return false;
  size_t count = 0, width = 0;
  while (PyObject* item = PyIter_Next(it)) {
    Arg<std::span<const double>> row;
    bool ok = row.load(item);
    Py_DECREF(item);
    if (ok && count > 0 && row.get().size() != width) {
      PyErr_SetString(PyExc_ValueError, "rows must all have the same length");
      ok = false;
    }
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    width = row.get().size();
    source.append(row.get());
    ++count;
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return false;
  rows = Rows{source.values(), count, width};
  return true;
}

PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* to_python(const Bytes& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

namespace {
template <class V>
PyObject* list_of(const V& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = to_python(values[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}
}  // namespace

PyObject* to_python(const std::vector<double>& v) { return list_of(v); }
PyObject* to_python(const std::vector<uint64_t>& v) { return list_of(v); }

PyObject* to_python(const std::pair<double, double>& v) {
  return Py_BuildValue("(dd)", v.first, v.second);
}

}  // namespace tallix::py
