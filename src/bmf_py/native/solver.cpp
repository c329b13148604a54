// The classes VectorBlock and Solver of quorbmf._native, over the core's
// bmf::VectorBlock and bmf::BoolLs, and Solver.half_step over
// bmf::half_step. A block reads the caller's words in place and keeps a
// reference to their array; a solver owns a copy of its small factor and is
// immutable, so any number of threads may solve against it at once. Block
// preparation, solver construction and every half-step run with the
// interpreter lock released.
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include "bmf_core/boolls.hpp"
#include "bmf_core/half_step.hpp"
#include "bmf_core/method.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;

// ---------------------------------------------------------------------------
// VectorBlock

struct PyVectorBlock {
    PyObject_HEAD
    PyObject* words;       // the array the block reads (owned reference)
    PyObject* transposed;  // the array of its transpose, or null (owned reference)
    bmf::VectorBlock block;
};

PyVectorBlock* as_block(PyObject* obj) { return reinterpret_cast<PyVectorBlock*>(obj); }

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"VectorBlock.__new__()", {"words", "cols", "transposed"}, 2};
        PyObject* argv[3];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const BitView words = packed_arg(argv[0], "words", cols);
        PyObject* transposed_obj = argv[2] == Py_None ? nullptr : argv[2];
        BitView transposed;
        if (transposed_obj != nullptr) {
            transposed = packed_arg(transposed_obj, "transposed", words.rows());
            if (transposed.rows() != cols) {
                pyrt::raise(PyExc_ValueError, cat("transposed must have cols = ", cols, " rows, not ",
                                                  transposed.rows()));
            }
        }
        bmf::VectorBlock block = pyrt::without_gil([&] {
            return transposed_obj != nullptr ? bmf::VectorBlock(words, transposed) : bmf::VectorBlock(words);
        });
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        PyVectorBlock* obj = as_block(self.get());
        Py_INCREF(argv[0]);
        obj->words = argv[0];
        Py_XINCREF(transposed_obj);
        obj->transposed = transposed_obj;
        new (&obj->block) bmf::VectorBlock(std::move(block));
        return self;
    });
}

void block_dealloc(PyObject* self) {
    PyVectorBlock* obj = as_block(self);
    obj->block.~VectorBlock();
    Py_XDECREF(obj->transposed);
    Py_XDECREF(obj->words);
    pyrt::free_instance(self);
}

PyObject* block_repr(PyObject* self) {
    return guard_ref([&] {
        const BitView v = as_block(self)->block.vectors();
        return pyrt::own(PyUnicode_FromString(cat("<VectorBlock rows=", v.rows(), " cols=", v.cols(), ">").c_str()));
    });
}

PyObject* block_get_rows(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(as_block(self)->block.vectors().rows()); });
}

PyObject* block_get_cols(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(as_block(self)->block.vectors().cols()); });
}

PyGetSetDef g_block_getset[] = {
    {"rows", block_get_rows, nullptr, "Number of vectors in the block.", nullptr},
    {"cols", block_get_cols, nullptr, "Bits per vector.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_block_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(block_repr)},
    {Py_tp_getset, g_block_getset},
    {Py_tp_doc, const_cast<char*>(PYRT_SIGNATURE("VectorBlock(words, cols, transposed=None)")
                                  "A block of packed vectors prepared once (its classes of equal rows) and\n"
                                  "solved many times; keeps a reference to words. transposed, when given,\n"
                                  "is the packed transpose of the block and spares \"zeta\" half-steps a\n"
                                  "transposition each. The words must not change while the block is used.")},
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
    PyObject_HEAD
    bmf::BoolLs solver;
};

PySolver* as_solver(PyObject* obj) { return reinterpret_cast<PySolver*>(obj); }

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Solver.__new__()", {"factor", "r"}, 2};
        PyObject* argv[2];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t r = positive_arg(argv[1], "r");
        if (r > bmf::kMaxRank) {
            pyrt::raise(PyExc_ValueError, cat("r must be at most ", bmf::kMaxRank, ", the largest rank whose table of 2^r ",
                                              "counters the solver builds, not ", r));
        }
        const BitView factor = packed_arg(argv[0], "factor", r);
        if (factor.rows() > bmf::kMaxSolverRows) {
            pyrt::raise(PyExc_ValueError, cat("factor must have at most ", bmf::kMaxSolverRows,
                                              " rows (the solver's errors are 32-bit), not ", factor.rows()));
        }
        // The table is indexed by the factor's row patterns, so the solver is
        // built from a private copy whose spare bits are checked once more:
        // no other thread can change those words while the lock is released.
        const BitMatrix copy = owned_copy(factor);
        check_spare_bits(copy, "factor");
        bmf::BoolLs solver = pyrt::without_gil([&] { return bmf::BoolLs(copy); });
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        new (&as_solver(self.get())->solver) bmf::BoolLs(std::move(solver));
        return self;
    });
}

