#include "python/tables.h"

#include <string>
#include <string_view>

#include "elements/element.h"
#include "fit/dispatch/fit_method.h"
#include "models/model_nesting.h"
#include "models/model_table.h"
#include "python/convert.h"
#include "python/spectrum.h"

namespace kelvra::python {

namespace {

Ref new_tuple(Py_ssize_t size) { return Ref::steal(PyTuple_New(size)); }

// Steals `item` into slot `i` of a tuple made by new_tuple.
void set_item(const Ref& tuple, Py_ssize_t i, Ref item) { PyTuple_SET_ITEM(tuple.get(), i, item.release()); }

template <class Range, class Convert>
Ref tuple_of(const Range& range, Py_ssize_t size, Convert convert) {
  Ref tuple = new_tuple(size);
  Py_ssize_t i = 0;
  for (const auto& item : range) {
    if (i == size) break;
    set_item(tuple, i++, convert(item));
  }
  return tuple;
}

Ref new_float(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

Ref str_or_none(std::string_view text, bool present) {
  return present ? new_str(text) : Ref::new_ref(Py_None);
}

void set_key(const Ref& dict, const char* key, Ref value) {
  check(PyDict_SetItemString(dict.get(), key, value.get()) == 0);
}

PyObject* battery_columns(PyObject*, PyObject*) {
  return guarded([&] {
    Ref dict = Ref::steal(PyDict_New());
    for (const BatteryColumn& column : kBatteryColumns) {
      Ref pair = new_tuple(2);
      set_item(pair, 0, new_str(column.names.first));
      set_item(pair, 1, new_str(column.names.second));
      set_key(dict, column.quantity, std::move(pair));
    }
    return dict.release();
  });
}

PyObject* fit_methods(PyObject*, PyObject*) {
  return guarded([&] {
    const auto names = fit_method_names();
    return tuple_of(names, static_cast<Py_ssize_t>(names.size()), new_str).release();
  });
}

PyObject* unseeded_fit_methods_of_core(PyObject*, PyObject*) {
  return guarded([&] {
    const auto names = unseeded_fit_methods();
    return tuple_of(names, static_cast<Py_ssize_t>(names.size()), new_str).release();
  });
}

PyObject* weightings(PyObject*, PyObject*) {
  return guarded([&] {
    return tuple_of(kWeightings, static_cast<Py_ssize_t>(std::size(kWeightings)),
                    [](const WeightingName& known) { return new_str(known.name); })
        .release();
  });
}

// ((name, topology, (names of the models nested in it...)), ...) in table order.
PyObject* models(PyObject*, PyObject*) {
  return guarded([&] {
    const auto& nested = nested_models();
    Ref out = new_tuple(static_cast<Py_ssize_t>(kModelCount));
    for (std::size_t m = 0; m < kModelCount; ++m) {
      Ref row = new_tuple(3);
      set_item(row, 0, new_str(MODELS[m].name));
      set_item(row, 1, new_str(MODELS[m].topology));
      set_item(row, 2, tuple_of(nested[m], static_cast<Py_ssize_t>(nested[m].size()),
                                [](std::size_t inner) { return new_str(MODELS[inner].name); }));
      set_item(out, static_cast<Py_ssize_t>(m), std::move(row));
    }
    return out.release();
  });
}

// One dict per kind, in kind order.
PyObject* element_kinds(PyObject*, PyObject*) {
  return guarded([&] {
    Ref out = new_tuple(static_cast<Py_ssize_t>(kKindCount));
    for (std::size_t k = 0; k < kKindCount; ++k) {
      const KindInfo& kind = kKinds[k];
      const KindLimit& limit = kKindLimits[k];
      const auto count = static_cast<Py_ssize_t>(kind.param_count);
      Ref dict = Ref::steal(PyDict_New());
      set_key(dict, "name", new_str(kind.display_name));
      set_key(dict, "code", new_str(kind.canonical_code));
      set_key(dict, "alternate_code", str_or_none(kind.alternate_code, !kind.alternate_code.empty()));
      set_key(dict, "fields", tuple_of(kind.fields, count, new_str));
      set_key(dict, "units", tuple_of(kind.units, count, new_str));
      set_key(dict, "defaults", tuple_of(kind.defaults, count, new_float));
      set_key(dict, "bounds", tuple_of(kind.fields, count, [](std::string_view field) {
                const Bounds bounds = bounds_for(field);
                return Ref::steal(Py_BuildValue("(dd)", bounds.lo, bounds.hi));
              }));
      const bool powered = kind.power_field != kNoPowerField;
      set_key(dict, "exponent_field",
              str_or_none(powered ? kind.fields[kind.power_field] : std::string_view{}, powered));
      const bool vanishes = limit.vanishing_field != kNoLimitField;
      set_key(dict, "vanishing_field",
              str_or_none(vanishes ? kind.fields[limit.vanishing_field] : std::string_view{}, vanishes));
      set_key(dict, "exponent_one_kind",
              str_or_none(limit.exponent_one_kind ? info(*limit.exponent_one_kind).display_name : std::string_view{},
                          limit.exponent_one_kind.has_value()));
      set_item(out, static_cast<Py_ssize_t>(k), std::move(dict));
    }
    return out.release();
  });
}

}  // namespace

PyMethodDef kTableFunctions[] = {
    {"_battery_columns", as_cfunction(battery_columns), METH_NOARGS,
     "_battery_columns()\n--\n\n"
     "{quantity: (name, other name)} of the battery-data-format columns a\n"
     "spectrum is read from, each pair in the order lookups try it."},
    {"_fit_methods", as_cfunction(fit_methods), METH_NOARGS,
     "_fit_methods()\n--\n\nThe method names `Circuit.fit` accepts, the default first."},
    {"_unseeded_fit_methods", as_cfunction(unseeded_fit_methods_of_core), METH_NOARGS,
     "_unseeded_fit_methods()\n--\n\nThe methods that draw random numbers but take no seed."},
    {"_weightings", as_cfunction(weightings), METH_NOARGS,
     "_weightings()\n--\n\nThe weighting schemes `weight` accepts, the default first."},
    {"_models", as_cfunction(models), METH_NOARGS,
     "_models()\n--\n\n"
     "(name, topology, nested) of each built-in model in table order; `nested`\n"
     "names the models a limit of its parameters gives."},
    {"_element_kinds", as_cfunction(element_kinds), METH_NOARGS,
     "_element_kinds()\n--\n\n"
     "One dict per element kind, in kind order: name, code, alternate_code,\n"
     "fields, units, defaults, bounds, exponent_field (the field raised to a\n"
     "power, alpha or gamma), vanishing_field (the field whose floor\n"
     "shorts the element) and exponent_one_kind (the kind it becomes with its\n"
     "exponent at 1)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvra::python
