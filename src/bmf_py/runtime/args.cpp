// Argument binding with the interpreter's wording, and the conversions of
// single arguments.
#include <vector>

#include "pyrt.hpp"

namespace pyrt {

namespace {

// 'a', 'a' and 'b', 'a', 'b' and 'c' — CPython's list of parameter names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += (i == names.size() - 1) ? " and " : " ";
        }
        out += cat("'", names[i], "'");
    }
    return out;
}

}  // namespace

void bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t n_params = sig.params.size();
    const auto* names = sig.params.begin();
    for (std::size_t k = 0; k < n_params; ++k) out[k] = nullptr;

    const std::size_t n_args = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (n_args > n_params) {
        const char* was = n_args == 1 ? "was" : "were";
        if (sig.required != n_params) {
            raise(PyExc_TypeError,
                  cat(sig.display_name, " takes from ", sig.required, " to ", n_params,
                      " positional arguments but ", n_args, " ", was, " given"));
        }
        raise(PyExc_TypeError, cat(sig.display_name, " takes ", n_params,
                                   " positional arguments but ", n_args, " ", was, " given"));
    }
    for (std::size_t k = 0; k < n_args; ++k)
        out[k] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(k));

    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t found = n_params;
            if (PyUnicode_Check(key)) {
                for (std::size_t k = 0; k < n_params; ++k) {
                    if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) {
                        found = k;
                        break;
                    }
                }
            }
            if (found == n_params) {
                raise(PyExc_TypeError,
                      cat(sig.display_name, " got an unexpected keyword argument '", str_of(key),
                          "'"));
            }
            if (out[found] != nullptr) {
                raise(PyExc_TypeError, cat(sig.display_name, " got multiple values for argument '",
                                           names[found], "'"));
            }
            out[found] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t k = n_args; k < sig.required; ++k) {
        if (out[k] == nullptr) missing.push_back(names[k]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError,
              cat(sig.display_name, " missing ", missing.size(), " required positional ",
                  missing.size() == 1 ? "argument" : "arguments", ": ", quoted_list(missing)));
    }
}

void prefix_error(PyObject* type, const char* name) {
    if (!PyErr_ExceptionMatches(type)) return;
    Ref original = take_pending_error();
    std::string message =
        cat("argument '", name, "': ", original ? str_of(original.get()) : std::string());
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
    if (!text) return;
    Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!replacement) return;
    if (original) PyException_SetCause(replacement.get(), original.release());
    PyErr_SetObject(type, replacement.get());
}

// ---------------------------------------------------------------------------
// Conversions

std::uint64_t to_u64(PyObject* obj) {
    Ref index = own(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

std::int64_t to_i64(PyObject* obj) {
    Ref index = own(PyNumber_Index(obj));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    return v;
}

bool is_numpy_bool_scalar(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool to_strict_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool_scalar(obj)) {
        int truth = PyObject_IsTrue(obj);
        check_status(truth);
        return truth == 1;
    }
    raise_mismatch(obj, "PyBool");
}

std::string to_utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_mismatch(obj, "PyString");
    Ref bytes = own(PyUnicode_AsUTF8String(obj));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

Ref py_u64(std::uint64_t v) { return own(PyLong_FromUnsignedLongLong(v)); }

}  // namespace pyrt
