// The matrix functions of quorbmf._native: transpose, product, count_ones
// and initial_factor. Each checks its packed arguments at the door, then
// calls the core with the interpreter lock released and hands the result
// back as an array over the core's own words. Beside them rank_limit, which
// says whether a method runs at a rank, from the engine's own limits.
#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/alternating/engine.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

using boolmat::BitMatrix;
using boolmat::BitView;

PyObject* transpose_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"transpose()", {"words", "cols"}, 2};
        PyObject* argv[2];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const BitView words = packed_arg(argv[0], "words", cols);
        BitMatrix t = pyrt::without_gil([&] { return boolmat::transpose(words); });
        return words_array(std::move(t));
    });
}

PyObject* product_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"product()", {"w", "r", "h", "cols"}, 4};
        PyObject* argv[4];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t r = positive_arg(argv[1], "r");
        const std::uint64_t cols = positive_arg(argv[3], "cols");
        const BitView w = packed_arg(argv[0], "w", r);
        const BitView h = packed_arg(argv[2], "h", cols);
        if (h.rows() != r)
            pyrt::raise(PyExc_ValueError, cat("h must have r = ", r, " rows, not ", h.rows()));
        BitMatrix p = pyrt::without_gil([&] { return boolmat::product(w, h); });
        return words_array(std::move(p));
    });
}

PyObject* count_ones_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"count_ones()", {"words"}, 1};
        PyObject* argv[1];
        pyrt::bind_args(sig, args, kwargs, argv);
        PyArrayObject* words = words_arg(argv[0], "words");
        // Without a column count every bit of every word counts: the spare
        // bits are zero by the packing contract.
        const auto width = static_cast<std::size_t>(PyArray_DIM(words, 1));
        const BitView all(static_cast<const boolmat::Word*>(PyArray_DATA(words)),
                          static_cast<std::size_t>(PyArray_DIM(words, 0)),
                          width * boolmat::kWordBits, width);
        const std::size_t ones = pyrt::without_gil([&] { return boolmat::count_ones(all); });
        return pyrt::py_u64(ones);
    });
}

PyObject* initial_factor_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"initial_factor()", {"xt", "m", "r", "seed"}, 4};
        PyObject* argv[4];
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t m = positive_arg(argv[1], "m");
        const std::uint64_t r = positive_arg(argv[2], "r");
        const std::uint64_t seed = u64_arg(argv[3], "seed");
        const BitView xt = packed_arg(argv[0], "xt", m);
        BitMatrix w = pyrt::without_gil([&] { return bmf::initial_factor(xt, r, seed); });
        return words_array(std::move(w));
    });
}

PyObject* rank_limit_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"rank_limit()", {"method", "r", "masked"}, 2};
        PyObject* argv[3] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        const bmf::MethodChoice choice = method_arg(argv[0]);
        const std::uint64_t r = positive_arg(argv[1], "r");
        const bool masked = argv[2] != nullptr && pyrt::convert_arg("masked", [&] {
                                return pyrt::to_strict_bool(argv[2]);
                            });
        const auto limit = bmf::rank_limit(choice, r, masked);
        if (!limit) return Ref::borrow(Py_None);
        return pyrt::own(PyUnicode_FromStringAndSize(
            limit->reason.data(), static_cast<Py_ssize_t>(limit->reason.size())));
    });
}

PyMethodDef g_functions[] = {
    {"transpose", PYRT_FUNCTION(transpose_impl), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("transpose(words, cols)") "The packed transpose (cols x rows) of a packed rows "
                                              "x cols matrix."},
    {"product", PYRT_FUNCTION(product_impl), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("product(w, r, h, cols)") "The Boolean product W\u2218H of a packed m x r and "
                                              "a packed r x cols matrix."},
    {"count_ones", PYRT_FUNCTION(count_ones_impl), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("count_ones(words)") "Number of set bits of a packed matrix."},
    {"initial_factor", PYRT_FUNCTION(initial_factor_impl), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("initial_factor(xt, m, r, seed)") "The starting factor W (m x r) of the "
                                                      "alternating loop, from the packed\n"
                                                      "transpose X\u1d40 (n x m): r non-empty "
                                                      "columns of X chosen by seed."},
    {"rank_limit", PYRT_FUNCTION(rank_limit_impl), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("rank_limit(method, r, masked=False)") "None when method runs at rank r (on a "
                                                           "masked block when masked), else\n"
                                                           "the limit it meets, such as \"method "
                                                           "'zeta' needs a table of 2^r counters\n"
                                                           "and works up to rank 26\". ValueError "
                                                           "for an unknown method name."},
};

}  // namespace

void add_matrix_functions(PyObject* module_object) {
    for (PyMethodDef& def : g_functions)
        pyrt::add_to_module(module_object, def.ml_name,
                            pyrt::make_function(g_module, &def, module_object));
}

}  // namespace bmf_native
