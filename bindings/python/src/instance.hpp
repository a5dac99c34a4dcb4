// Python instances: the object header, the borrow counter (0 free, n > 0
// shared borrows, -1 one exclusive borrow) and the core state by value; and
// the one guard that takes borrows and gives them back.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "python.hpp"

namespace tallix::py {

// The part every instance shares, whatever its state: the counter sits at
// one offset in all of them, so a borrow needs no knowledge of the class.
struct InstanceHead {
  PyObject_HEAD Py_ssize_t borrow;
};

template <class T>
struct Instance {
  InstanceHead head;
  T state;
};

class Blocks;

// A row feed: state i of `states` takes row i of every block (row_feed.hpp).
using RowFeed = PyObject* (*)(std::span<PyObject* const> states, Blocks& blocks);

// What the frame knows of each bound state type's class, set once when the
// class is registered: its name (for messages), its type object, and its
// row feed when its batch `extend` takes only columns.
struct ClassRecord {
  const char* name = nullptr;
  PyTypeObject* type = nullptr;
  RowFeed row_feed = nullptr;
};

template <class T>
inline ClassRecord class_record;

template <class T>
Instance<T>* instance_of(PyObject* o) {
  return reinterpret_cast<Instance<T>*>(o);
}

// The borrows one call holds, each given back when the call ends however it
// ends. A method holds one or two (the instance, an instance argument); a
// row feed holds one per state. The call keeps the objects alive.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    give_back(first_);
    for (PyObject* o : more_) give_back(o);
  }

  // False with RuntimeError set when an exclusive borrow holds `o`.
  bool shared(PyObject* o) {
    Py_ssize_t& counter = counter_of(o);
    if (counter < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    keep(o);
    ++counter;
    return true;
  }
  // False with RuntimeError set when any borrow holds `o`.
  bool exclusive(PyObject* o) {
    Py_ssize_t& counter = counter_of(o);
    if (counter != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    keep(o);
    counter = -1;
    return true;
  }
  template <class T>
  const T* shared(PyObject* o) {
    return shared(o) ? &instance_of<T>(o)->state : nullptr;
  }
  // Room for `n` more borrows, so that taking them cannot fail half-way.
  void reserve(size_t n) { more_.reserve(more_.size() + n); }
  // Whether this guard already holds a borrow of `o`.
  bool holds(PyObject* o) const {
    if (o == first_) return true;
    for (PyObject* taken : more_)
      if (taken == o) return true;
    return false;
  }

 private:
  static Py_ssize_t& counter_of(PyObject* o) { return reinterpret_cast<InstanceHead*>(o)->borrow; }

  // Noted before the counter moves: if noting it fails (out of memory), the
  // counter is as it was.
  void keep(PyObject* o) {
    if (!first_)
      first_ = o;
    else
      more_.push_back(o);
  }
  static void give_back(PyObject* o) {
    if (!o) return;
    Py_ssize_t& counter = counter_of(o);
    if (counter < 0)
      counter = 0;
    else
      --counter;
  }

  PyObject* first_ = nullptr;
  std::vector<PyObject*> more_;
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
  inst->head.borrow = 0;
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
