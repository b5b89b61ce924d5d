// The small C++ layer over the CPython C API that the rest of the binding
// stands on: an owning reference, the "a Python error is already set"
// exception with the guard that every entry point runs its body in, and the
// scope that releases the interpreter lock around numerical work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "python/entered_stop.h"
#include "support/interrupt.h"

namespace kelvra::python {

// Thrown by helpers once they have set the Python error indicator; the entry
// point's guard turns it back into the C API's error return.
struct ErrorAlreadySet {};

// Sets `type` with `message` and throws ErrorAlreadySet. The message is
// taken with its length, so a NUL inside it (quoted from the user's text)
// does not cut it short; bytes that are no UTF-8 become U+FFFD.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
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
// convention, so that nothing thrown inside ever reaches std::terminate:
// ErrorAlreadySet leaves the error as it is; work stopped by a signal
// handler leaves the handler's exception (KeyboardInterrupt for Ctrl-C); an
// allocation failure becomes MemoryError and any other C++ exception (a
// thread that cannot start, say) RuntimeError. `failed` is the function's
// error return.
template <class Return, class Body>
Return guarded_with(Return failed, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const ErrorAlreadySet&) {
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native exception");
  }
  return failed;
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
//
// On the main thread, the only one that runs signal handlers, the work
// inside polls for signals: every kPollInterval it takes the lock back for a
// moment and runs the pending handlers. One that raises (Ctrl-C's
// KeyboardInterrupt) stops the work with Interrupted, its exception left set
// for the entry point's guard. Other threads never take the lock to ask;
// inside a StopFlag they poll that flag instead, and a set flag stops the
// work the same way (as KeyboardInterrupt).
class GilReleased {
 public:
  GilReleased() {
    // Asked while the lock is still held; the interpreter offers no public
    // name for it.
    const bool main_thread = _PyOS_IsMainThread();
    SharedStop flag = current_stop_flag();
    if (main_thread || flag) {
      interrupt_.emplace([this, main_thread, flag] {
        return (flag && flag->load(std::memory_order_relaxed)) || (main_thread && signal_raised());
      });
    }
    state_ = PyEval_SaveThread();
    scope_.emplace(interrupt_ ? &*interrupt_ : nullptr);
  }
  ~GilReleased() {
    scope_.reset();
    PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  bool signal_raised() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

  PyThreadState* state_ = nullptr;
  std::optional<Interrupt> interrupt_;
  std::optional<InterruptScope> scope_;
};

// Casts a method implementation of any of the C API's calling conventions
// to the PyCFunction stored in a PyMethodDef.
template <class Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kelvra::python
