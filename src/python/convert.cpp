#include "python/convert.h"

#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "python/numpy_api.h"

namespace kelvra::python {

namespace {

// A NumPy scalar can only exist once NumPy has been imported, so a bool
// argument never imports NumPy by itself.
bool numpy_loaded() {
  if (PY_ARRAY_UNIQUE_SYMBOL != nullptr) return true;
  Ref name = Ref::steal(PyUnicode_FromString("numpy"));
  Ref numpy = Ref::steal_or_null(PyImport_GetModule(name.get()));
  check(numpy || !PyErr_Occurred());
  return static_cast<bool>(numpy);
}

Complex to_complex(PyObject* object) {
  // PyComplex_AsCComplex takes a complex (or subclass) as it is, then tries
  // __complex__, then the float conversion: exactly the accepted forms.
  const Py_complex value = PyComplex_AsCComplex(object);
  check(!(value.real == -1.0 && PyErr_Occurred()));
  return {value.real, value.imag};
}

// A one-dimensional float64 or complex128 NumPy array (exactly ndarray: a
// subclass such as a masked array converts item by item, as its items say)
// read straight from its buffer. Item-by-item conversion of such an array
// gives the same numbers, one Python object at a time: for a sweep of 10^5
// frequencies that costs as much as the evaluation itself.
template <class T>
std::optional<std::vector<T>> numpy_vector(PyObject* object) {
  if (!numpy_loaded()) return std::nullopt;
  ensure_numpy();
  if (!PyArray_CheckExact(object)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const int type = PyArray_TYPE(array);
  if (PyArray_NDIM(array) != 1 || !PyArray_ISNOTSWAPPED(array)) return std::nullopt;
  const bool real = type == NPY_DOUBLE;
  if (!real && !(std::is_same_v<T, Complex> && type == NPY_CDOUBLE)) return std::nullopt;
  const npy_intp size = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* data = PyArray_BYTES(array);
  std::vector<T> out(static_cast<std::size_t>(size));
  for (npy_intp i = 0; i < size; ++i) {
    const char* item = data + i * stride;
    if constexpr (std::is_same_v<T, Complex>) {
      double parts[2] = {0.0, 0.0};
      std::memcpy(parts, item, real ? sizeof(double) : sizeof(parts));
      out[static_cast<std::size_t>(i)] = {parts[0], parts[1]};
    } else {
      std::memcpy(&out[static_cast<std::size_t>(i)], item, sizeof(double));
    }
  }
  return out;
}

}  // namespace

void raise_wrong_type(PyObject* object, std::string_view what) {
  std::string message = "'";
  message += Py_TYPE(object)->tp_name;
  message += "' object ";
  message += what;
  raise(PyExc_TypeError, message);
}

// Materialising through iteration rather than indexing keeps label-indexed
// sequences (a pandas Series after a row filter) working.
Ref sequence_items(PyObject* object) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  // Binary data is a sequence of byte values, never meant as numbers.
  if (PyBytes_Check(object) || PyByteArray_Check(object) || PyMemoryView_Check(object)) {
    raise_wrong_type(object, "is binary data, not a sequence of numbers");
  }
  if (!PySequence_Check(object)) raise_wrong_type(object, "is not a sequence");
  return Ref::steal(PySequence_Fast(object, "expected a sequence"));
}

// Python's complex is refused by the float conversion itself, but a NumPy
// complex scalar converts to its real part (with only a warning), which
// would silently drop the imaginary part of, say, a complex frequency array.
bool is_complex(PyObject* object) {
  if (PyComplex_Check(object)) return true;
  if (!numpy_loaded()) return false;
  ensure_numpy();
  return PyObject_TypeCheck(object, &PyComplexFloatingArrType_Type);
}

double to_double(PyObject* object) {
  if (!PyFloat_Check(object) && !PyLong_Check(object) && is_complex(object)) {
    raise(PyExc_TypeError, std::string("must be real number, not ") + Py_TYPE(object)->tp_name);
  }
  const double value = PyFloat_AsDouble(object);
  check(!(value == -1.0 && PyErr_Occurred()));
  return value;
}

std::uint64_t to_u64(PyObject* object) {
  Ref index = Ref::steal(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  check(!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
  return value;
}

std::uint32_t to_u32(PyObject* object) {
  const std::uint64_t value = to_u64(object);
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    raise(PyExc_OverflowError, "int too big to convert to a 32-bit unsigned integer");
  }
  return static_cast<std::uint32_t>(value);
}

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (numpy_loaded()) {
    ensure_numpy();
    if (PyObject_TypeCheck(object, &PyBoolArrType_Type)) {
      const int truth = PyObject_IsTrue(object);
      check(truth >= 0);
      return truth == 1;
    }
  }
  raise_wrong_type(object, "cannot be converted to 'bool'");
}

std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_wrong_type(object, "cannot be converted to 'str'");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text != nullptr) return {text, static_cast<std::size_t>(size)};
  // A lone surrogate has no UTF-8 form. Such a string can be no circuit,
  // name or scheme, so it becomes text with '?' in its place and meets the
  // error any other unknown text meets.
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
  PyErr_Clear();
  Ref replaced = Ref::steal(PyUnicode_AsEncodedString(object, "utf-8", "replace"));
  return {PyBytes_AS_STRING(replaced.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(replaced.get()))};
}

std::vector<double> to_doubles(PyObject* object) {
  if (auto direct = numpy_vector<double>(object)) return std::move(*direct);
  return convert_items<double>(object, to_double);
}

std::vector<Complex> to_complexes(PyObject* object) {
  if (auto direct = numpy_vector<Complex>(object)) return std::move(*direct);
  return convert_items<Complex>(object, to_complex);
}

std::vector<std::pair<std::string, double>> to_named_doubles(PyObject* object) {
  if (!PyDict_Check(object)) raise_wrong_type(object, "cannot be converted to 'dict'");
  std::vector<std::pair<std::string, double>> out;
  out.reserve(static_cast<std::size_t>(PyDict_Size(object)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(object, &position, &key, &value)) {
    // Held while converting: a value's __float__ may change the dict.
    Ref held_key = Ref::new_ref(key);
    Ref held_value = Ref::new_ref(value);
    std::string name = to_string(held_key.get());
    out.emplace_back(std::move(name), to_double(held_value.get()));
  }
  return out;
}

Ref new_str(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_float_list(std::span<const double> values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::steal(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

Ref new_str_list(std::span<const std::string> texts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
  }
  return list;
}

bool clear_if_wrong_kind() {
  for (PyObject* kind : {PyExc_TypeError, PyExc_ValueError, PyExc_LookupError, PyExc_AttributeError,
                         PyExc_OverflowError}) {
    if (PyErr_ExceptionMatches(kind)) {
      PyErr_Clear();
      return true;
    }
  }
  return false;
}

void prefix_argument_error(const char* name) {
  PyObject* raised_type = nullptr;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    raised_type = PyExc_TypeError;
  } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    raised_type = PyExc_OverflowError;
  } else {
    return;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref held_type = Ref::steal_or_null(type);
  Ref held_value = Ref::steal_or_null(value);
  Ref held_traceback = Ref::steal_or_null(traceback);
  Ref message = Ref::steal_or_null(held_value ? PyObject_Str(held_value.get()) : nullptr);
  if (!message) return;  // str() itself failed; its error is the one to report
  PyErr_Format(raised_type, "argument '%s': %U", name, message.get());
}

}  // namespace kelvra::python
