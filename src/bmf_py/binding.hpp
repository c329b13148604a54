// The binding layer shared by every Python entry point of QuorBMF: owning
// references, C++-exception-based error flow with one translation point,
// argument binding and conversion with the interpreter's own wording, the
// per-object use flag, and releasing the interpreter lock around core work.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "boolmat/precondition.hpp"

namespace bmf_py {

using boolmat::cat;

// ---------------------------------------------------------------------------
// Owning references

// Owns one strong reference to a PyObject (or nothing).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference over to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors

// Thrown when a Python exception is set and the call must unwind.
struct PythonError {};

// Throws PythonError when p is null (a Python exception is then set).
PyObject* check(PyObject* p);
// Steals p into a Ref, throwing PythonError when it is null.
inline Ref own(PyObject* p) { return Ref::steal(check(p)); }
// Throws PythonError when status is -1.
void check_status(int status);

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises TypeError "'{qualname of obj's type}' object cannot be converted to '{expected}'".
[[noreturn]] void raise_mismatch(PyObject* obj, const char* expected);

// The str() of an object as UTF-8 text (lone surrogates kept through
// surrogatepass); "<unprintable>" when that fails.
std::string str_of(PyObject* obj);

// Takes the pending Python exception out of the error indicator and returns
// it normalised, with its traceback attached (null when none was set).
Ref take_pending_error();

// The internal-error exception class (derived from BaseException, created
// once per process, not a module attribute); null until created.
PyObject* internal_error_type();
// Creates the class if needed; false with a Python error set on failure.
bool ensure_internal_error_type();

// Turns the exception in flight into a Python exception: PythonError keeps
// the one already set, a core PreconditionError (and any other C++ failure)
// becomes the internal-error exception, std::bad_alloc becomes MemoryError.
void translate_current_exception() noexcept;

// Runs body and returns its value; on any exception translates it and
// returns on_error. Every slot and method of the module goes through this.
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return on_error;
    }
}

// guard for entries returning a new reference (body returns a Ref).
template <class F>
PyObject* guard_ref(F&& body) noexcept {
    return guard<PyObject*>(nullptr, [&] { return body().release(); });
}

// ---------------------------------------------------------------------------
// Argument binding

// What the binder needs to know of a callable: its display name as it
// appears in messages ("ao_bmf()", "BitMatrix.__new__()"), its parameter
// names in order, and how many leading parameters are required.
struct Signature {
    const char* display_name;
    std::initializer_list<const char*> params;
    std::size_t required;
};

// Binds positional arguments and keywords to the parameters of sig, with
// CPython's wording for surplus, unknown, duplicated and missing arguments.
// out[k] receives a borrowed reference or null for an omitted parameter.
void bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError as "argument '{name}': {message}", with the
// original as its cause; any other pending error is left as it is.
void prefix_type_error(const char* name);

// Runs convert(); a TypeError it raises is re-raised as
// "argument '{name}': {message}" (with the original as cause); any other
// error passes through unchanged.
template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
}

// An unsigned 64-bit size or index through __index__: negative values raise
// OverflowError, non-integers TypeError (no prefix; wrap in convert_arg).
std::uint64_t to_u64(PyObject* obj);
// A signed 64-bit integer through __index__ (OverflowError out of range).
std::int64_t to_i64(PyObject* obj);
// A strict Boolean: bool or a NumPy Boolean scalar; anything else is a
// mismatch with expected kind "PyBool".
bool to_strict_bool(PyObject* obj);
// The UTF-8 bytes of a str; anything else is a mismatch "PyString".
std::string to_utf8(PyObject* obj);
// True for NumPy's Boolean scalar type, detected without importing NumPy.
bool is_numpy_bool_scalar(PyObject* obj);

// Python int from an unsigned 64-bit value.
Ref py_u64(std::uint64_t v);

// ---------------------------------------------------------------------------
// The per-object use flag

// Free, shared by N readers, or held by one writer. Changed only with the
// interpreter lock held, so a plain counter suffices.
class UseFlag {
public:
    bool try_share() {
        if (state_ < 0) return false;
        ++state_;
        return true;
    }
    void unshare() { --state_; }
    bool try_exclusive() {
        if (state_ != 0) return false;
        state_ = -1;
        return true;
    }
    void unexclusive() { state_ = 0; }

private:
    std::ptrdiff_t state_ = 0;
};

// A shared use of one flag, ended when the holder goes out of scope.
class SharedUse {
public:
    // Takes a shared use or raises RuntimeError "Already mutably borrowed".
    static SharedUse acquire(UseFlag& flag);
    // Takes a shared use, or returns nothing when the flag is held for writing.
    static std::optional<SharedUse> try_acquire(UseFlag& flag);
    SharedUse(SharedUse&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
    SharedUse& operator=(SharedUse&&) = delete;
    ~SharedUse() {
        if (flag_) flag_->unshare();
    }

private:
    explicit SharedUse(UseFlag* f) : flag_(f) {}
    UseFlag* flag_;
};

// The exclusive use of one flag, ended when the holder goes out of scope.
class ExclusiveUse {
public:
    // Takes the exclusive use or raises RuntimeError "Already borrowed".
    static ExclusiveUse acquire(UseFlag& flag);
    // Takes the exclusive use, or returns nothing when any use is active.
    static std::optional<ExclusiveUse> try_acquire(UseFlag& flag);
    ExclusiveUse(ExclusiveUse&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(ExclusiveUse&&) = delete;
    ~ExclusiveUse() {
        if (flag_) flag_->unexclusive();
    }

private:
    explicit ExclusiveUse(UseFlag* f) : flag_(f) {}
    UseFlag* flag_;
};

// ---------------------------------------------------------------------------
// The interpreter lock

// Runs work() with the interpreter lock released; the lock is taken back
// before anything (value or exception) leaves this function.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
    struct Restore {
        PyThreadState* state;
        ~Restore() { PyEval_RestoreThread(state); }
    } restore{PyEval_SaveThread()};
    return work();
}

// ---------------------------------------------------------------------------
// Heap types

// Instance allocation and release for the module's heap types, which hold a
// C++ value after the object header.
PyObject* alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

// Creates a heap type from its spec. The classes carry no documentation
// beyond their text signature, so __doc__ is None (the interpreter would
// otherwise expose an empty string).
PyTypeObject* create_type(PyType_Spec* spec);

// Adds `value` under `name` to the module and appends name to __all__.
void add_to_module(PyObject* module, const char* name, Ref value);

// "name(args)\n--\n\n": a text signature and no other documentation.
#define QBMF_SIGNATURE(text) text "\n--\n\n"

// A METH_VARARGS | METH_KEYWORDS implementation as a method-table entry.
#define QBMF_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

}  // namespace bmf_py