void solver_dealloc(PyObject* self) {
    as_solver(self)->solver.~BoolLs();
    pyrt::free_instance(self);
}

PyObject* solver_repr(PyObject* self) {
    return guard_ref([&] {
        const bmf::BoolLs& s = as_solver(self)->solver;
        return pyrt::own(PyUnicode_FromString(cat("<Solver m=", s.m(), " r=", s.r(), ">").c_str()));
    });
}

PyObject* solver_get_m(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(as_solver(self)->solver.m()); });
}

PyObject* solver_get_r(PyObject* self, void*) {
    return guard_ref([&] { return pyrt::py_u64(as_solver(self)->solver.r()); });
}

bmf::Method method_arg(PyObject* obj) {
    const std::string name = pyrt::convert_arg("method", [&] { return pyrt::to_utf8(obj); });
    auto parsed = bmf::Method::from_str(name);
    if (std::holds_alternative<bmf::InvalidMethod>(parsed)) {
        pyrt::raise(PyExc_ValueError, cat("method must be one of ", bmf::joined_method_names(), ", not '", name, "'"));
    }
    return std::get<bmf::Method>(parsed);
}

// True when the words of the two views (of unrelated arrays, so compared as
// addresses) share memory.
bool overlaps(BitView a, BitViewMut b) {
    const auto span_of = [](const boolmat::Word* p, std::size_t rows, std::size_t stride, std::size_t words) {
        const auto begin = reinterpret_cast<std::uintptr_t>(p);
        return std::pair{begin, begin + ((rows - 1) * stride + words) * sizeof(boolmat::Word)};
    };
    const auto [a_begin, a_end] = span_of(a.data(), a.rows(), a.stride(), a.row_words());
    const auto [b_begin, b_end] = span_of(b.data(), b.rows(), b.stride(), b.row_words());
    return a_begin < b_end && b_begin < a_end;
}

PyObject* solver_half_step(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Solver.half_step()", {"block", "method", "seed", "out"}, 4};
        PyObject* argv[4];
        pyrt::bind_args(sig, args, kwargs, argv);
        if (Py_TYPE(argv[0]) != block_type()) {
            pyrt::raise(PyExc_TypeError,
                        cat("block must be a quorbmf._native.VectorBlock, not ", pyrt::type_qualname(argv[0])));
        }
        const bmf::VectorBlock& block = as_block(argv[0])->block;
        const bmf::Method method = method_arg(argv[1]);
        const std::uint64_t seed = u64_arg(argv[2], "seed");
        const bmf::BoolLs& solver = as_solver(self)->solver;
        const BitView vectors = block.vectors();
        if (vectors.cols() != solver.m()) {
            pyrt::raise(PyExc_ValueError, cat("block has vectors of ", vectors.cols(),
                                              " bits, but the solver's factor has m = ", solver.m(), " rows"));
        }
        const BitViewMut out = packed_out_arg(argv[3], "out", vectors.rows(), solver.r());
        if (overlaps(vectors, out) || (block.transposed().rows() != 0 && overlaps(block.transposed(), out)))
            pyrt::raise(PyExc_ValueError, "out must not share memory with the block's words");
        // The block's words may have changed since it was prepared; the
        // solves read their set bits as row positions, so those must still
        // lie below m.
        check_spare_bits(vectors, "block");
        const std::uint64_t total =
            pyrt::without_gil([&] { return bmf::half_step(solver, block, method, seed, out); });
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
     PYRT_SIGNATURE("half_step($self, block, method, seed, out)")
     "Solves every row of block (m bits each), writes row i's combination into\n"
     "row i of out (block.rows x ceil(r / 64) words) and returns the total error."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_solver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(solver_repr)},
    {Py_tp_getset, g_solver_getset},
    {Py_tp_methods, g_solver_methods},
    {Py_tp_doc, const_cast<char*>(PYRT_SIGNATURE("Solver(factor, r)")
                                  "A Boolean least-squares solver bound to one packed factor (m x r),\n"
                                  "r at most 26; immutable, so several threads may solve against it at once.")},
    {0, nullptr},
};

PyType_Spec g_solver_spec = {
    "quorbmf._native.Solver",
    static_cast<int>(sizeof(PySolver)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_solver_slots,
};

}  // namespace

void add_solver_classes(PyObject* module_object) {
    pyrt::add_to_module(module_object, "VectorBlock", Ref::borrow(reinterpret_cast<PyObject*>(block_type())));
    Ref solver = Ref::steal(reinterpret_cast<PyObject*>(pyrt::create_type(&g_solver_spec)));
    pyrt::add_to_module(module_object, "Solver", std::move(solver));
}

}  // namespace bmf_native
