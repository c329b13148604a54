// The solver side of the module: the classes BoolLs (PyBoolLs) and BmfResult
// (PyBmfResult) and the checks and conversions that the methods of BoolLs and
// the module functions boolls and ao_bmf share.
#pragma once

#include <cstdint>
#include <string>

#include "binding.hpp"
#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/bitmatrix.hpp"
#include "numpy_api.hpp"

namespace bmf_py {

// Parses a method name; an unknown name raises ValueError with the message
// "methode inconnue : '{}'. Valeurs acceptees : naive, zeta, greedy, greedy-ls".
bmf::Method parse_method(const std::string& name);

// Raises ValueError "rang {r} trop grand : le tableau interne ferait 2^{r} entrees"
// when r exceeds the rank the solver table allows.
void check_rank_limit(std::uint64_t r);

// The checks a factor must pass before a solver is built on it, in order: its
// column count against the rank limit, then its row count against the
// largest row count the solver's 32-bit counters allow (ValueError).
void check_factor(const boolmat::BitMatrix& w);

// Solves the one-dimensional Boolean array x against `solver` and returns the
// tuple (h, error). Parses `method` first, then checks the length of x
// ("x a {} elements, W a {} lignes"), copies x with the lock held and runs
// the core with the lock released.
Ref solve_array(const bmf::BoolLs& solver, PyArrayObject* x, const std::string& method,
                std::uint64_t seed);

// A BoolLs instance: one core solver, never modified after construction.
struct PyBoolLs {
    PyObject_HEAD UseFlag flag;
    bmf::BoolLs solver;
};

// A BmfResult instance: the record ao_bmf returned, stored as it came.
struct PyBmfResult {
    PyObject_HEAD UseFlag flag;
    bmf::BmfResult value;
};

// The type objects, created on first use (borrowed; they live for the
// process). Throw PythonError when creation fails.
PyTypeObject* boolls_type();
PyTypeObject* bmfresult_type();

// A new Python BmfResult owning `value`.
Ref wrap_result(bmf::BmfResult value);

}  // namespace bmf_py
