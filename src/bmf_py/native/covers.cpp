// The classic covers of quorbmf._native: grecond and asso over the core's
// bmf::grecond and bmf::asso, and the class StopFlag that stops them. Each
// cover checks its arguments at the door, runs with the interpreter lock
// released, and returns the packed factors as arrays over the core's own
// words with the error after each factor found; given a StopFlag that
// another thread sets, it stops within a fraction of a second and raises
// KeyboardInterrupt.
#include <atomic>
#include <cmath>
#include <new>
#include <utility>

#include "bmf_core/covers/asso.hpp"
#include "bmf_core/covers/grecond.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

// ---------------------------------------------------------------------------
// StopFlag

struct PyStopFlag {
    PyObject_HEAD std::atomic<bool> flag;
};

PyStopFlag* as_flag(PyObject* obj) { return reinterpret_cast<PyStopFlag*>(obj); }

PyTypeObject* g_flag_type = nullptr;

PyObject* flag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"StopFlag.__new__()", {}, 0};
        PyObject* none = nullptr;
        pyrt::bind_args(sig, args, kwargs, &none);
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        new (&as_flag(self.get())->flag) std::atomic<bool>(false);
        return self;
    });
}

void flag_dealloc(PyObject* self) {
    // std::atomic<bool> is trivially destructible.
    pyrt::free_instance(self);
}

PyObject* flag_set(PyObject* self, PyObject*) {
    as_flag(self)->flag.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* flag_is_set(PyObject* self, PyObject*) {
    return PyBool_FromLong(as_flag(self)->flag.load(std::memory_order_relaxed) ? 1 : 0);
}

PyMethodDef g_flag_methods[] = {
    {"set", flag_set, METH_NOARGS,
     PYRT_SIGNATURE("set($self)") "Asks every cover given this flag to stop; it cannot be "
                                  "cleared."},
    {"is_set", flag_is_set, METH_NOARGS,
     PYRT_SIGNATURE("is_set($self)") "Whether set() has been called."},
    {nullptr, nullptr, 0, nullptr},
};

const char kFlagDoc[] = PYRT_SIGNATURE(
    "StopFlag()")
    "A request to stop, set from any thread without the interpreter lock\n"
    "held by the cover it stops: grecond and asso poll it while they run and\n"
    "raise KeyboardInterrupt once it is set.";

PyType_Slot g_flag_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(flag_dealloc)},
    {Py_tp_methods, g_flag_methods},
    {Py_tp_doc, const_cast<char*>(kFlagDoc)},
    {0, nullptr},
};

PyType_Spec g_flag_spec = {
    "quorbmf._native.StopFlag",
    static_cast<int>(sizeof(PyStopFlag)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_flag_slots,
};

// ---------------------------------------------------------------------------
// The covers

// A float argument through __float__ (or __index__), with the interpreter's
// TypeError prefixed by "argument '{name}': ".
double real_arg(PyObject* obj, const char* name) {
    return pyrt::convert_arg(name, [&] {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred() != nullptr) throw pyrt::PythonError{};
        return v;
    });
}

// (w, h, errors) of a cover: the packed W and H and the list of errors.
Ref cover_tuple(bmf::CoverResult result) {
    Ref errors = pyrt::own(PyList_New(static_cast<Py_ssize_t>(result.errors.size())));
    for (std::size_t l = 0; l < result.errors.size(); ++l) {
        // Steals the item, also on failure.
        pyrt::check_status(PyList_SetItem(errors.get(), static_cast<Py_ssize_t>(l),
                                          pyrt::py_u64(result.errors[l]).release()));
    }
    const Ref w = words_array(std::move(result.w));
    const Ref h = words_array(std::move(result.h));
    return pyrt::own(PyTuple_Pack(3, w.get(), h.get(), errors.get()));
}

PyObject* grecond_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"grecond()", {"x", "cols", "k", "stop"}, 3};
        PyObject* argv[4] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const std::uint64_t k = positive_arg(argv[2], "k");
        const boolmat::BitView x = packed_arg(argv[0], "x", cols);
        const bmf::Cancel cancel = stop_arg(argv[3]);
        bmf::CoverResult result =
            run_stoppable([&] { return bmf::grecond(x, k, bmf::default_kernels(), cancel); });
        return cover_tuple(std::move(result));
    });
}

