// The QuorBMF extension module: PyInit_QuorBMF builds the module object and
// registers the classes, the functions and __version__, in this order; each
// registration also appends the name to __all__.
#include "binding.hpp"
#include "matrix.hpp"
#include "registry.hpp"

namespace bmf_py {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "QuorBMF",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods: functions are added one by one
    nullptr, nullptr, nullptr, nullptr,
};

// The module object once built; a second build in one process is refused.
PyObject* g_built_module = nullptr;

Ref build_module() {
    if (g_built_module != nullptr) {
        raise(PyExc_ImportError,
              "QuorBMF: extension modules built for CPython 3.8 or older may only be initialised once "
              "per interpreter process");
    }
    if (!ensure_internal_error_type()) throw PythonError{};
    Ref module = own(PyModule_Create(&g_module_def));
    add_to_module(module.get(), "BitMatrix", Ref::borrow(reinterpret_cast<PyObject*>(bitmatrix_type())));
    add_to_module(module.get(), "BoolLs", boolls_class());
    add_to_module(module.get(), "BmfResult", bmfresult_class());
    add_to_module(module.get(), "ao_bmf", ao_bmf_function(module.get()));
    add_to_module(module.get(), "boolls", boolls_function(module.get()));
    add_to_module(module.get(), "methods", methods_function(module.get()));
    add_to_module(module.get(), "__version__", own(PyUnicode_FromString("0.1.1")));
    g_built_module = Ref(module).release();
    return module;
}

}  // namespace

Ref make_function(PyMethodDef* def, PyObject* module) {
    Ref module_name = own(PyUnicode_FromString("QuorBMF"));
    return own(PyCFunction_NewEx(def, module, module_name.get()));
}

}  // namespace bmf_py

PyMODINIT_FUNC PyInit_QuorBMF(void) {
    return bmf_py::guard_ref([] { return bmf_py::build_module(); });
}
