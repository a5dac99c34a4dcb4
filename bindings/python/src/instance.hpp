// Python instances: the object header, the core state by value, and the
// borrow counter (0 free, n > 0 shared borrows, -1 one exclusive borrow).
#pragma once

#include <new>
#include <utility>

#include "python.hpp"

namespace tallix::py {

template <class T>
struct Instance {
  PyObject_HEAD T state;
  Py_ssize_t borrow;
};

// What the frame knows of each bound state type's class, set once when the
// class is registered: its name (for messages) and its type object.
struct ClassRecord {
  const char* name = nullptr;
  PyTypeObject* type = nullptr;
};

template <class T>
inline ClassRecord class_record;

template <class T>
Instance<T>* instance_of(PyObject* o) {
  return reinterpret_cast<Instance<T>*>(o);
}

// Takes a shared or exclusive borrow and always gives it back.
class BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!counter_) return;
    if (*counter_ < 0)
      *counter_ = 0;
    else
      --*counter_;
  }

  bool shared(Py_ssize_t& counter) {
    if (counter < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++counter;
    counter_ = &counter;
    return true;
  }

  bool exclusive(Py_ssize_t& counter) {
    if (counter != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    counter = -1;
    counter_ = &counter;
    return true;
  }

 private:
  Py_ssize_t* counter_ = nullptr;
};

// A new instance of `type` (T's class, or a subtype a constructor was called
// for) holding `state`.
template <class T>
PyObject* wrap_in(PyTypeObject* type, T&& state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (!obj) return nullptr;
  auto* inst = instance_of<std::decay_t<T>>(obj);
  new (&inst->state) std::decay_t<T>(std::forward<T>(state));
  inst->borrow = 0;
  return obj;
}

// A new instance of T's own class holding `state`.
template <class T>
PyObject* wrap(T&& state) {
  PyTypeObject* type = class_record<std::decay_t<T>>.type;
  if (!type) {
    PyErr_SetString(PyExc_RuntimeError, "tallix class is not initialized");
    return nullptr;
  }
  return wrap_in(type, std::forward<T>(state));
}

template <class T>
void dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  instance_of<T>(obj)->state.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

}  // namespace tallix::py
