// The Python class BitMatrix (PyBitMatrix): one core BitMatrix per instance,
// guarded by the instance's use flag. Other entry points use these helpers to
// accept matrices as arguments and to hand new matrices back to Python.
#pragma once

#include <cstdint>

#include "binding.hpp"
#include "boolmat/bitmatrix.hpp"

namespace bmf_py {

struct PyBitMatrix {
    PyObject_HEAD UseFlag flag;
    boolmat::BitMatrix value;
};

// The BitMatrix type object, created on first use (borrowed; lives for the
// process). Throws PythonError when creation fails.
PyTypeObject* bitmatrix_type();

// True when obj is a BitMatrix instance.
bool is_bitmatrix(PyObject* obj);

// obj as a BitMatrix, or the mismatch "'{type}' object cannot be converted to
// 'BitMatrix'" (wrap in convert_arg to prefix the argument name).
PyBitMatrix* require_bitmatrix(PyObject* obj);

// A new Python BitMatrix owning `value`.
Ref wrap_matrix(boolmat::BitMatrix value);

// Raises ValueError "dimensions invalides {rows}x{cols} : ..." unless both
// dimensions are at least 1.
void require_matrix_dimensions(std::uint64_t rows, std::uint64_t cols);

// The conversion methods of the class (matrix_convert.cpp), entries of its
// method table: static from_list(data) and from_numpy(a), and the instance
// methods to_list() and to_numpy().
PyObject* bitmatrix_from_list(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* bitmatrix_to_list(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* bitmatrix_from_numpy(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* bitmatrix_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace bmf_py
