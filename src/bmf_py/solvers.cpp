// The module functions of the solver side: methods(), boolls() and ao_bmf(),
// and the method-name parsing every solver entry shares. The classes they
// return live in solvers_boolls.cpp (BoolLs) and solvers_result.cpp
// (BmfResult).
#include "solvers.hpp"
#include "binding.hpp"
#include "bmf_core/method.hpp"
#include "matrix.hpp"
#include "registry.hpp"

namespace bmf_py {

bmf::Method parse_method(const std::string& name) {
    auto parsed = bmf::Method::from_str(name);
    if (auto* invalid = std::get_if<bmf::InvalidMethod>(&parsed))
        raise(PyExc_ValueError, invalid->message());
    return std::get<bmf::Method>(parsed);
}

namespace {

PyObject* methods_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"methods()", {}, 0};
        bind_args(sig, args, kwargs, nullptr);
        Ref list = own(PyList_New(0));
        for (std::string_view name : bmf::kMethodNames) {
            Ref item =
                own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            check_status(PyList_Append(list.get(), item.get()));
        }
        return list;
    });
}

PyObject* boolls_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"boolls()", {"w", "x", "method", "seed"}, 2};
        PyObject* argv[4];
        bind_args(sig, args, kwargs, argv);
        PyBitMatrix* w = convert_arg("w", [&] { return require_bitmatrix(argv[0]); });
        SharedUse w_use = SharedUse::acquire(w->flag);
        PyArrayObject* x = convert_arg("x", [&] { return require_bool_array(argv[1], 1); });
        const std::string method =
            argv[2] ? convert_arg("method", [&] { return to_utf8(argv[2]); }) : "zeta";
        const std::uint64_t seed =
            argv[3] ? convert_arg("seed", [&] { return to_u64(argv[3]); }) : 0;

        // The rank is checked before the method name is parsed.
        check_factor(w->value);
        const bmf::BoolLs solver(w->value);
        return solve_array(solver, x, method, seed);
    });
}

// The largest row or column count of X: ao_bmf builds solvers on W (m rows)
// and on the transpose of H (n rows).
void check_data_shape(const boolmat::BitMatrix& x) {
    if (x.rows() > bmf::kMaxSolverRows) {
        raise(PyExc_ValueError,
              cat("X a ", x.rows(), " lignes : au plus ", bmf::kMaxSolverRows, " sont admises"));
    }
    if (x.cols() > bmf::kMaxSolverRows) {
        raise(PyExc_ValueError,
              cat("X a ", x.cols(), " colonnes : au plus ", bmf::kMaxSolverRows, " sont admises"));
    }
}

PyObject* ao_bmf_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"ao_bmf()", {"x", "r", "method", "max_iter", "seed"}, 2};
        PyObject* argv[5];
        bind_args(sig, args, kwargs, argv);
        PyBitMatrix* x = convert_arg("x", [&] { return require_bitmatrix(argv[0]); });
        SharedUse x_use = SharedUse::acquire(x->flag);
        const std::uint64_t r = convert_arg("r", [&] { return to_u64(argv[1]); });
        const std::string method_name =
            argv[2] ? convert_arg("method", [&] { return to_utf8(argv[2]); }) : "zeta";
        const std::uint64_t max_iter =
            argv[3] ? convert_arg("max_iter", [&] { return to_u64(argv[3]); }) : 50;
        const std::uint64_t seed =
            argv[4] ? convert_arg("seed", [&] { return to_u64(argv[4]); }) : 0;

        const bmf::Method method = parse_method(method_name);
        if (r == 0) raise(PyExc_ValueError, "r doit valoir au moins 1");
        check_rank_limit(r);
        if (max_iter == 0) raise(PyExc_ValueError, "max_iter doit valoir au moins 1");
        check_data_shape(x->value);

        // x stays in shared use until the result is built, so nothing can
        // modify it while the core reads it without the lock.
        bmf::BmfResult result =
            without_gil([&] { return bmf::ao_bmf(x->value, r, method, max_iter, seed); });
        return wrap_result(std::move(result));
    });
}

PyMethodDef g_methods_def = {"methods", QBMF_FUNCTION(methods_impl), METH_VARARGS | METH_KEYWORDS,
                             QBMF_SIGNATURE("methods()")};

PyMethodDef g_boolls_def = {"boolls", QBMF_FUNCTION(boolls_impl), METH_VARARGS | METH_KEYWORDS,
                            QBMF_SIGNATURE("boolls(w, x, method=\"zeta\", seed=0)")};

PyMethodDef g_ao_bmf_def = {"ao_bmf", QBMF_FUNCTION(ao_bmf_impl), METH_VARARGS | METH_KEYWORDS,
                            QBMF_SIGNATURE("ao_bmf(x, r, method=\"zeta\", max_iter=50, seed=0)")};

}  // namespace

Ref methods_function(PyObject* module) { return make_function(&g_methods_def, module); }
Ref boolls_function(PyObject* module) { return make_function(&g_boolls_def, module); }
Ref ao_bmf_function(PyObject* module) { return make_function(&g_ao_bmf_def, module); }

}  // namespace bmf_py
