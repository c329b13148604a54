// The classes VectorBlock and Solver of quorbmf._native. A block is the
// core's bmf::VectorBlock over the caller's words, or with a mask its
// bmf::MaskedVectorBlock; it keeps references to the arrays it was given.
// A solver owns the core's bmf::SolverEngine over a private copy of its
// factor and is immutable, so any number of threads may solve against it at
// once. These entries check every argument, and whether the method works
// at the solver's rank (bmf::rank_limit), before the engine runs with the
// interpreter lock released: block preparation, half-steps and refits do,
// and the engine builds the solvers a method needs within the first call
// that needs them.
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

using bmf::MethodChoice;
using bmf::SolverEngine;
using bmf::StepResult;
using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;

// ---------------------------------------------------------------------------
// VectorBlock

using AnyBlock = std::variant<bmf::VectorBlock, bmf::MaskedVectorBlock>;

struct PyVectorBlock {
    PyObject_HEAD PyObject* words;  // the array the block reads (owned reference)
    PyObject* transposed;           // the array of its transpose, or null (owned reference)
    PyObject* mask;                 // the array of its mask, or null (owned reference)
    AnyBlock block;
};

PyVectorBlock* as_block(PyObject* obj) { return reinterpret_cast<PyVectorBlock*>(obj); }

// The unmasked core block of `obj`, or null for a masked one.
const bmf::VectorBlock* plain_block(PyObject* obj) {
    return std::get_if<bmf::VectorBlock>(&as_block(obj)->block);
}

std::size_t block_rows(const AnyBlock& b) {
    return std::visit(
        [](const auto& v) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bmf::VectorBlock>)
                return v.vectors().rows();
            else
                return v.rows();
        },
        b);
}

std::size_t block_cols(const AnyBlock& b) {
    return std::visit(
        [](const auto& v) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bmf::VectorBlock>)
                return v.vectors().cols();
            else
                return v.cols();
        },
        b);
}

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{
            "VectorBlock.__new__()", {"words", "cols", "transposed", "mask"}, 2};
        PyObject* argv[4] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const BitView words = packed_arg(argv[0], "words", cols);
        PyObject* transposed_obj = argv[2] == nullptr || argv[2] == Py_None ? nullptr : argv[2];
        PyObject* mask_obj = argv[3] == nullptr || argv[3] == Py_None ? nullptr : argv[3];
        BitView transposed;
        if (transposed_obj != nullptr) {
            transposed = packed_arg(transposed_obj, "transposed", words.rows());
            if (transposed.rows() != cols) {
                pyrt::raise(PyExc_ValueError, cat("transposed must have cols = ", cols,
                                                  " rows, not ", transposed.rows()));
            }
        }
        BitView mask;
        if (mask_obj != nullptr) {
            mask = packed_arg(mask_obj, "mask", cols);
            if (mask.rows() != words.rows()) {
                pyrt::raise(PyExc_ValueError, cat("mask must have the ", words.rows(),
                                                  " rows of words, not ", mask.rows()));
            }
        }
        // A masked block copies what it needs and lays out its own
        // transpose, so `transposed` is only checked for it.
        AnyBlock block = pyrt::without_gil([&]() -> AnyBlock {
            if (mask_obj != nullptr) return bmf::MaskedVectorBlock(words, mask);
            if (transposed_obj != nullptr) return bmf::VectorBlock(words, transposed);
            return bmf::VectorBlock(words);
        });
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        PyVectorBlock* obj = as_block(self.get());
        Py_INCREF(argv[0]);
        obj->words = argv[0];
        Py_XINCREF(transposed_obj);
        obj->transposed = transposed_obj;
        Py_XINCREF(mask_obj);
        obj->mask = mask_obj;
        new (&obj->block) AnyBlock(std::move(block));
        return self;
    });
}

void block_dealloc(PyObject* self) {
    PyVectorBlock* obj = as_block(self);
    obj->block.~AnyBlock();
    Py_XDECREF(obj->mask);
    Py_XDECREF(obj->transposed);
    Py_XDECREF(obj->words);
    pyrt::free_instance(self);
}

PyObject* block_repr(PyObject* self) {
    return guard_ref([&] {
        const AnyBlock& b = as_block(self)->block;
        const char* masked = plain_block(self) == nullptr ? " masked" : "";
        return pyrt::own(PyUnicode_FromString(
            cat("<VectorBlock rows=", block_rows(b), " cols=", block_cols(b), masked, ">")
                .c_str()));
    });
}

PyObject* block_get_rows(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(block_rows(as_block(self)->block)); });
}

PyObject* block_get_cols(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(block_cols(as_block(self)->block)); });
}

PyObject* block_get_masked(PyObject* self, void*) {
    return guard_ref(
        [&] { return Ref::borrow(plain_block(self) == nullptr ? Py_True : Py_False); });
}

