// Binding a call's arguments to a text signature's parameters, with the
// interpreter's own TypeError messages for too many, unknown, repeated and
// missing arguments.
#include "arguments.hpp"

#include <string>

namespace tallix::py {

namespace {

std::string quoted_list(const std::string_view* names, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out.append(n == 2 ? " and " : (i == n - 1 ? ", and " : ", "));
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

bool too_many(const Signature& sig, const CallName& who, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
               full_name(who).c_str(), sig.count, given, given == 1 ? "was" : "were");
  return false;
}

int param_index(const Signature& sig, PyObject* key) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (!text) {
    PyErr_Clear();
    return -1;
  }
  std::string_view name(text, static_cast<size_t>(len));
  for (int i = 0; i < sig.count; ++i)
    if (sig.params[static_cast<size_t>(i)] == name) return i;
  return -1;
}

bool place_keyword(const Signature& sig, const CallName& who, PyObject* key, PyObject* value,
                   BoundArguments& bound) {
  int i = param_index(sig, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 full_name(who).c_str(), key);
    return false;
  }
  if (bound.has(i)) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'",
                 full_name(who).c_str(), key);
    return false;
  }
  bound.hold(i, value);
  return true;
}

bool check_missing(const Signature& sig, const CallName& who, const BoundArguments& bound) {
  std::string_view missing[kMaxParams];
  int n = 0;
  for (int i = 0; i < sig.count; ++i)
    if (!bound.has(i)) missing[n++] = sig.params[static_cast<size_t>(i)];
  if (n == 0) return true;
  std::string msg = full_name(who) + " missing " + std::to_string(n) + " required positional " +
                    (n == 1 ? "argument" : "arguments") + ": " + quoted_list(missing, n);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, const CallName& who, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound) {
  if (nargs > sig.count) return too_many(sig, who, nargs);
  for (int i = 0; i < nargs; ++i) bound.hold(i, args[i]);
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (!place_keyword(sig, who, PyTuple_GetItem(kwnames, k), args[nargs + k], bound)) return false;
  return check_missing(sig, who, bound);
}

bool bind_tuple_arguments(const Signature& sig, const CallName& who, PyObject* args,
                          PyObject* kwargs, BoundArguments& bound) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > sig.count) return too_many(sig, who, nargs);
  for (int i = 0; i < nargs; ++i) bound.hold(i, PyTuple_GetItem(args, i));
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(sig, who, key, value, bound)) return false;
  }
  return check_missing(sig, who, bound);
}

}  // namespace tallix::py
