// The solver side of the module: the module functions (methods, and later
// boolls and ao_bmf) and the method-name parsing they share.
#include "bmf_core/method.hpp"
#include "binding.hpp"
#include "registry.hpp"
#include "solvers.hpp"

namespace bmf_py {

bmf::Method parse_method(const std::string& name) {
    auto parsed = bmf::Method::from_str(name);
    if (auto* invalid = std::get_if<bmf::InvalidMethod>(&parsed)) raise(PyExc_ValueError, invalid->message());
    return std::get<bmf::Method>(parsed);
}

namespace {

PyObject* methods_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"methods()", {}, 0};
        bind_args(sig, args, kwargs, nullptr);
        Ref list = own(PyList_New(0));
        for (std::string_view name : bmf::kMethodNames) {
            Ref item = own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            check_status(PyList_Append(list.get(), item.get()));
        }
        return list;
    });
}

PyMethodDef g_methods_def = {"methods", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(methods_impl)),
                             METH_VARARGS | METH_KEYWORDS, QBMF_SIGNATURE("methods()")};

}  // namespace

Ref methods_function(PyObject* module) { return make_function(&g_methods_def, module); }

}  // namespace bmf_py
