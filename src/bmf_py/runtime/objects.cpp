// Use flags, heap-type instances and module registration.
#include "pyrt.hpp"

namespace pyrt {

// ---------------------------------------------------------------------------
// Use flags

SharedUse SharedUse::acquire(UseFlag& flag) {
    if (!flag.try_share()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    return SharedUse(&flag);
}

std::optional<SharedUse> SharedUse::try_acquire(UseFlag& flag) {
    if (!flag.try_share()) return std::nullopt;
    return SharedUse(&flag);
}

ExclusiveUse ExclusiveUse::acquire(UseFlag& flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    return ExclusiveUse(&flag);
}

std::optional<ExclusiveUse> ExclusiveUse::try_acquire(UseFlag& flag) {
    if (!flag.try_exclusive()) return std::nullopt;
    return ExclusiveUse(&flag);
}

// ---------------------------------------------------------------------------
// Heap types and registration

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return check(alloc(type, 0));
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    // An instance of a heap type holds a reference to its type.
    Py_DECREF(type);
}

PyTypeObject* create_type(PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)));
}

Ref make_function(const Module& module, PyMethodDef* def, PyObject* module_object) {
    Ref module_name = own(PyUnicode_FromString(module.name()));
    return own(PyCFunction_NewEx(def, module_object, module_name.get()));
}

void add_to_module(PyObject* module_object, const char* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module_object, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = own(PyList_New(0));
        check_status(PyObject_SetAttrString(module_object, "__all__", all.get()));
    }
    Ref key = own(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), key.get()));
    check_status(PyObject_SetAttr(module_object, key.get(), value.get()));
}

}  // namespace pyrt
