// Turning core failures and call mistakes into Python exceptions: a core
// failure as ValueError (or the panic exception for a broken invariant), a
// conversion's TypeError prefixed with the parameter it was for.
#include "errors.hpp"

#include <cstdio>
#include <string>
#include <type_traits>
#include <variant>

#include "scoped.hpp"

namespace tallix::py {

namespace {

constexpr const char* kUndefined = "undefined (insufficient data or invalid input)";

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

PyObject* raise_usage(const UsageFailure& u, const CallName& who) {
  std::string msg = "assertion `left == right` failed: ";
  msg.append(u.message)
      .append("\n  left: ")
      .append(std::to_string(u.left))
      .append("\n right: ")
      .append(std::to_string(u.right));
  std::fprintf(stderr, "tallix: broken invariant in %s: %s (left %llu, right %llu)\n",
               full_name(who).c_str(), u.message, static_cast<unsigned long long>(u.left),
               static_cast<unsigned long long>(u.right));
  PyObject* cls = panic_exception();
  if (cls) PyErr_SetString(cls, msg.c_str());
  return nullptr;
}

}  // namespace

std::string full_name(const CallName& who) {
  std::string s;
  if (who.cls) s.append(who.cls).append(".");
  s.append(who.method).append("()");
  return s;
}

PyObject* panic_exception() {
  static PyObject* cls = PyErr_NewException("tallix.PanicException", PyExc_BaseException, nullptr);
  return cls;
}

PyObject* raise_failure(const Failure& f, const CallName& who) {
  return std::visit(
      [&](const auto& e) -> PyObject* {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, StatsError>) {
          return raise_value_error(name_of(e));
        } else if constexpr (std::is_same_v<E, DotError>) {
          return raise_value_error("ExactnessLost");
        } else if constexpr (std::is_same_v<E, InputError>) {
          return raise_value_error(e == InputError::WrongLength ? "wrong byte length" : kUndefined);
        } else if constexpr (std::is_same_v<E, Rejection>) {
          return raise_value_error(e.message);
        } else if constexpr (std::is_same_v<E, OutOfMemory>) {
          return PyErr_NoMemory();
        } else {
          return raise_usage(e, who);
        }
      },
      f);
}

void prefix_argument_error(std::string_view param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  PyObject* cause = value ? PyException_GetCause(value) : nullptr;
  if (text) {
    std::string name(param);
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name.c_str(), text);
    PyObject* replaced =
        msg ? PyObject_CallFunctionObjArgs(PyExc_TypeError, msg, nullptr) : nullptr;
    if (replaced) {
      if (cause) PyException_SetCause(replaced, cause);  // steals the cause
      cause = nullptr;
      PyErr_SetObject(PyExc_TypeError, replaced);
      Py_DECREF(replaced);
    }
    Py_XDECREF(msg);
    Py_DECREF(text);
  }
  Py_XDECREF(cause);
  if (!PyErr_Occurred()) {
    PyErr_Restore(type, value, trace);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
}

std::string type_name(PyObject* o) {
  Owned name(PyType_GetName(Py_TYPE(o)));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : "?";
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
  Py_DECREF(name);
}

}  // namespace tallix::py
