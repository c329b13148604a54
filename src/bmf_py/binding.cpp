// Implementation of the shared binding layer: error translation, argument
// binding with the interpreter's wording, conversions, use flags and module
// registration helpers.
#include "binding.hpp"

#include <new>
#include <vector>

namespace bmf_py {

PyObject* check(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return p;
}

void check_status(int status) {
    if (status == -1) throw PythonError{};
}

namespace {

// A str from UTF-8 text that may carry embedded NULs and the escaped lone
// surrogates that str_of lets through; null with an error set when even that fails.
PyObject* text_object(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    Ref text = own(text_object(message));
    PyErr_SetObject(type, text.get());
    throw PythonError{};
}

namespace {

// The qualified name of obj's type, as text.
std::string type_qualname(PyObject* obj) {
    Ref name = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    return str_of(name.get());
}

PyObject* g_internal_error = nullptr;

void set_internal_error(const char* message) {
    if (!ensure_internal_error_type()) return;  // the creation error stays set
    PyErr_SetString(g_internal_error, message);
}

}  // namespace

std::string str_of(PyObject* obj) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (!s) {
        PyErr_Clear();
        return "<unprintable>";
    }
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

[[noreturn]] void raise_mismatch(PyObject* obj, const char* expected) {
    raise(PyExc_TypeError, cat("'", type_qualname(obj), "' object cannot be converted to '", expected, "'"));
}

PyObject* internal_error_type() { return g_internal_error; }

bool ensure_internal_error_type() {
    if (g_internal_error != nullptr) return true;
    g_internal_error = PyErr_NewException("QuorBMF.InternalError", PyExc_BaseException, nullptr);
    return g_internal_error != nullptr;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_internal_error("error raised without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // PreconditionError lands here too: a violated core invariant.
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown C++ exception");
    }
}

// ---------------------------------------------------------------------------
// Argument binding

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
            raise(PyExc_TypeError, cat(sig.display_name, " takes from ", sig.required, " to ", n_params,
                                       " positional arguments but ", n_args, " ", was, " given"));
        }
        raise(PyExc_TypeError, cat(sig.display_name, " takes ", n_params, " positional arguments but ",
                                   n_args, " ", was, " given"));
    }
    for (std::size_t k = 0; k < n_args; ++k) out[k] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(k));

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
                      cat(sig.display_name, " got an unexpected keyword argument '", str_of(key), "'"));
            }
            if (out[found] != nullptr) {
                raise(PyExc_TypeError,
                      cat(sig.display_name, " got multiple values for argument '", names[found], "'"));
            }
            out[found] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t k = n_args; k < sig.required; ++k) {
        if (out[k] == nullptr) missing.push_back(names[k]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, cat(sig.display_name, " missing ", missing.size(), " required positional ",
                                   missing.size() == 1 ? "argument" : "arguments", ": ",
                                   quoted_list(missing)));
    }
}

Ref take_pending_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref exception = Ref::steal(value);
    Ref tb = Ref::steal(traceback);
    if (exception && tb) PyException_SetTraceback(exception.get(), tb.get());
    return exception;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = take_pending_error();
    std::string message = cat("argument '", name, "': ", original ? str_of(original.get()) : std::string());
    Ref text = Ref::steal(text_object(message));
    if (!text) return;
    Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!replacement) return;
    if (original) PyException_SetCause(replacement.get(), original.release());
    PyErr_SetObject(PyExc_TypeError, replacement.get());
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
    Py_DECREF(type);
}

PyTypeObject* create_type(PyType_Spec* spec) {
    Ref type = own(PyType_FromSpec(spec));
    check_status(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void add_to_module(PyObject* module, const char* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = own(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Ref key = own(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), key.get()));
    check_status(PyObject_SetAttr(module, key.get(), value.get()));
}

}  // namespace bmf_py
