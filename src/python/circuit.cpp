#include "python/circuit.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "circuit/format.h"
#include "circuit/grammar.h"
#include "circuit/params.h"
#include "models/model_table.h"
#include "python/convert.h"
#include "python/elements.h"
#include "support/text.h"

namespace kelvra::python {

namespace {

// Width to which the repr pads each parameter's value, so that the units
// line up for values of up to ten characters.
constexpr std::size_t kReprValueWidth = 10;

const ModuleState& state_of_circuit(PyObject* self) { return state_of(Py_TYPE(self)); }

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"s", nullptr};
    PyObject* s = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, "O:Circuit", const_cast<char**>(keywords), &s));
    const std::string given = argument("s", s, to_string);
    // A model name stands for its topology. Otherwise the text is parsed
    // exactly as given: whitespace is an error the user should see, not
    // something to tidy away.
    const Model* model = find_model_name(given);
    const std::string text = model != nullptr ? std::string(model->topology) : given;
    auto parsed = parse(text);
    if (!parsed) raise(PyExc_ValueError, parse_error_report(text, parsed.error()));
    return new_circuit(state_of(type), std::move(parsed).value(), false);
  });
}

void circuit_dealloc(PyObject* self) {
  reinterpret_cast<CircuitObject*>(self)->series.~Series();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// `text` followed by spaces up to `width` code points.
std::string padded(std::string_view text, std::size_t width) {
  std::string out(text);
  const std::size_t length = decode_utf8(text).size();
  if (length < width) out.append(width - length, ' ');
  return out;
}

// The circuit string of the tree, labels included: what Circuit(s) reads
// back into the same topology and labels.
std::string canonical_text(PyObject* self) {
  const Series& series = as_circuit(self).series;
  const std::vector<std::string> labels = leaf_labels(series);
  auto text = format_series(series, labels);
  if (!text) raise_internal_error(state_of_circuit(self), text.error());
  return std::move(text).value();
}

PyObject* circuit_get_text(PyObject* self, void*) {
  return guarded([&] { return new_str(canonical_text(self)).release(); });
}

PyObject* circuit_get_explicit_values(PyObject* self, void*) {
  return PyBool_FromLong(as_circuit(self).explicit_values);
}

// "Circuit R0-(R1,C1) (3 parameters)" and one line per parameter:
// "  R0.r = 1          [ohm]  bounds (1e-12, inf)".
PyObject* circuit_repr(PyObject* self) {
  return guarded([&] {
    const Series& series = as_circuit(self).series;
    const std::string circuit_text = canonical_text(self);

    const std::vector<std::string> names = param_names(series);
    const std::vector<std::string> units = param_units(series);
    const std::vector<Bounds> bounds = param_bounds(series);
    const std::vector<double> values = param_values(series);
    std::size_t name_width = 0;
    for (const std::string& name : names) name_width = std::max(name_width, decode_utf8(name).size());

    std::string text = "Circuit " + circuit_text + " (" + std::to_string(names.size()) + " parameter" +
                       (names.size() == 1 ? "" : "s") + ")\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) text += '\n';
      text += "  " + padded(names[i], name_width) + " = " + padded(format_number(values[i]), kReprValueWidth) + " [" +
              units[i] + "]  bounds (" + format_number(bounds[i].lo) + ", " + format_number(bounds[i].hi) + ")";
    }
    return new_str(text).release();
  });
}

PyObject* circuit_param_names(PyObject* self, PyObject*) {
  return guarded([&] { return new_str_list(param_names(as_circuit(self).series)).release(); });
}

PyObject* circuit_param_units(PyObject* self, PyObject*) {
  return guarded([&] { return new_str_list(param_units(as_circuit(self).series)).release(); });
}

PyObject* circuit_param_values(PyObject* self, PyObject*) {
  return guarded([&] { return new_float_list(param_values(as_circuit(self).series)).release(); });
}

