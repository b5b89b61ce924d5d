// The module `kelvra`: multi-phase initialisation that creates the classes,
// functions and exception into per-module state and lists the public names
// in __all__. Importing does nothing else: no thread starts and NumPy is
// loaded on first use.
#include <new>
#include <string>
#include <type_traits>

#include "python/circuit.h"
#include "python/convert.h"
#include "python/drt.h"
#include "python/elements.h"
#include "python/fit_result.h"
#include "python/module_state.h"
#include "python/stop_flag.h"
#include "python/tables.h"

namespace kelvra::python {

namespace {

// Python zero-fills the state and frees it without a destructor.
static_assert(std::is_trivially_destructible_v<ModuleState>);

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = module_state(module);
  Py_VISIT(state.element_type);
  for (PyTypeObject* cls : state.element_classes) Py_VISIT(cls);
  Py_VISIT(state.circuit_type);
  Py_VISIT(state.fit_result_type);
  Py_VISIT(state.internal_error);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState& state = module_state(module);
  Py_CLEAR(state.element_type);
  for (PyTypeObject*& cls : state.element_classes) Py_CLEAR(cls);
  Py_CLEAR(state.circuit_type);
  Py_CLEAR(state.fit_result_type);
  Py_CLEAR(state.internal_error);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// Adds `value` as the module attribute `name` and lists it in __all__.
void add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  check(PyModule_AddObjectRef(module, name, value) == 0);
  Ref listed = new_str(name);
  check(PyList_Append(all, listed.get()) == 0);
}

void add_public_type(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
  add_public(module, all, name, reinterpret_cast<PyObject*>(type));
}

// Functions the package's Python layer calls: attributes of the module,
// left out of __all__.
PyMethodDef private_functions[] = {
    {"_screening_fit", as_cfunction(screening_fit), METH_VARARGS | METH_KEYWORDS, kScreeningFitDoc},
    {"_early_stop_rules", early_stop_rules, METH_NOARGS, kEarlyStopRulesDoc},
    {"_jacobian_methods", jacobian_methods, METH_NOARGS, kJacobianMethodsDoc},
    {"_fit_batch", fit_batch, METH_VARARGS, kFitBatchDoc},
    {"_drt", as_cfunction(drt_one), METH_VARARGS | METH_KEYWORDS, kDrtDoc},
    {"_drt_chunk", as_cfunction(drt_chunk), METH_VARARGS | METH_KEYWORDS, kDrtChunkDoc},
    {"_drt_peaks", as_cfunction(drt_peaks), METH_VARARGS, kDrtPeaksDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return guarded_status([&] {
    ModuleState& state = *new (PyModule_GetState(module)) ModuleState{};
    Ref all = Ref::steal(PyList_New(0));

    create_element_types(module, state);
    add_public_type(module, all.get(), "Element", state.element_type);
    create_circuit_type(module, state);
    add_public_type(module, all.get(), "Circuit", state.circuit_type);
    create_fit_result_type(module, state);
    add_public_type(module, all.get(), "FitResult", state.fit_result_type);
    // The functions belong to the package that re-exports them, as the types do.
    Ref module_name = new_str(kModuleName);
    for (PyMethodDef* function = kCircuitFunctions; function->ml_name != nullptr; ++function) {
      Ref callable = Ref::steal(PyCFunction_NewEx(function, module, module_name.get()));
      add_public(module, all.get(), function->ml_name, callable.get());
    }
    for (PyMethodDef* functions : {private_functions, kTableFunctions}) {
      for (PyMethodDef* function = functions; function->ml_name != nullptr; ++function) {
        Ref callable = Ref::steal(PyCFunction_NewEx(function, module, module_name.get()));
        check(PyModule_AddObjectRef(module, function->ml_name, callable.get()) == 0);
      }
    }
    // The short aliases are the very classes held by Element's attributes.
    for (const KindInfo& kind : kKinds) {
      const std::string name(kind.display_name);
      Ref cls = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(state.element_type), name.c_str()));
      add_public(module, all.get(), name.c_str(), cls.get());
    }

    add_stop_flag_type(module);

    const std::string error_name = std::string(kModuleName) + ".InternalError";
    state.internal_error = Ref::steal(PyErr_NewException(error_name.c_str(), PyExc_BaseException, nullptr)).release();
    check(PyModule_AddObjectRef(module, "InternalError", state.internal_error) == 0);
    check(PyModule_AddObjectRef(module, "__all__", all.get()) == 0);
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState& state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);  // borrowed
  check(module != nullptr);
  return module_state(module);
}

void raise_internal_error(const ModuleState& state, const std::string& message) {
  PyErr_SetString(state.internal_error, message.c_str());
  throw ErrorAlreadySet{};
}

}  // namespace kelvra::python

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&kelvra::python::module_def); }