PyGetSetDef g_block_getset[] = {
    {"rows", block_get_rows, nullptr, "Number of vectors in the block.", nullptr},
    {"cols", block_get_cols, nullptr, "Bits per vector.", nullptr},
    {"masked", block_get_masked, nullptr, "True when the block was given a mask of observed cells.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_block_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(block_repr)},
    {Py_tp_getset, g_block_getset},
    {Py_tp_doc,
     const_cast<char*>(PYRT_SIGNATURE("VectorBlock(words, cols, transposed=None, "
                                      "mask=None)") "A block of packed vectors prepared "
                                                    "once (its classes of equal rows) and\n"
                                                    "solved many times; keeps references "
                                                    "to the arrays it is given.\n"
                                                    "transposed, when given, is the packed "
                                                    "transpose of the block and spares\n"
                                                    "\"zeta\" half-steps a transposition "
                                                    "each. mask, when given, has the "
                                                    "shape\n"
                                                    "of words with 1 for every observed "
                                                    "cell: half-steps then count errors "
                                                    "on\n"
                                                    "observed cells only, and a vector "
                                                    "with none observed gets h = 0 (a\n"
                                                    "masked block lays out its own "
                                                    "transpose and only checks "
                                                    "transposed's\n"
                                                    "shape). The words must not change "
                                                    "while an unmasked block is used.")},
    {0, nullptr},
};

PyType_Spec g_block_spec = {
    "quorbmf._native.VectorBlock",
    static_cast<int>(sizeof(PyVectorBlock)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_block_slots,
};

PyTypeObject* g_block_type = nullptr;

PyTypeObject* block_type() {
    if (g_block_type == nullptr) g_block_type = pyrt::create_type(&g_block_spec);
    return g_block_type;
}

// ---------------------------------------------------------------------------
// Solver

struct PySolver {
    PyObject_HEAD SolverEngine* engine;  // owned
};

const SolverEngine& engine_of(PyObject* obj) { return *reinterpret_cast<PySolver*>(obj)->engine; }

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Solver.__new__()", {"factor", "r"}, 2};
        PyObject* argv[2];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t r = positive_arg(argv[1], "r");
        const BitView factor = packed_arg(argv[0], "factor", r);
        if (factor.rows() > bmf::kMaxSolverRows) {
            pyrt::raise(PyExc_ValueError,
                        cat("factor must have at most ", bmf::kMaxSolverRows,
                            " rows (the solver's errors are 32-bit), not ", factor.rows()));
        }
        // The solvers index tables and columns by the factor's bits, so they
        // are built from a private copy whose spare bits are checked once
        // more: no other thread can change those words while the lock is released.
        BitMatrix copy = owned_copy(factor);
        check_spare_bits(copy, "factor");
        auto engine = std::make_unique<SolverEngine>(std::move(copy));
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        reinterpret_cast<PySolver*>(self.get())->engine = engine.release();
        return self;
    });
}

void solver_dealloc(PyObject* self) {
    delete reinterpret_cast<PySolver*>(self)->engine;
    pyrt::free_instance(self);
}

PyObject* solver_repr(PyObject* self) {
    return guard_ref([&] {
        const SolverEngine& s = engine_of(self);
        return pyrt::own(PyUnicode_FromString(cat("<Solver m=", s.m(), " r=", s.r(), ">").c_str()));
    });
}

PyObject* solver_get_m(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(engine_of(self).m()); });
}

PyObject* solver_get_r(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(engine_of(self).r()); });
}

// The block argument: TypeError unless it is a VectorBlock.
PyObject* block_arg(PyObject* obj) {
    if (Py_TYPE(obj) != block_type()) {
        pyrt::raise(PyExc_TypeError, cat("block must be a quorbmf._native.VectorBlock, not ",
                                         pyrt::type_qualname(obj)));
    }
    return obj;
}

void check_block_length(std::size_t cols, const SolverEngine& engine) {
    if (cols != engine.m()) {
        pyrt::raise(PyExc_ValueError,
                    cat("block has vectors of ", cols,
                        " bits, but the solver's factor has m = ", engine.m(), " rows"));
    }
}

// True when the words of the two views share memory.
bool overlaps(BitView a, BitViewMut b) {
    const auto* a_end = a.data() + (a.rows() - 1) * a.stride() + a.row_words();
    const auto* b_end = b.data() + (b.rows() - 1) * b.stride() + b.row_words();
    return a.data() < b_end && b.data() < a_end;
}

// Refuses an `out` that shares memory with the words an unmasked block
// reads, and rechecks those words: the solves read their set bits as row
// positions, so after any change since the block was prepared they must
// still lie below m.
void check_block_words(const bmf::VectorBlock& block, BitViewMut out) {
    if (overlaps(block.vectors(), out) ||
        (block.transposed().rows() != 0 && overlaps(block.transposed(), out)))
        pyrt::raise(PyExc_ValueError, "out must not share memory with the block's words");
    check_spare_bits(block.vectors(), "block");
}