PyObject* circuit_param_bounds(PyObject* self, PyObject*) {
  return guarded([&] {
    const std::vector<Bounds> bounds = param_bounds(as_circuit(self).series);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      Ref::steal(Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi)).release());
    }
    return list.release();
  });
}

// The one argument `values` of with_values and with_named_values.
PyObject* values_argument(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"values", nullptr};
  PyObject* values = nullptr;
  check(PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &values));
  return values;
}

PyObject* rebuilt_circuit(PyObject* self, Result<Series, std::string> rebuilt) {
  if (!rebuilt) raise(PyExc_ValueError, rebuilt.error());
  return new_circuit(state_of_circuit(self), std::move(rebuilt).value(), true);
}

PyObject* circuit_with_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const std::vector<double> values = argument("values", values_argument(args, kwargs, "O:with_values"), to_doubles);
    return rebuilt_circuit(self, with_values(as_circuit(self).series, values));
  });
}

PyObject* circuit_with_named_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto mapping = argument("values", values_argument(args, kwargs, "O:with_named_values"), to_named_doubles);
    return rebuilt_circuit(self, with_named_values(as_circuit(self).series, mapping));
  });
}

// An argument of Series() or Parallel(): an element becomes a one-leaf
// series; a circuit gives a copy of its series and its flag.
struct Part {
  Series series;
  bool explicit_values;
};

Part to_part(const ModuleState& state, PyObject* object) {
  if (auto element = element_of(state, object)) return {Series{Node{Leaf{*element, std::nullopt}}}, true};
  if (PyObject_TypeCheck(object, state.circuit_type)) {
    const CircuitObject& circuit = as_circuit(object);
    return {circuit.series, circuit.explicit_values};
  }
  raise_wrong_type(object, "is neither an Element nor a Circuit");
}

std::vector<Part> parts_argument(const ModuleState& state, PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"parts", nullptr};
  PyObject* parts = nullptr;
  check(PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &parts));
  return argument("parts", parts, [&](PyObject* sequence) {
    return convert_items<Part>(sequence, [&](PyObject* item) { return to_part(state, item); });
  });
}

// Element parts count as explicit; one circuit with default values makes
// the whole combination a candidate for a learned guess.
bool all_explicit(const std::vector<Part>& parts) {
  return std::all_of(parts.begin(), parts.end(), [](const Part& part) { return part.explicit_values; });
}

PyObject* combined_circuit(const ModuleState& state, Series series, bool explicit_values) {
  // Every walk over a tree recurses once per group level, so repeated
  // Parallel() calls must not build deeper trees than the grammar accepts.
  if (nesting_depth(series) > kMaxNestingDepth) {
    raise(PyExc_ValueError, "circuit nested deeper than " + std::to_string(kMaxNestingDepth) + " groups");
  }
  // The same rule as for a circuit string, with the same message.
  if (auto label = first_duplicate_label(series)) raise(PyExc_ValueError, display(ParseError{DuplicateLabel{*label}}));
  return new_circuit(state, std::move(series), explicit_values);
}

PyObject* series_function(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ModuleState& state = module_state(module);
    std::vector<Part> parts = parts_argument(state, args, kwargs, "O:Series");
    Series series;
    for (Part& part : parts) {
      for (Node& node : part.series) series.push_back(std::move(node));
    }
    return combined_circuit(state, std::move(series), all_explicit(parts));
  });
}

PyObject* parallel_function(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ModuleState& state = module_state(module);
    std::vector<Part> parts = parts_argument(state, args, kwargs, "O:Parallel");
    ParallelGroup group;
    group.branches.reserve(parts.size());
    for (Part& part : parts) group.branches.push_back(std::move(part.series));
    return combined_circuit(state, Series{Node{std::move(group)}}, all_explicit(parts));
  });
}

constexpr const char kParamNamesDoc[] =
    "param_names($self)\n--\n\n"
    "Parameter names, in the same order `with_values()` consumes and\n"
    "`with_named_values()` expects as keys.";
