#include "python/param_controls.h"

#include <optional>
#include <string>
#include <utility>

#include "python/convert.h"
#include "support/text.h"

namespace kelvra::python {
namespace {

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

std::vector<NamedValue> named_values(PyObject* object) {
  std::vector<NamedValue> out;
  for (auto& [name, value] : to_named_doubles(object)) out.push_back({std::move(name), value});
  return out;
}

std::optional<double> bound_side(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return to_double(object);
}

std::vector<NamedBounds> named_bounds(PyObject* object) {
  if (!PyDict_Check(object)) raise_wrong_type(object, "cannot be converted to 'dict'");
  // A snapshot of the items: converting a value may run code that changes the dict.
  Ref items = Ref::steal(PyDict_Items(object));
  std::vector<NamedBounds> out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    std::string name = to_string(PyTuple_GET_ITEM(item, 0));
    Ref pair = sequence_items(PyTuple_GET_ITEM(item, 1));
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      raise(PyExc_TypeError, "bounds of " + debug_quoted(name) + " must be a (lower, upper) pair");
    }
    Ref lower = Ref::new_ref(PySequence_Fast_GET_ITEM(pair.get(), 0));
    Ref upper = Ref::new_ref(PySequence_Fast_GET_ITEM(pair.get(), 1));
    std::optional<double> lo = bound_side(lower.get());
    std::optional<double> hi = bound_side(upper.get());
    out.push_back({std::move(name), lo, hi});
  }
  return out;
}

}  // namespace

ParamControlRequest param_control_request(PyObject* start, PyObject* fixed, PyObject* bounds) {
  ParamControlRequest request;
  if (given(start)) request.start = argument("start", start, named_values);
  if (given(fixed)) {
    if (PyDict_Check(fixed)) {
      request.fixed = argument("fixed", fixed, named_values);
    } else {
      request.held = argument("fixed", fixed, [](PyObject* names) { return convert_items<std::string>(names, to_string); });
    }
  }
  if (given(bounds)) request.bounds = argument("bounds", bounds, named_bounds);
  return request;
}

}  // namespace kelvra::python
