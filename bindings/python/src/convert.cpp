#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

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

bool Arg<std::span<const double>>::load(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  if (try_buffer(o)) return true;
  return iterate(o);
}

bool Arg<std::span<const double>>::try_buffer(PyObject* o) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return false;
  }
  if (!is_native_f64(view)) {
    PyBuffer_Release(&view);
    return false;
  }
  has_view = true;  // released by the destructor, even if the copy below throws
  // An offset view of a byte buffer may be misaligned for double; copy it.
  if (reinterpret_cast<uintptr_t>(view.buf) % alignof(double) != 0) {
    owned.resize(static_cast<size_t>(view.len / 8));
    std::memcpy(owned.data(), view.buf, owned.size() * sizeof(double));
    v = owned;
    return true;
  }
  v = std::span<const double>(static_cast<const double*>(view.buf),
                              static_cast<size_t>(view.len / 8));
  return true;
}

bool Arg<std::span<const double>>::iterate(PyObject* o) {
  Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) PyErr_Clear();
  owned.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(hint, 0, kMaxReserve)));
  PyObject* it = PyObject_GetIter(o);
  if (!it) return false;
  while (PyObject* item = PyIter_Next(it)) {
    double x = PyFloat_AsDouble(item);
    Py_DECREF(item);
    if (x == -1.0 && PyErr_Occurred()) {
      Py_DECREF(it);
      return false;
    }
    owned.push_back(x);
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return false;
  v = owned;
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
