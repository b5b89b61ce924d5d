// Conversion of Python arguments into the core's values. Each converter
// raises the interpreter's own TypeError (or OverflowError) on failure;
// `argument()` adds the name of the argument being converted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "elements/complex.h"
#include "python/py_ref.h"

namespace kelvra::python {

// TypeError "'{type of object}' object {what}".
[[noreturn]] void raise_wrong_type(PyObject* object, std::string_view what);

// Floats, ints and objects with __float__ or __index__.
double to_double(PyObject* object);
// Integers (anything with __index__) within range; OverflowError otherwise.
std::uint64_t to_u64(PyObject* object);
std::uint32_t to_u32(PyObject* object);
// True, False and NumPy boolean scalars.
bool to_bool(PyObject* object);
// A str, as UTF-8.
std::string to_string(PyObject* object);
// The items of any sequence but a str, as a list or tuple; TypeError
// "Can't extract `str` to `Vec`" for a str.
Ref sequence_items(PyObject* object);

// Converts every item of a sequence with `convert`; the first failing item
// stops it. Each item is held by a reference of its own and the size re-read
// on every step, because a conversion hook of an item may change the list
// being walked.
template <class T, class Convert>
std::vector<T> convert_items(PyObject* object, Convert&& convert) {
  Ref items = sequence_items(object);
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::new_ref(PySequence_Fast_GET_ITEM(items.get(), i));
    out.push_back(convert(item.get()));
  }
  return out;
}

// Any sequence but a str, item by item.
std::vector<double> to_doubles(PyObject* object);
// As to_doubles; an item is a complex, else converted through __complex__,
// else taken as a float with imaginary part 0.
std::vector<Complex> to_complexes(PyObject* object);
// A dict (or subclass) with str keys and float-convertible values, in the
// dict's iteration order.
std::vector<std::pair<std::string, double>> to_named_doubles(PyObject* object);

// Python values from core values.
Ref new_str(std::string_view text);
Ref new_float_list(std::span<const double> values);
Ref new_str_list(std::span<const std::string> texts);

// Clears the pending error when it only says that the input is not of the
// kind just tried (TypeError, ValueError, LookupError, AttributeError,
// OverflowError), so that the caller can try another reading of it; returns
// false and leaves any other error set. KeyboardInterrupt, SystemExit and
// MemoryError in particular must reach the user as they are.
bool clear_if_wrong_kind();

// Runs `convert(object)` for the argument `name`: a TypeError or
// OverflowError it raises is re-raised with the message prefixed by
// "argument '{name}': ", so the caller sees which argument was wrong.
void prefix_argument_error(const char* name);

template <class Convert>
auto argument(const char* name, PyObject* object, Convert&& convert) {
  try {
    return std::forward<Convert>(convert)(object);
  } catch (const ErrorAlreadySet&) {
    prefix_argument_error(name);
    throw;
  }
}

}  // namespace kelvra::python
