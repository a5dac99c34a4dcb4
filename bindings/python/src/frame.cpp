// Creating the class objects: one heap type per bound state, final and
// immutable, named as a builtin; and the module's __all__, which lists every
// public class and function in the order they are added.
#include "frame.hpp"

namespace tallix::py {

namespace {

// Reports a class that cannot be created as RuntimeError, caused by the
// creation error.
void report_type_failure(const char* name) {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  if (!value) return;
  PyObject *type2, *value2, *trace2;
  PyErr_Fetch(&type2, &value2, &trace2);
  PyErr_NormalizeException(&type2, &value2, &trace2);
  PyException_SetCause(value2, value);  // steals value
  PyErr_Restore(type2, value2, trace2);
  Py_XDECREF(type);
  Py_XDECREF(trace);
}

}  // namespace

PyTypeObject* create_type(const char* name, const std::string& doc, size_t basicsize,
                          newfunc tp_new, destructor tp_dealloc, PyMethodDef* methods) {
  static std::deque<std::string> names;
  names.push_back(std::string("builtins.") + name);
  names.push_back(doc);
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(names.back().c_str())},
      {0, nullptr},
  };
  PyType_Spec spec{names[names.size() - 2].c_str(), static_cast<int>(basicsize), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) {
    report_type_failure(name);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

int add_to_module(PyObject* module, const char* name, PyObject* obj) {
  Py_INCREF(obj);
  if (PyModule_AddObject(module, name, obj) < 0) {
    Py_DECREF(obj);
    return -1;
  }
  if (name[0] == '_') return 0;  // reachable, but not part of the public surface
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObject(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
    Py_INCREF(all);
  }
  PyObject* text = PyUnicode_FromString(name);
  int rc = text ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  return rc;
}

}  // namespace tallix::py
