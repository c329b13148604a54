// Error flow of the runtime: raising with UTF-8 messages, reading a pending
// exception, and each module's translation of C++ failures into Python
// exceptions by its policy.
#include <new>

#include "pyrt.hpp"

namespace pyrt {

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

// Sets `type` with `message` without throwing; when the text cannot be
// decoded, that error stays set instead.
void set_error(PyObject* type, const std::string& message) noexcept {
    PyObject* text = text_object(message);
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// The Python exception class of a core failure under the ByKind policy;
// null for a violated internal invariant.
PyObject* exception_for(boolmat::FailKind kind) {
    switch (kind) {
        case boolmat::FailKind::Shape:
        case boolmat::FailKind::Value: return PyExc_ValueError;
        case boolmat::FailKind::Index: return PyExc_IndexError;
        case boolmat::FailKind::Capacity: return PyExc_OverflowError;
        case boolmat::FailKind::Internal: break;
    }
    return nullptr;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    Ref text = own(text_object(message));
    PyErr_SetObject(type, text.get());
    throw PythonError{};
}

std::string type_qualname(PyObject* obj) {
    Ref name =
        own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    return str_of(name.get());
}

void raise_mismatch(PyObject* obj, const char* expected) {
    raise(PyExc_TypeError,
          cat("'", type_qualname(obj), "' object cannot be converted to '", expected, "'"));
}

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

// ---------------------------------------------------------------------------
// Per-module translation

PyObject* Module::internal_error() {
    if (internal_error_ == nullptr) {
        const std::string qualified = cat(name_, ".InternalError");
        internal_error_ =
            check(PyErr_NewException(qualified.c_str(), PyExc_BaseException, nullptr));
    }
    return internal_error_;
}

void Module::set_internal_error(const char* message) noexcept {
    try {
        PyErr_SetString(internal_error(), message);
    } catch (...) {
        // The class could not be created: its creation error stays set.
    }
}

void Module::translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_internal_error("error raised without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const boolmat::PreconditionError& e) {
        PyObject* type = policy_ == CoreFailures::ByKind ? exception_for(e.kind()) : nullptr;
        if (type != nullptr)
            set_error(type, e.what());
        else
            set_internal_error(e.what());
    } catch (const std::exception& e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown C++ exception");
    }
}

}  // namespace pyrt
