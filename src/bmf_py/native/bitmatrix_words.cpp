// The function bitmatrix_words of quorbmf._native: the packed words of a
// QuorBMF.BitMatrix, copied into an array. Both extension modules are built
// from this tree, so the matrix object is read through QuorBMF's own layout
// (matrix.hpp) and its use flag, instead of through a dense array of one
// byte per cell. O(rows x words) copied, with the interpreter lock released.
#include "bmf_py/matrix.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

// The QuorBMF.BitMatrix type (a borrowed reference that the module keeps alive).
PyObject* quorbmf_bitmatrix_type() {
    const Ref module = pyrt::own(PyImport_ImportModule("QuorBMF"));
    const Ref type = pyrt::own(PyObject_GetAttrString(module.get(), "BitMatrix"));
    return type.get();
}

PyObject* bitmatrix_words_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"bitmatrix_words()", {"matrix"}, 1};
        PyObject* argv[1];
        pyrt::bind_args(sig, args, kwargs, argv);
        if (reinterpret_cast<PyObject*>(Py_TYPE(argv[0])) != quorbmf_bitmatrix_type()) {
            pyrt::raise(PyExc_TypeError, cat("matrix must be a QuorBMF.BitMatrix, not ",
                                             pyrt::type_qualname(argv[0])));
        }
        auto* matrix = reinterpret_cast<bmf_py::PyBitMatrix*>(argv[0]);
        // A shared use keeps QuorBMF's writers out while the lock is released.
        const pyrt::SharedUse use = pyrt::SharedUse::acquire(matrix->flag);
        const boolmat::BitView view = matrix->value.view();
        boolmat::BitMatrix copy = pyrt::without_gil([&] { return owned_copy(view); });
        return words_array(std::move(copy));
    });
}

PyMethodDef g_function = {
    "bitmatrix_words", PYRT_FUNCTION(bitmatrix_words_impl), METH_VARARGS | METH_KEYWORDS,
    PYRT_SIGNATURE("bitmatrix_words(matrix)")
    "The packed words (rows x ceil(cols / 64)) of a QuorBMF.BitMatrix, copied."};

}  // namespace

void add_bitmatrix_words(PyObject* module_object) {
    pyrt::add_to_module(module_object, g_function.ml_name,
                        pyrt::make_function(g_module, &g_function, module_object));
}

}  // namespace bmf_native
