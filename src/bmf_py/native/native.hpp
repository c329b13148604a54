// The quorbmf._native extension: thin bindings over the core for the quorbmf
// package, on packed matrices held in NumPy arrays. A packed matrix is a
// C-contiguous two-dimensional uint64 array of shape (rows, ceil(cols / 64))
// with at least one row, the spare bits beyond cols zero; its column count
// travels beside it. This header holds what the entry files share: the
// module's identity for the runtime, and the checks that turn arguments
// into core views and core results into arrays.
#pragma once

#include <cstdint>
#include <span>

#include "bmf_py/runtime/numpy.hpp"
#include "bmf_py/runtime/pyrt.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

#include "bmf_core/cancel.hpp"
#include "bmf_core/costs.hpp"

namespace bmf {
struct MethodChoice;
}  // namespace bmf

namespace bmf_native {

using boolmat::cat;
using pyrt::Ref;

// quorbmf._native as the runtime knows it: core failures map by their kind
// (module.cpp).
extern pyrt::Module g_module;

// pyrt::guard_ref under this module's identity.
template <class F>
PyObject* guard_ref(F&& body) noexcept {
    return pyrt::guard_ref(g_module, std::forward<F>(body));
}

// Makes NumPy's C interface usable (the internal-error exception when it is not).
void ensure_numpy();

// ---------------------------------------------------------------------------
// Arguments

// An unsigned 64-bit argument (a seed) through __index__: TypeError for a
// non-integer, OverflowError for a negative or too large one, both with the
// prefix "argument '{name}': ".
std::uint64_t u64_arg(PyObject* obj, const char* name);

// A count argument (rows, cols, a rank): u64_arg, and at least 1
// (ValueError "{name} must be at least 1, got 0").
std::uint64_t positive_arg(PyObject* obj, const char* name);

// The argument `method` as a method name of the engine: TypeError for a
// non-str, ValueError "method must be one of naive, zeta, greedy, greedy-ls,
// exact, not '{name}'" for any other name.
bmf::MethodChoice method_arg(PyObject* obj);

// The core's Costs for the optional argument `costs`: 1 and 1 for None or
// an omitted argument, else a tuple (false_one, false_zero) of integers from
// 0 to 2^24 or None for an infinite cost (TypeError for anything else,
// ValueError "costs: {why}" for a pair the core refuses; arrays.cpp).
bmf::Costs costs_arg(PyObject* obj);

// The core's Cancel for the optional argument `stop`: never for None or an
// omitted argument, else the flag of a StopFlag (TypeError "stop must be a
// StopFlag or None, not {type}" for anything else; covers.cpp).
bmf::Cancel stop_arg(PyObject* obj);

// Runs work() with the interpreter lock released; KeyboardInterrupt
// "stopped by the caller" when it stopped on its Cancel.
template <class F>
auto run_stoppable(F&& work) -> decltype(work()) {
    try {
        return pyrt::without_gil(std::forward<F>(work));
    } catch (const bmf::Cancelled&) {
        pyrt::raise(PyExc_KeyboardInterrupt, "stopped by the caller");
    }
}

// Raises ValueError when `choice` has no route at rank r (on masked vectors
// when `masked`), saying which methods do (solver.cpp).
void check_method_at_rank(const bmf::MethodChoice& choice, std::uint64_t r, bool masked);

// obj as a NumPy array, or TypeError "{name} must be a numpy.ndarray, not {type}".
PyArrayObject* array_arg(PyObject* obj, const char* name);

// The C-contiguous two-dimensional uint64 array `name`, with at least one
// row and one column, as its words. TypeError for a non-array or another
// dtype; ValueError for the dimensions, emptiness or layout.
PyArrayObject* words_arg(PyObject* obj, const char* name);

// The argument `name` as a packed matrix of `cols` columns: words_arg, then
// exactly ceil(cols / 64) words per row and no bit set beyond cols
// (ValueError naming the first offending row).
boolmat::BitView packed_arg(PyObject* obj, const char* name, std::uint64_t cols);

// The argument `name` as a writable packed matrix of exactly `rows` rows
// and `cols` columns, to be overwritten (ValueError when it is read-only).
boolmat::BitViewMut packed_out_arg(PyObject* obj, const char* name, std::uint64_t rows,
                                   std::uint64_t cols);

// Raises ValueError "{name}: row {i} has bits set beyond column {cols - 1}
// (the spare bits must be zero)" for the first row of `view` whose last
// word has bits beyond its columns.
void check_spare_bits(boolmat::BitView view, const char* name);

// ---------------------------------------------------------------------------
// Results

// A new (rows, stride) uint64 array that takes over the words of `m`
// without copying them: the array's base object owns the matrix.
Ref words_array(boolmat::BitMatrix m);

// A BitMatrix holding the cells of `view`, for core entries that take owned
// matrices.
boolmat::BitMatrix owned_copy(boolmat::BitView view);

// ---------------------------------------------------------------------------
// Registration (one factory per entry file)

// The module functions transpose, product, count_ones, initial_factor and
// rank_limit (functions.cpp) and pack_csr (pack_csr.cpp), added to
// `module_object`.
void add_matrix_functions(PyObject* module_object);
void add_pack_csr(PyObject* module_object);
// The classes VectorBlock and Solver (solver.cpp), added to `module_object`.
void add_solver_classes(PyObject* module_object);
// The functions grecond and asso (covers.cpp), added to `module_object`.
void add_cover_functions(PyObject* module_object);
// The function bitmatrix_words (bitmatrix_words.cpp), added to `module_object`.
void add_bitmatrix_words(PyObject* module_object);
// The class Search (search.cpp), added to `module_object`.
void add_search_class(PyObject* module_object);

}  // namespace bmf_native
