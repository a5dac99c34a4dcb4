// The converters of arguments and results that are not inline.
#include "convert.hpp"

namespace tallix::py {

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