PyObject* asso_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{
            "asso()", {"x", "cols", "k", "tau", "w_plus", "w_minus", "stop"}, 3};
        PyObject* argv[7] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const std::uint64_t k = positive_arg(argv[2], "k");
        bmf::AssoParams params;
        if (argv[3] != nullptr) params.tau = real_arg(argv[3], "tau");
        if (argv[4] != nullptr) params.w_plus = real_arg(argv[4], "w_plus");
        if (argv[5] != nullptr) params.w_minus = real_arg(argv[5], "w_minus");
        if (!(params.tau >= 0.0 && params.tau <= 1.0)) {
            pyrt::raise(PyExc_ValueError,
                        cat("tau must be between 0 and 1, not ", pyrt::str_of(argv[3])));
        }
        if (!(std::isfinite(params.w_plus) && params.w_plus >= 0.0)) {
            pyrt::raise(PyExc_ValueError, cat("w_plus must be a finite number at least 0, not ",
                                              pyrt::str_of(argv[4])));
        }
        // An infinite w_minus covers no zero of x (from below).
        if (!(params.w_minus >= 0.0)) {
            pyrt::raise(PyExc_ValueError, cat("w_minus must be a finite number at least 0, not ",
                                              pyrt::str_of(argv[5]), ", or inf to cover no zero"));
        }
        const boolmat::BitView x = packed_arg(argv[0], "x", cols);
        const bmf::Cancel cancel = stop_arg(argv[6]);
        bmf::CoverResult result =
            run_stoppable([&] { return bmf::asso(x, k, params, bmf::default_kernels(), cancel); });
        return cover_tuple(std::move(result));
    });
}

const char kGrecondDoc[] = PYRT_SIGNATURE(
    "grecond(x, cols, k, stop=None)")
    "Covers the ones of the packed x (m x cols) from below with at most k\n"
    "formal concepts, greedily (GreConD), and returns (w, h, errors): W\n"
    "(m x ceil(k / 64) words), H (k x ceil(cols / 64) words) and the error\n"
    "|X xor W\u2218H| after each factor found; the factors beyond len(errors) are\n"
    "empty. KeyboardInterrupt once the StopFlag stop is set.";

const char kAssoDoc[] = PYRT_SIGNATURE(
    "asso(x, cols, k, tau=0.5, w_plus=1.0, w_minus=1.0, stop=None)")
    "At most k greedy rounds of Asso on the packed x (m x cols): each takes\n"
    "the row of the association matrix (confidence at least tau) and the rows\n"
    "using it that maximise w_plus * (ones covered) - w_minus * (zeros covered);\n"
    "w_minus may be inf: then no row covers a zero (W\u2218H stays below x).\n"
    "Returns (w, h, errors) as grecond does; it stops early when no candidate\n"
    "gains. KeyboardInterrupt once the StopFlag stop is set.";

PyMethodDef g_functions[] = {
    {"grecond", PYRT_FUNCTION(grecond_impl), METH_VARARGS | METH_KEYWORDS, kGrecondDoc},
    {"asso", PYRT_FUNCTION(asso_impl), METH_VARARGS | METH_KEYWORDS, kAssoDoc},
};

}  // namespace

bmf::Cancel stop_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return {};
    if (g_flag_type == nullptr || !PyObject_TypeCheck(obj, g_flag_type)) {
        pyrt::raise(PyExc_TypeError,
                    cat("stop must be a StopFlag or None, not ", pyrt::type_qualname(obj)));
    }
    return bmf::Cancel(as_flag(obj)->flag);
}

void add_cover_functions(PyObject* module_object) {
    // The type stays alive for the process: stop_arg checks against it.
    if (g_flag_type == nullptr) g_flag_type = pyrt::create_type(&g_flag_spec);
    pyrt::add_to_module(module_object, "StopFlag",
                        Ref::borrow(reinterpret_cast<PyObject*>(g_flag_type)));
    for (PyMethodDef& def : g_functions)
        pyrt::add_to_module(module_object, def.ml_name,
                            pyrt::make_function(g_module, &def, module_object));
}

}  // namespace bmf_native
