// Owned interpreter references: a move-only holder that releases exactly once.
#ifndef ZELK_EXT_REF_H
#define ZELK_EXT_REF_H

#include <Python.h>

#if defined(Py_LIMITED_API)
// One binary serves every CPython from the limited API's version on, debug builds included:
// counting through the interpreter's own functions keeps a debug build's reference total, which
// counting inline, by another version's headers, would not.
#undef Py_INCREF
#undef Py_DECREF
#undef Py_XINCREF
#undef Py_XDECREF
#define Py_INCREF(object) Py_IncRef((PyObject*)(object))
#define Py_DECREF(object) Py_DecRef((PyObject*)(object))
#define Py_XINCREF(object) Py_IncRef((PyObject*)(object))  // both take null
#define Py_XDECREF(object) Py_DecRef((PyObject*)(object))
#endif

namespace ext {

// Holds one owned reference (or none). It is made from a raw pointer only through
// steal() or borrow(), and a reference leaves it for the interpreter only through release().
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (null allowed).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a reference of its own to a borrowed object (null allowed).
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller, leaving this holder empty.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

  // Replaces the held reference; the old one is released after the new one is in place,
  // so a finaliser run by the release sees a consistent holder.
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = object_;
    object_ = owned;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace ext

#endif  // ZELK_EXT_REF_H
