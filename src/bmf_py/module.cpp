// The QuorBMF extension module: PyInit_QuorBMF builds the module object and
// registers the classes, the functions and __version__, in this order; each
// registration also appends the name to __all__. Binding, error translation
// and heap types come from the shared runtime, under the identity below.
#include "binding.hpp"
#include "matrix.hpp"
#include "registry.hpp"

namespace bmf_py {

constinit pyrt::Module g_module{"QuorBMF", pyrt::CoreFailures::AllInternal};

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "QuorBMF",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods: functions are added one by one
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module object once built; a second build in one process is refused.
PyObject* g_built_module = nullptr;

Ref build_module() {
    if (g_built_module != nullptr) {
        raise(PyExc_ImportError,
              "QuorBMF: extension modules built for CPython 3.8 or older may only be initialised "
              "once "
              "per interpreter process");
    }
    g_module.internal_error();
    Ref module = own(PyModule_Create(&g_module_def));
    pyrt::add_to_module(module.get(), "BitMatrix",
                        Ref::borrow(reinterpret_cast<PyObject*>(bitmatrix_type())));
    pyrt::add_to_module(module.get(), "BoolLs", boolls_class());
    pyrt::add_to_module(module.get(), "BmfResult", bmfresult_class());
    pyrt::add_to_module(module.get(), "ao_bmf", ao_bmf_function(module.get()));
    pyrt::add_to_module(module.get(), "boolls", boolls_function(module.get()));
    pyrt::add_to_module(module.get(), "methods", methods_function(module.get()));
    pyrt::add_to_module(module.get(), "__version__", own(PyUnicode_FromString(QUORBMF_VERSION)));
    g_built_module = Ref(module).release();
    return module;
}

}  // namespace

PyTypeObject* create_type(PyType_Spec* spec) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(pyrt::create_type(spec)));
    check_status(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

Ref make_function(PyMethodDef* def, PyObject* module) {
    return pyrt::make_function(g_module, def, module);
}

}  // namespace bmf_py

PyMODINIT_FUNC PyInit_QuorBMF(void) {
    return bmf_py::guard_ref([] { return bmf_py::build_module(); });
}
