// NumPy's C array interface, located lazily: importing QuorBMF never imports
// NumPy; the first conversion that needs it imports NumPy and reads the
// array-interface capsule, which then stays cached for the process.
#pragma once

#include "binding.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL QUORBMF_ARRAY_API
#ifndef QBMF_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace bmf_py {

// Makes the NumPy C interface usable; raises the internal-error exception
// with a message beginning "Failed to access NumPy array API capsule" when
// NumPy cannot be imported or its interface cannot be found.
void ensure_numpy();

// Returns obj as an array when it is an ndarray (or subclass) with `ndim`
// dimensions and a dtype equivalent to bool; otherwise raises the mismatch
// "'{type}' object cannot be converted to 'PyArray<T, D>'". Calls
// ensure_numpy first.
PyArrayObject* require_bool_array(PyObject* obj, int ndim);

}  // namespace bmf_py
