#define KELVRA_DEFINES_NUMPY_API
#include "python/numpy_api.h"

namespace kelvra::python {

void ensure_numpy() {
  // The interpreter lock serialises callers, so the table is filled once.
  if (PY_ARRAY_UNIQUE_SYMBOL == nullptr) check(_import_array() == 0);
}

}  // namespace kelvra::python
