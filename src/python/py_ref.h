// The small C++ layer over the CPython C API that the rest of the binding
// stands on: an owning reference, the "a Python error is already set"
// exception with the guard that every entry point runs its body in, and the
// scope that releases the interpreter lock around numerical work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <utility>

namespace kelvra::python {

// Thrown by helpers once they have set the Python error indicator; the entry
// point's guard turns it back into the C API's error return.
struct ErrorAlreadySet {};

// Sets `type` with `message` and throws ErrorAlreadySet.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw ErrorAlreadySet{};
}

// Throws ErrorAlreadySet when a C API call reported failure.
inline void check(bool ok) {
  if (!ok) throw ErrorAlreadySet{};
}

// An owning reference. The named constructors say what happens to the
// caller's reference, so that every ownership transfer is visible where it
// happens.
class Ref {
 public:
  Ref() = default;

  // Takes over a new reference returned by the C API; a null result means
  // the call failed with an error set.
  static Ref steal(PyObject* object) {
    check(object != nullptr);
    return Ref(object);
  }
  // Takes over a new reference that may be null without an error (lookups
  // that report "not found" that way).
  static Ref steal_or_null(PyObject* object) { return Ref(object); }
  // Adds a reference of its own to a borrowed one.
  static Ref new_ref(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller, typically as a function's result.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  PyObject* object_ = nullptr;
};

// Runs an entry point's body and maps C++ failures onto the C API's error
// convention: ErrorAlreadySet leaves the error as it is, an allocation
// failure becomes MemoryError. `failed` is the function's error return.
template <class Return, class Body>
Return guarded_with(Return failed, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const ErrorAlreadySet&) {
    return failed;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return failed;
  }
}

// For entry points that return an object (null on error).
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with<PyObject*>(nullptr, std::forward<Body>(body));
}

// For entry points that return a status (-1 on error).
template <class Body>
int guarded_status(Body&& body) noexcept {
  return guarded_with<int>(-1, std::forward<Body>(body));
}

// Releases the interpreter lock for its lifetime. Nothing inside may touch a
// Python object; the lock comes back on every exit, exceptions included.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Casts a method implementation of any of the C API's calling conventions
// to the PyCFunction stored in a PyMethodDef.
template <class Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kelvra::python
