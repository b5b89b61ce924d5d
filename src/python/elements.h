// The `Element` class and its fourteen element classes, one per kind of the
// catalogue, all generated from the catalogue table.
#pragma once

#include <optional>

#include "elements/element.h"
#include "python/module_state.h"

namespace kelvra::python {

// Creates `Element` and the element classes into `state` and sets each
// element class as the attribute of `Element` named by its display name.
void create_element_types(PyObject* module, ModuleState& state);

// The element an object wraps, or nothing when it is not an Element.
std::optional<Element> element_of(const ModuleState& state, PyObject* object);

}  // namespace kelvra::python
