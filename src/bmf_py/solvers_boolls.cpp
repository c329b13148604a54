// The Python class BoolLs (PyBoolLs): one core bmf::BoolLs per instance, built
// with the interpreter lock held. solve copies its NumPy vector into a BitVec
// and solve_all keeps its BitMatrix in shared use; both run the core with the
// lock released.
#include <new>
#include <utility>

#include "binding.hpp"
#include "matrix.hpp"
#include "registry.hpp"
#include "solvers.hpp"

namespace bmf_py {

namespace {

// x as a BitVec: element i (read through the array's stride, so reversed and
// strided views work) becomes bit i.
boolmat::BitVec bitvec_from_array(PyArrayObject* x) {
    const npy_intp n = PyArray_DIM(x, 0);
    const npy_intp step = PyArray_STRIDE(x, 0);
    const char* data = static_cast<const char*>(PyArray_DATA(x));
    if (step == 1) {
        // Adjacent elements: packed many at a time, a non-zero byte being true.
        return boolmat::BitVec::from_bytes(
            {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(n)});
    }
    boolmat::BitVec v = boolmat::BitVec::zeros(static_cast<std::size_t>(n));
    const auto words = v.words_mut();
    for (npy_intp i = 0; i < n; ++i) {
        if (data[i * step] != 0) {
            const auto k = static_cast<boolmat::BitIndex>(i);
            words[boolmat::word_of(k)] |= boolmat::Word{1} << boolmat::bit_of(k);
        }
    }
    return v;
}

Ref solution_tuple(std::uint64_t h, std::uint64_t error) {
    Ref first = py_u64(h);
    Ref second = py_u64(error);
    return own(PyTuple_Pack(2, first.get(), second.get()));
}

PyBoolLs* as_boolls(PyObject* self) { return reinterpret_cast<PyBoolLs*>(self); }

PyObject* boolls_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BoolLs.__new__()", {"w"}, 1};
        PyObject* argv[1];
        bind_args(sig, args, kwargs, argv);
        PyBitMatrix* w = convert_arg("w", [&] { return require_bitmatrix(argv[0]); });
        SharedUse w_use = SharedUse::acquire(w->flag);
        check_factor(w->value);

        // The table is allocated here, lock held; the instance is allocated
        // afterwards so that a failed construction leaves no half-built object.
        bmf::BoolLs solver(w->value);
        Ref self = Ref::steal(alloc_instance(type));
        auto* obj = as_boolls(self.get());
        new (&obj->flag) UseFlag();
        new (&obj->solver) bmf::BoolLs(std::move(solver));
        return self;
    });
}

void boolls_dealloc(PyObject* self) {
    auto* obj = as_boolls(self);
    obj->solver.~BoolLs();
    obj->flag.~UseFlag();
    free_instance(self);
}

PyObject* boolls_repr(PyObject* self) {
    return guard_ref([&] {
        const bmf::BoolLs& solver = as_boolls(self)->solver;
        return own(
            PyUnicode_FromString(cat("<BoolLs m=", solver.m(), " r=", solver.r(), ">").c_str()));
    });
}

PyObject* boolls_get_m(PyObject* self, void*) {
    return guard_ref([&] { return py_u64(as_boolls(self)->solver.m()); });
}

PyObject* boolls_get_r(PyObject* self, void*) {
    return guard_ref([&] { return py_u64(as_boolls(self)->solver.r()); });
}

PyObject* boolls_solve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BoolLs.solve()", {"x", "method", "seed"}, 1};
        PyObject* argv[3];
        bind_args(sig, args, kwargs, argv);
        PyArrayObject* x = convert_arg("x", [&] { return require_bool_array(argv[0], 1); });
        const std::string method =
            argv[1] ? convert_arg("method", [&] { return to_utf8(argv[1]); }) : "zeta";
        const std::uint64_t seed =
            argv[2] ? convert_arg("seed", [&] { return to_u64(argv[2]); }) : 0;
        SharedUse self_use = SharedUse::acquire(as_boolls(self)->flag);
        return solve_array(as_boolls(self)->solver, x, method, seed);
    });
}

