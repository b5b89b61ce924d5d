// The module's private `StopFlag`: set() once, read by every native loop of
// the threads that entered it.
#include "python/stop_flag.h"

#include <algorithm>
#include <new>

#include "python/entered_stop.h"

namespace kelvra::python {

namespace {

const char kStopFlagDoc[] =
    "StopFlag()\n--\n\n"
    "A stop request shared by threads. Inside `with flag:` the calling\n"
    "thread's native work (fits, sweeps) stops with KeyboardInterrupt within\n"
    "a few milliseconds of `flag.set()`, as work on the main thread stops on\n"
    "Ctrl-C.";

struct StopFlagObject {
  PyObject_HEAD
  std::shared_ptr<std::atomic<bool>> flag;
};

StopFlagObject& as_stop_flag(PyObject* self) { return *reinterpret_cast<StopFlagObject*>(self); }

PyObject* stop_flag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {nullptr};
    check(PyArg_ParseTupleAndKeywords(args, kwargs, ":StopFlag", const_cast<char**>(keywords)));
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    new (&as_stop_flag(self.get()).flag) std::shared_ptr<std::atomic<bool>>(std::make_shared<std::atomic<bool>>(false));
    return self.release();
  });
}

void stop_flag_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_stop_flag(self).flag.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stop_flag_set(PyObject* self, PyObject*) {
  as_stop_flag(self).flag->store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* stop_flag_is_set(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_stop_flag(self).flag->load(std::memory_order_relaxed));
}

PyObject* stop_flag_enter(PyObject* self, PyObject*) {
  return guarded([&] {
    entered_stop_flags.push_back(as_stop_flag(self).flag);
    return Py_NewRef(self);
  });
}

PyObject* stop_flag_exit(PyObject* self, PyObject*) {
  // The innermost entry of this flag on this thread: a with-block leaves
  // what it entered.
  auto& entered = entered_stop_flags;
  const auto found = std::find(entered.rbegin(), entered.rend(), as_stop_flag(self).flag);
  if (found != entered.rend()) entered.erase(std::next(found).base());
  Py_RETURN_FALSE;
}

PyMethodDef stop_flag_methods[] = {
    {"set", stop_flag_set, METH_NOARGS, "set()\n--\n\nAsk every thread inside this flag to stop."},
    {"is_set", stop_flag_is_set, METH_NOARGS, "is_set()\n--\n\nWhether set() was called."},
    {"__enter__", stop_flag_enter, METH_NOARGS, nullptr},
    {"__exit__", stop_flag_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stop_flag_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stop_flag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stop_flag_dealloc)},
    {Py_tp_methods, stop_flag_methods},
    {Py_tp_doc, const_cast<char*>(kStopFlagDoc)},
    {0, nullptr},
};

PyType_Spec stop_flag_spec = {
    "kelvra._core.StopFlag", sizeof(StopFlagObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stop_flag_slots,
};

}  // namespace

void add_stop_flag_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &stop_flag_spec, nullptr));
  check(PyModule_AddObjectRef(module, "StopFlag", type.get()) == 0);
}

}  // namespace kelvra::python