const pyrt::Signature g_half_step_sig{
    "Solver.half_step()", {"block", "method", "seed", "out", "costs"}, 4};
const pyrt::Signature g_half_step_counted_sig{
    "Solver.half_step_counted()", {"block", "method", "seed", "out", "costs"}, 4};

StepResult run_half_step(PyObject* self, PyObject* args, PyObject* kwargs,
                         const pyrt::Signature& sig) {
    PyObject* argv[5] = {};
    pyrt::bind_args(sig, args, kwargs, argv);
    const AnyBlock& any = as_block(block_arg(argv[0]))->block;
    const MethodChoice choice = method_arg(argv[1]);
    const std::uint64_t seed = u64_arg(argv[2], "seed");
    const bmf::Costs costs = costs_arg(argv[4]);
    const SolverEngine& engine = engine_of(self);
    const auto* plain = std::get_if<bmf::VectorBlock>(&any);
    check_method_at_rank(choice, engine.r(), plain == nullptr);
    check_block_length(block_cols(any), engine);
    const BitViewMut out = packed_out_arg(argv[3], "out", block_rows(any), engine.r());
    if (plain == nullptr) {
        const auto& masked = std::get<bmf::MaskedVectorBlock>(any);
        return pyrt::without_gil(
            [&] { return engine.half_step(masked, choice, seed, out, costs); });
    }
    check_block_words(*plain, out);
    return pyrt::without_gil([&] { return engine.half_step(*plain, choice, seed, out, costs); });
}

PyObject* solver_half_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref(
        [&] { return pyrt::py_u64(run_half_step(self, args, kwargs, g_half_step_sig).error); });
}

PyObject* solver_half_step_counted(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        const StepResult step = run_half_step(self, args, kwargs, g_half_step_counted_sig);
        const Ref error = pyrt::py_u64(step.error);
        const Ref fallbacks = pyrt::py_u64(step.fallbacks);
        return pyrt::own(PyTuple_Pack(2, error.get(), fallbacks.get()));
    });
}

PyObject* solver_refit_blocks(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{
            "Solver.refit_blocks()", {"block", "width", "out", "costs"}, 3};
        PyObject* argv[4] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        PyVectorBlock* obj = as_block(block_arg(argv[0]));
        const std::uint64_t width = positive_arg(argv[1], "width");
        if (width > bmf::kMaxRefitBlock) {
            pyrt::raise(PyExc_ValueError,
                        cat("width must be at most ", bmf::kMaxRefitBlock,
                            " (a refit builds a table of 2^width counters), not ", width));
        }
        const bmf::Costs costs = costs_arg(argv[3]);
        const SolverEngine& engine = engine_of(self);
        const std::size_t rows = block_rows(obj->block);
        check_block_length(block_cols(obj->block), engine);
        // The combinations are read as well as written: their columns index W.
        const BitViewMut out = packed_out_arg(argv[2], "out", rows, engine.r());
        check_spare_bits(out, "out");
        const bmf::VectorBlock* block = plain_block(argv[0]);
        std::uint64_t total = 0;
        if (block != nullptr) {
            check_block_words(*block, out);
            total = pyrt::without_gil(
                [&] { return engine.refit_blocks(block->vectors(), width, out, costs); });
        } else {
            // A masked block keeps no view of its vectors: the refit reads the
            // arrays it was made from, checked again as at its making.
            const std::uint64_t cols = block_cols(obj->block);
            const BitView words = packed_arg(obj->words, "words", cols);
            const BitView mask = packed_arg(obj->mask, "mask", cols);
            if (rows != 0 && (overlaps(words, out) || overlaps(mask, out)))
                pyrt::raise(PyExc_ValueError, "out must not share memory with the block's words");
            total = pyrt::without_gil(
                [&] { return engine.refit_blocks(words, mask, width, out, costs); });
        }
        return pyrt::py_u64(total);
    });
}

