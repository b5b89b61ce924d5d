// The entry-point guard: whatever a binding body throws becomes a Python
// exception, never a call to std::terminate.
#include "python/py_ref.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kelvra::python {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Runs `body` behind the guard; returns the raised exception's type and text
// and clears it.
std::pair<PyObject*, std::string> raised_by(const std::function<PyObject*()>& body) {
  EXPECT_EQ(guarded(body), nullptr);
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref held_value = Ref::steal_or_null(value);
  Ref held_traceback = Ref::steal_or_null(traceback);
  Ref text = Ref::steal(PyObject_Str(held_value.get()));
  Py_DECREF(type);  // the exception classes are immortal for the test's purposes
  return {type, PyUnicode_AsUTF8(text.get())};
}

TEST(Guard, EveryCppExceptionBecomesAPythonException) {
  struct Case {
    const char* name;
    std::function<PyObject*()> body;
    PyObject* type;
    std::string text;
  };
  const Case table[] = {
      {"error already set", [] () -> PyObject* { raise(PyExc_ValueError, "bad value"); }, PyExc_ValueError,
       "bad value"},
      {"allocation", [] () -> PyObject* { throw std::bad_alloc(); }, PyExc_MemoryError, ""},
      {"no thread", [] () -> PyObject* { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread"); },
       PyExc_RuntimeError, "thread: Resource temporarily unavailable"},
      {"length", [] () -> PyObject* { throw std::length_error("vector::reserve"); }, PyExc_RuntimeError,
       "vector::reserve"},
      {"stopped", [] () -> PyObject* { throw Interrupted{}; }, PyExc_KeyboardInterrupt, ""},
      {"stopped by a handler's error",
       [] () -> PyObject* {
         PyErr_SetString(PyExc_ZeroDivisionError, "from the handler");
         throw Interrupted{};
       },
       PyExc_ZeroDivisionError, "from the handler"},
      {"not an exception class", [] () -> PyObject* { throw 42; }, PyExc_RuntimeError,
       "unexpected native exception"},
  };
  for (const Case& c : table) {
    const auto [type, text] = raised_by(c.body);
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
}

}  // namespace
}  // namespace kelvra::python
