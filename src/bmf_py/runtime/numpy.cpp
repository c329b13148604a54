// Lazy location of NumPy's C array interface.
#define BMF_PYRT_DEFINE_ARRAY_API
#include "numpy.hpp"

namespace pyrt {

namespace {

bool g_numpy_ready = false;

// Fills the API table from the capsule of NumPy's core multiarray module,
// which is numpy._core from NumPy 2 on and numpy.core before.
void locate_array_api() {
    Ref numpy = own(PyImport_ImportModule("numpy"));
    Ref version = own(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = own(PyImport_ImportModule("numpy.lib"));
    Ref parsed = own(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    Ref major_obj = own(PyObject_GetAttrString(parsed.get(), "major"));
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw PythonError{};

    const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = own(PyImport_ImportModule(core));
    Ref capsule = own(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw PythonError{};
    BMF_PYRT_ARRAY_API = static_cast<void**>(table);

    if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
        BMF_PYRT_ARRAY_API = nullptr;
        raise(PyExc_ImportError,
              cat("NumPy ABI version ", PyArray_GetNDArrayCVersion(),
                  " is newer than the one this module was built for (", NPY_VERSION, ")"));
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

}  // namespace

void ensure_numpy(Module& module) {
    if (g_numpy_ready) return;
    try {
        locate_array_api();
    } catch (const PythonError&) {
        // Report the underlying Python error inside the internal-error exception.
        Ref cause = take_pending_error();
        const std::string detail = cause ? str_of(cause.get()) : std::string("unknown error");
        raise(module.internal_error(), "Failed to access NumPy array API capsule: " + detail);
    }
    g_numpy_ready = true;
}

}  // namespace pyrt
