// The Python class BmfResult (PyBmfResult): the immutable outcome of ao_bmf.
// It has no constructor and no setters; w and h hand out fresh BitMatrix
// copies on every access and reconstruct() recomputes the Boolean product.
#include <new>
#include <utility>

#include "binding.hpp"
#include "matrix.hpp"
#include "registry.hpp"
#include "solvers.hpp"

namespace bmf_py {

namespace {

PyBmfResult* as_result(PyObject* self) { return reinterpret_cast<PyBmfResult*>(self); }

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for BmfResult");
    return nullptr;
}

void result_dealloc(PyObject* self) {
    auto* obj = as_result(self);
    obj->value.~BmfResult();
    obj->flag.~UseFlag();
    free_instance(self);
}

PyObject* result_repr(PyObject* self) {
    return guard_ref([&] {
        SharedUse use = SharedUse::acquire(as_result(self)->flag);
        const bmf::BmfResult& value = as_result(self)->value;
        return own(PyUnicode_FromString(cat("<BmfResult error=", value.error, " iterations=",
                                            value.iterations, " rank=", value.w.cols(), ">")
                                            .c_str()));
    });
}

PyObject* result_get_w(PyObject* self, void*) {
    return guard_ref([&] {
        SharedUse use = SharedUse::acquire(as_result(self)->flag);
        return wrap_matrix(boolmat::BitMatrix(as_result(self)->value.w));
    });
}

PyObject* result_get_h(PyObject* self, void*) {
    return guard_ref([&] {
        SharedUse use = SharedUse::acquire(as_result(self)->flag);
        return wrap_matrix(boolmat::BitMatrix(as_result(self)->value.h));
    });
}

PyObject* result_get_error(PyObject* self, void*) {
    return guard_ref([&] { return py_u64(as_result(self)->value.error); });
}

PyObject* result_get_iterations(PyObject* self, void*) {
    return guard_ref([&] { return py_u64(as_result(self)->value.iterations); });
}

PyObject* result_reconstruct(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BmfResult.reconstruct()", {}, 0};
        bind_args(sig, args, kwargs, nullptr);
        SharedUse use = SharedUse::acquire(as_result(self)->flag);
        const bmf::BmfResult& value = as_result(self)->value;
        return wrap_matrix(boolmat::product(value.w, value.h));
    });
}

PyGetSetDef g_result_getset[] = {
    {"w", result_get_w, nullptr, nullptr, nullptr},
    {"h", result_get_h, nullptr, nullptr, nullptr},
    {"error", result_get_error, nullptr, nullptr, nullptr},
    {"iterations", result_get_iterations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_result_methods[] = {
    {"reconstruct", QBMF_FUNCTION(result_reconstruct), METH_VARARGS | METH_KEYWORDS,
     QBMF_SIGNATURE("reconstruct($self)")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, g_result_getset},
    {Py_tp_methods, g_result_methods},
    {0, nullptr},
};

PyType_Spec g_result_spec = {
    "QuorBMF.BmfResult", sizeof(PyBmfResult), 0, Py_TPFLAGS_DEFAULT, g_result_slots,
};

}  // namespace

PyTypeObject* bmfresult_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(&g_result_spec);
    return type;
}

Ref bmfresult_class() { return Ref::borrow(reinterpret_cast<PyObject*>(bmfresult_type())); }

Ref wrap_result(bmf::BmfResult value) {
    PyTypeObject* type = bmfresult_type();
    Ref self = Ref::steal(alloc_instance(type));
    auto* obj = as_result(self.get());
    new (&obj->flag) UseFlag();
    new (&obj->value) bmf::BmfResult(std::move(value));
    return self;
}

}  // namespace bmf_py
