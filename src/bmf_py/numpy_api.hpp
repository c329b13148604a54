// QuorBMF's access to NumPy: the runtime's lazily located array interface
// under this module's identity, and the one array check its conversions share.
#pragma once

#include "binding.hpp"
#include "bmf_py/runtime/numpy.hpp"

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
