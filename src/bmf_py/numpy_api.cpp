// QuorBMF's NumPy access and its Boolean array check.
#include "numpy_api.hpp"

namespace bmf_py {

void ensure_numpy() { pyrt::ensure_numpy(g_module); }

PyArrayObject* require_bool_array(PyObject* obj, int ndim) {
    ensure_numpy();
    if (PyArray_Check(obj)) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(array) == ndim) {
            Ref bool_descr =
                Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_BOOL)));
            if (PyArray_EquivTypes(PyArray_DESCR(array),
                                   reinterpret_cast<PyArray_Descr*>(bool_descr.get())))
                return array;
        }
    }
    raise_mismatch(obj, "PyArray<T, D>");
}

}  // namespace bmf_py
