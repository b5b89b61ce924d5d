// The private functions behind kelvra.drt: one spectrum's DRT, and a chunk
// of spectra for a batch thread, both computed without the interpreter lock.
#pragma once

#include "python/py_ref.h"

namespace kelvra::python {

PyObject* drt_one(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* drt_chunk(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* drt_peaks(PyObject* module, PyObject* args);
extern const char kDrtPeaksDoc[];
extern const char kDrtDoc[];
extern const char kDrtChunkDoc[];

}  // namespace kelvra::python
