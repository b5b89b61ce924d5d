#include "python/elements.h"

#include <cstdint>
#include <string>
#include <utility>

#include "python/convert.h"
#include "support/text.h"

namespace kelvra::python {

namespace {

struct ElementObject {
  PyObject_HEAD
  Element element;
};

constexpr const char* kElementDoc =
    "A single circuit element.\n"
    "\n"
    "These are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

const Element& element_value(PyObject* self) { return reinterpret_cast<ElementObject*>(self)->element; }

PyObject* element_base_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Element");
  return nullptr;
}

void element_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// "Element.Cpe(q=1e-5, alpha=0.9)"
PyObject* element_repr(PyObject* self) {
  return guarded([&] {
    const Element& element = element_value(self);
    const KindInfo& kind = info(element.kind);
    std::string text = "Element." + std::string(kind.display_name) + "(";
    for (std::size_t i = 0; i < kind.param_count; ++i) {
      if (i > 0) text += ", ";
      text += kind.fields[i];
      text += '=';
      text += format_debug_number(element.params[i]);
    }
    text += ')';
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  });
}

// Getter of one field; the closure carries the field's index.
PyObject* element_field(PyObject* self, void* closure) {
  return PyFloat_FromDouble(element_value(self).params[reinterpret_cast<std::uintptr_t>(closure)]);
}

// What the C API keeps pointers to for as long as an element class exists:
// its name, text signature, keyword list, getters and slots.
struct ElementClassData {
  std::string qualified_name;  // "kelvra.Element_Zarc"
  std::string doc;             // "Element_Zarc(r, tau_k, gamma)\n--\n\n": signature only
  std::string format;          // "OOO:Element_Zarc" for PyArg_ParseTupleAndKeywords
  std::array<std::string, kMaxElementParams> fields;
  std::array<char*, kMaxElementParams + 1> keywords{};
  std::array<PyGetSetDef, kMaxElementParams + 1> getset{};
  std::array<PyType_Slot, 4> slots{};  // new, getset, doc and the terminator
  PyType_Spec spec{};
};

const std::array<ElementClassData, kKindCount>& class_data();

PyObject* construct_element(PyTypeObject* type, PyObject* args, PyObject* kwargs, std::size_t index) {
  const ElementClassData& data = class_data()[index];
  std::array<PyObject*, kMaxElementParams> given{};
  check(PyArg_ParseTupleAndKeywords(args, kwargs, data.format.c_str(), const_cast<char**>(data.keywords.data()),
                                    &given[0], &given[1], &given[2], &given[3]));
  Element element;
  element.kind = static_cast<Kind>(index);
  for (std::size_t i = 0; i < kKinds[index].param_count; ++i) {
    element.params[i] = argument(data.fields[i].c_str(), given[i], to_double);
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  reinterpret_cast<ElementObject*>(self.get())->element = element;
  return self.release();
}

// One constructor per kind, so that each class knows its kind without a
// lookup.
template <std::size_t kIndex>
PyObject* element_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return construct_element(type, args, kwargs, kIndex); });
}

template <std::size_t... kIndex>
constexpr std::array<newfunc, kKindCount> make_constructors(std::index_sequence<kIndex...>) {
  return {&element_new<kIndex>...};
}

constexpr std::array<newfunc, kKindCount> kConstructors = make_constructors(std::make_index_sequence<kKindCount>{});

void fill_class_data(ElementClassData& data, std::size_t index) {
  const KindInfo& kind = kKinds[index];
  const std::string name = "Element_" + std::string(kind.display_name);
  std::string field_list;
  for (std::size_t i = 0; i < kind.param_count; ++i) {
    data.fields[i] = kind.fields[i];
    data.keywords[i] = data.fields[i].data();
    data.getset[i] = {data.fields[i].c_str(), element_field, nullptr, nullptr, reinterpret_cast<void*>(i)};
    if (i > 0) field_list += ", ";
    field_list += data.fields[i];
  }
  data.qualified_name = std::string(kModuleName) + "." + name;
  data.doc = name + "(" + field_list + ")\n--\n\n";
  data.format = std::string(kind.param_count, 'O') + ":" + name;
  data.slots = {{{Py_tp_new, reinterpret_cast<void*>(kConstructors[index])},
                 {Py_tp_getset, data.getset.data()},
                 {Py_tp_doc, const_cast<char*>(data.doc.c_str())},
                 {0, nullptr}}};
  data.spec = {data.qualified_name.c_str(), sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT, data.slots.data()};
}

const std::array<ElementClassData, kKindCount>& class_data() {
  // Built in place once and never freed: the classes of every interpreter
  // point into it for as long as the process runs.
  static const auto* table = [] {
    auto* built = new std::array<ElementClassData, kKindCount>();
    for (std::size_t i = 0; i < kKindCount; ++i) fill_class_data((*built)[i], i);
    return built;
  }();
  return *table;
}

PyType_Slot element_base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(element_base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_doc, const_cast<char*>(kElementDoc)},
    {0, nullptr},
};

PyType_Spec element_base_spec = {
    "kelvra.Element", sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, element_base_slots,
};

PyTypeObject* new_type(PyObject* module, PyType_Spec& spec, PyTypeObject* base) {
  return reinterpret_cast<PyTypeObject*>(
      Ref::steal(PyType_FromModuleAndSpec(module, &spec, reinterpret_cast<PyObject*>(base))).release());
}

}  // namespace

void create_element_types(PyObject* module, ModuleState& state) {
  state.element_type = new_type(module, element_base_spec, nullptr);
  auto* base = reinterpret_cast<PyObject*>(state.element_type);
  for (std::size_t index = 0; index < kKindCount; ++index) {
    // PyType_Spec is only read during creation; the class keeps pointers into
    // the process-lifetime table.
    PyType_Spec spec = class_data()[index].spec;
    state.element_classes[index] = new_type(module, spec, state.element_type);
    auto* cls = reinterpret_cast<PyObject*>(state.element_classes[index]);

    const KindInfo& kind = kKinds[index];
    Ref match_args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kind.param_count)));
    for (std::size_t i = 0; i < kind.param_count; ++i) {
      Ref field = Ref::steal(PyUnicode_FromStringAndSize(kind.fields[i].data(), static_cast<Py_ssize_t>(kind.fields[i].size())));
      PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), field.release());
    }
    check(PyObject_SetAttrString(cls, "__match_args__", match_args.get()) == 0);
    check(PyObject_SetAttrString(base, std::string(kind.display_name).c_str(), cls) == 0);
  }
}

std::optional<Element> element_of(const ModuleState& state, PyObject* object) {
  if (!PyObject_TypeCheck(object, state.element_type)) return std::nullopt;
  return element_value(object);
}

}  // namespace kelvra::python
