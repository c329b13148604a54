// The quorbmf._native extension module: PyInit__native builds the module
// object and registers the matrix functions, pack_csr, the solver classes,
// the classic covers, bitmatrix_words and the constants of ranks and
// methods. Binding, error translation and heap types come from the shared
// runtime; under this module's policy a core failure becomes the Python
// exception of its kind, so the entries check only what the core does not.
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "native.hpp"

namespace bmf_native {

constinit pyrt::Module g_module{"quorbmf._native", pyrt::CoreFailures::ByKind};

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorbmf._native",  // m_name
    "The native half of quorbmf: thin bindings over the C++ core.\n\n"
    "A packed matrix is a C-contiguous uint64 ndarray of shape\n"
    "(rows, ceil(cols / 64)), cell (i, j) at bit j % 64 of word [i, j // 64],\n"
    "with the spare bits beyond cols zero; the column count travels beside it.\n"
    "Every function that does real work releases the interpreter lock.",
    0,        // m_size: no per-module state
    nullptr,  // m_methods: functions are added one by one
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The largest rank of each route and the method names a Solver takes, so
// that the package reads them instead of copying them.
void add_constants(PyObject* module_object) {
    pyrt::add_to_module(module_object, "MAX_TABLE_RANK", pyrt::py_u64(bmf::kMaxRank));
    pyrt::add_to_module(module_object, "MAX_EXACT_RANK", pyrt::py_u64(bmf::kMaxSearchRank));
    pyrt::add_to_module(module_object, "MAX_RANK", pyrt::py_u64(bmf::kMaxFitRank));
    Ref names = pyrt::own(PyTuple_New(static_cast<Py_ssize_t>(bmf::kMethodNames.size() + 1)));
    Py_ssize_t i = 0;
    for (const std::string_view name : bmf::kMethodNames) {
        const auto size = static_cast<Py_ssize_t>(name.size());
        Ref item = pyrt::own(PyUnicode_FromStringAndSize(name.data(), size));
        pyrt::check_status(PyTuple_SetItem(names.get(), i++, item.release()));  // steals the item
    }
    Ref exact = pyrt::own(PyUnicode_FromString("exact"));
    pyrt::check_status(PyTuple_SetItem(names.get(), i, exact.release()));
    pyrt::add_to_module(module_object, "METHODS", std::move(names));
}

Ref build_module() {
    g_module.internal_error();
    Ref module = pyrt::own(PyModule_Create(&g_module_def));
    add_matrix_functions(module.get());
    add_pack_csr(module.get());
    add_solver_classes(module.get());
    add_cover_functions(module.get());
    add_bitmatrix_words(module.get());
    add_search_class(module.get());
    add_constants(module.get());
    return module;
}

}  // namespace

}  // namespace bmf_native

PyMODINIT_FUNC PyInit__native(void) {
    return bmf_native::guard_ref([] { return bmf_native::build_module(); });
}