PyObject* boolls_solve_all(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BoolLs.solve_all()", {"x", "method", "seed"}, 1};
        PyObject* argv[3];
        bind_args(sig, args, kwargs, argv);
        PyBitMatrix* x = convert_arg("x", [&] { return require_bitmatrix(argv[0]); });
        SharedUse x_use = SharedUse::acquire(x->flag);
        const std::string method_name =
            argv[1] ? convert_arg("method", [&] { return to_utf8(argv[1]); }) : "zeta";
        const std::uint64_t seed =
            argv[2] ? convert_arg("seed", [&] { return to_u64(argv[2]); }) : 0;
        const bmf::Method method = parse_method(method_name);

        SharedUse self_use = SharedUse::acquire(as_boolls(self)->flag);
        const bmf::BoolLs& solver = as_boolls(self)->solver;
        if (x->value.rows() != solver.m()) {
            raise(PyExc_ValueError, cat("X a ", x->value.rows(), " lignes, W en a ", solver.m()));
        }
        // x stays in shared use until the call returns, so nothing can
        // modify it while the core reads it without the lock.
        auto [h, total] = without_gil([&] { return solver.solve_all(x->value, method, seed); });
        Ref matrix = wrap_matrix(std::move(h));
        Ref error = py_u64(total);
        return own(PyTuple_Pack(2, matrix.get(), error.get()));
    });
}

PyGetSetDef g_boolls_getset[] = {
    {"m", boolls_get_m, nullptr, nullptr, nullptr},
    {"r", boolls_get_r, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_boolls_methods[] = {
    {"solve", QBMF_FUNCTION(boolls_solve), METH_VARARGS | METH_KEYWORDS,
     QBMF_SIGNATURE("solve($self, x, method=\"zeta\", seed=0)")},
    {"solve_all", QBMF_FUNCTION(boolls_solve_all), METH_VARARGS | METH_KEYWORDS,
     QBMF_SIGNATURE("solve_all($self, x, method=\"zeta\", seed=0)")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_boolls_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(boolls_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boolls_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(boolls_repr)},
    {Py_tp_getset, g_boolls_getset},
    {Py_tp_methods, g_boolls_methods},
    {Py_tp_doc, const_cast<char*>(QBMF_SIGNATURE("BoolLs(w)"))},
    {0, nullptr},
};

PyType_Spec g_boolls_spec = {
    "QuorBMF.BoolLs", sizeof(PyBoolLs), 0, Py_TPFLAGS_DEFAULT, g_boolls_slots,
};

}  // namespace

void check_rank_limit(std::uint64_t r) {
    if (r > bmf::kMaxRank) {
        raise(PyExc_ValueError,
              cat("rang ", r, " trop grand : le tableau interne ferait 2^", r, " entrees"));
    }
}

void check_factor(const boolmat::BitMatrix& w) {
    check_rank_limit(w.cols());
    if (w.rows() > bmf::kMaxSolverRows) {
        raise(PyExc_ValueError,
              cat("W a ", w.rows(), " lignes : au plus ", bmf::kMaxSolverRows, " sont admises"));
    }
}

Ref solve_array(const bmf::BoolLs& solver, PyArrayObject* x, const std::string& method_name,
                std::uint64_t seed) {
    const bmf::Method method = parse_method(method_name);
    const npy_intp n = PyArray_DIM(x, 0);
    if (static_cast<std::uint64_t>(n) != solver.m()) {
        raise(PyExc_ValueError, cat("x a ", n, " elements, W a ", solver.m(), " lignes"));
    }
    const boolmat::BitVec v = bitvec_from_array(x);
    const bmf::Solution s = without_gil([&] { return solver.solve_seeded(v, method, seed); });
    return solution_tuple(s.h, s.error);
}

PyTypeObject* boolls_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(&g_boolls_spec);
    return type;
}

Ref boolls_class() { return Ref::borrow(reinterpret_cast<PyObject*>(boolls_type())); }

}  // namespace bmf_py