constexpr const char kWithValuesDoc[] =
    "with_values($self, values)\n--\n\n"
    "Rebuild this circuit with a new flat parameter vector, assigned\n"
    "positionally in `param_names()` order.";
constexpr const char kWithNamedValuesDoc[] =
    "with_named_values($self, values)\n--\n\n"
    "Rebuild this circuit with parameter values looked up by name (see\n"
    "`param_names()`). Every name must be present and no unknown names\n"
    "may be supplied.";
constexpr const char kParamValuesDoc[] =
    "param_values($self)\n--\n\n"
    "Current parameter values, in `param_names()` order.";
constexpr const char kParamBoundsDoc[] =
    "param_bounds($self)\n--\n\n"
    "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
    "`param_names()` order. `hi` is `inf` for open-bound parameters.";
constexpr const char kParamUnitsDoc[] =
    "param_units($self)\n--\n\n"
    "Physical units per parameter";

constexpr int kKeywordCall = METH_VARARGS | METH_KEYWORDS;

// In the order the class presents them.
PyMethodDef circuit_methods[] = {
    {"ml_circuits", as_cfunction(circuit_ml_circuits), METH_NOARGS | METH_STATIC, kMlCircuitsDoc},
    {"guess", as_cfunction(circuit_guess), kKeywordCall, kGuessDoc},
    {"param_names", as_cfunction(circuit_param_names), METH_NOARGS, kParamNamesDoc},
    {"with_values", as_cfunction(circuit_with_values), kKeywordCall, kWithValuesDoc},
    {"with_named_values", as_cfunction(circuit_with_named_values), kKeywordCall, kWithNamedValuesDoc},
    {"impedance", as_cfunction(circuit_impedance), kKeywordCall, kImpedanceDoc},
    {"param_values", as_cfunction(circuit_param_values), METH_NOARGS, kParamValuesDoc},
    {"param_bounds", as_cfunction(circuit_param_bounds), METH_NOARGS, kParamBoundsDoc},
    {"param_units", as_cfunction(circuit_param_units), METH_NOARGS, kParamUnitsDoc},
    {"residuals", as_cfunction(circuit_residuals), kKeywordCall, kResidualsDoc},
    {"jacobian", as_cfunction(circuit_jacobian), kKeywordCall, kJacobianDoc},
    {"fit", as_cfunction(circuit_fit), kKeywordCall, kFitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circuit_getset[] = {
    {"text", circuit_get_text, nullptr,
     "The circuit string of this topology with its labels, as Circuit(s) reads it back.", nullptr},
    {"explicit_values", circuit_get_explicit_values, nullptr,
     "Whether the values were chosen (with_values, element objects, a fit) rather than the\n"
     "catalogue defaults; a fit asks for a learned guess only when false.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot circuit_slots[] = {
    {Py_tp_getset, circuit_getset},
    {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
    {Py_tp_methods, circuit_methods},
    {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec circuit_spec = {
    "kelvra.Circuit", sizeof(CircuitObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, circuit_slots,
};

}  // namespace

PyMethodDef kCircuitFunctions[] = {
    {"Series", as_cfunction(series_function), kKeywordCall,
     "Series(parts)\n--\n\nConnect elements and circuits end to end."},
    {"Parallel", as_cfunction(parallel_function), kKeywordCall,
     "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* new_circuit(const ModuleState& state, Series series, bool explicit_values) {
  PyTypeObject* type = state.circuit_type;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  auto* circuit = reinterpret_cast<CircuitObject*>(self.get());
  new (&circuit->series) Series(std::move(series));
  circuit->explicit_values = explicit_values;
  return self.release();
}

void create_circuit_type(PyObject* module, ModuleState& state) {
  state.circuit_type =
      reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromModuleAndSpec(module, &circuit_spec, nullptr)).release());
}

}  // namespace kelvra::python