PyGetSetDef g_solver_getset[] = {
    {"m", solver_get_m, nullptr, "Rows of the factor: the bits of every vector solved.", nullptr},
    {"r", solver_get_r, nullptr, "Columns of the factor: the bits of every combination.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_solver_methods[] = {
    {"half_step", PYRT_FUNCTION(solver_half_step), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE(
         "half_step($self, block, method, seed, out, costs=None)") "Solves every row of block (m "
                                                                   "bits each) "
                                                                   "with method and seed, writes "
                                                                   "row\n"
                                                                   "i's combination into row i of "
                                                                   "out "
                                                                   "(block.rows x ceil(r / 64) "
                                                                   "words) and\n"
                                                                   "returns the total error (over "
                                                                   "observed "
                                                                   "cells for a masked block).\n"
                                                                   "Methods: naive, zeta, greedy, "
                                                                   "greedy-ls "
                                                                   "and exact up to rank 26 "
                                                                   "(exact\n"
                                                                   "gives zeta's answers); greedy, "
                                                                   "greedy-ls "
                                                                   "and exact up to rank 64, "
                                                                   "where\n"
                                                                   "exact searches each vector "
                                                                   "within a node "
                                                                   "budget and falls back to\n"
                                                                   "greedy-ls where the budget "
                                                                   "runs out; "
                                                                   "greedy and greedy-ls beyond.\n"
                                                                   "Masked blocks: naive and zeta "
                                                                   "up to "
                                                                   "rank 26, exact up to 64, "
                                                                   "greedy and\n"
                                                                   "greedy-ls at any rank.\n"
                                                                   "costs=(false_one, false_zero), "
                                                                   "integers "
                                                                   "0..2^24 or None for infinite:\n"
                                                                   "every method minimises the "
                                                                   "weighted "
                                                                   "error and returns its total, "
                                                                   "each\n"
                                                                   "row with a false 1 costing "
                                                                   "false_one "
                                                                   "and a false 0 false_zero (an "
                                                                   "infinite\n"
                                                                   "cost is m + 1 times the "
                                                                   "other)."},
    {"half_step_counted", PYRT_FUNCTION(solver_half_step_counted), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE(
         "half_step_counted($self, block, method, seed, out, costs=None)") "half_step, returning "
                                                                           "(error, "
                                                                           "fallbacks): fallbacks "
                                                                           "is the "
                                                                           "number of rows\n"
                                                                           "of block whose exact "
                                                                           "search ran "
                                                                           "out of its budget "
                                                                           "(exact above "
                                                                           "rank 26\n"
                                                                           "only, else 0); each "
                                                                           "such row holds "
                                                                           "the better of the "
                                                                           "search's best\n"
                                                                           "combination and "
                                                                           "greedy-ls's, the "
                                                                           "search's on ties."},
    {"refit_blocks", PYRT_FUNCTION(solver_refit_blocks), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE(
         "refit_blocks($self, block, width, out, costs=None)") "Starting from the combinations in "
                                                               "out "
                                                               "(block.rows x ceil(r / 64) "
                                                               "words),\n"
                                                               "refits exactly each consecutive "
                                                               "group of at "
                                                               "most width (1..24) columns\n"
                                                               "with the others held fixed, one "
                                                               "group after "
                                                               "the other over all r\n"
                                                               "columns, updating out in place, "
                                                               "and returns "
                                                               "the total error. No row's\n"
                                                               "error grows (ties keep the lowest "
                                                               "block "
                                                               "combination). For a masked block "
                                                               "the\n"
                                                               "error counts observed cells only. "
                                                               "costs "
                                                               "as for half_step."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_solver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(solver_repr)},
    {Py_tp_getset, g_solver_getset},
    {Py_tp_methods, g_solver_methods},
    {Py_tp_doc,
     const_cast<char*>(PYRT_SIGNATURE(
         "Solver(factor, r)") "A Boolean least-squares solver bound to one packed factor (m x r,\n"
                              "ceil(r / 64) words per row), any r >= 1. greedy and greedy-ls need "
                              "no\n"
                              "table at any rank; naive, zeta, exact and masked blocks up to rank "
                              "26\n"
                              "use a table of 2^r counters, built by the first call that needs "
                              "it.\n"
                              "Immutable, so several threads may solve against it at once.")},
    {0, nullptr},
};

PyType_Spec g_solver_spec = {
    "quorbmf._native.Solver", static_cast<int>(sizeof(PySolver)), 0, Py_TPFLAGS_DEFAULT,
    g_solver_slots,
};

}  // namespace

void check_method_at_rank(const MethodChoice& choice, std::uint64_t r, bool masked) {
    const auto limit = bmf::rank_limit(choice, r, masked);
    if (!limit) return;
    if (limit->alternatives.empty())
        pyrt::raise(PyExc_ValueError, cat(limit->reason, ", not r = ", r));
    pyrt::raise(PyExc_ValueError, cat(limit->reason, "; at r = ", r, " use ", limit->alternatives));
}

void add_solver_classes(PyObject* module_object) {
    pyrt::add_to_module(module_object, "VectorBlock",
                        Ref::borrow(reinterpret_cast<PyObject*>(block_type())));
    Ref solver = Ref::steal(reinterpret_cast<PyObject*>(pyrt::create_type(&g_solver_spec)));
    pyrt::add_to_module(module_object, "Solver", std::move(solver));
}

}  // namespace bmf_native
