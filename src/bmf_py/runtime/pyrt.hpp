// The binding runtime shared by the extension modules of this project
// (QuorBMF, quorbmf._native): owning references, C++-exception-based error
// flow with one translation point per module, argument binding and
// conversion with the interpreter's own wording, the per-object use flag,
// releasing the interpreter lock around core work, and heap types. Nothing
// here names a module: each extension describes itself with one `Module`
// and passes it where the module's identity matters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "boolmat/precondition.hpp"

namespace pyrt {

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

// Sets `type` with `message` (UTF-8; embedded NULs and escaped lone
// surrogates kept) and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises TypeError "'{qualname of obj's type}' object cannot be converted to '{expected}'".
[[noreturn]] void raise_mismatch(PyObject* obj, const char* expected);

// The qualified name of obj's type, as text.
std::string type_qualname(PyObject* obj);

// The str() of an object as UTF-8 text (lone surrogates kept through
// surrogatepass); "<unprintable>" when that fails.
std::string str_of(PyObject* obj);

// Takes the pending Python exception out of the error indicator and returns
// it normalised, with its traceback attached (null when none was set).
Ref take_pending_error();

// How a module reports a core PreconditionError that reaches one of its
// entries. std::bad_alloc is MemoryError and any other C++ failure the
// internal-error exception under either policy.
enum class CoreFailures {
    // Every PreconditionError is a violated internal invariant: the module
    // checks all that a caller can get wrong before calling the core.
    AllInternal,
    // By the failure's kind: Shape and Value become ValueError, Index
    // IndexError, Capacity OverflowError, Internal the internal-error
    // exception; the core's message is kept.
    ByKind,
};

// One extension module linking the runtime: its import name (the __module__
// of its functions, the prefix of its internal-error class) and its policy
// for core failures. Each module keeps one instance for the process.
class Module {
public:
    constexpr Module(const char* name, CoreFailures policy) : name_(name), policy_(policy) {}
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const char* name() const { return name_; }
    CoreFailures policy() const { return policy_; }

    // The module's internal-error class "{name}.InternalError", derived
    // directly from BaseException so that `except Exception` does not
    // swallow it, created on first use; throws PythonError when creation fails.
    PyObject* internal_error();

    // Turns the exception in flight into a pending Python exception:
    // PythonError keeps the one already set, PreconditionError follows the
    // policy, std::bad_alloc becomes MemoryError, anything else the
    // internal-error exception.
    void translate_current_exception() noexcept;

private:
    // Sets the internal-error exception with `message`; when the class
    // cannot be created its creation error stays set instead.
    void set_internal_error(const char* message) noexcept;

    const char* name_;
    CoreFailures policy_;
    PyObject* internal_error_ = nullptr;
};

// Runs body and returns its value; on any exception translates it for
// `module` and returns on_error. Every slot and function goes through this.
template <class R, class F>
R guard(Module& module, R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        module.translate_current_exception();
        return on_error;
    }
}

// guard for entries returning a new reference (body returns a Ref).
template <class F>
PyObject* guard_ref(Module& module, F&& body) noexcept {
    return guard<PyObject*>(module, nullptr, [&] { return body().release(); });
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

// Re-raises a pending exception of class `type` (or a subclass) as `type`
// with the text "argument '{name}': {message}" and the original as its
// cause; any other pending error is left as it is.
void prefix_error(PyObject* type, const char* name);
// prefix_error for TypeError.
inline void prefix_type_error(const char* name) { prefix_error(PyExc_TypeError, name); }

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
// Heap types and registration

// Instance allocation and release for heap types that hold C++ values after
// the object header; the caller constructs and destroys those values.
// alloc_instance throws PythonError on failure.
PyObject* alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

// Creates a heap type from its spec (throws PythonError on failure).
PyTypeObject* create_type(PyType_Spec* spec);

// A built-in function bound to `module_object`, with __module__ the
// module's name (throws PythonError on failure).
Ref make_function(const Module& module, PyMethodDef* def, PyObject* module_object);

// Adds `value` under `name` to the module object and appends name to its
// __all__, creating that list on the first addition.
void add_to_module(PyObject* module_object, const char* name, Ref value);

}  // namespace pyrt

// "name(args)\n--\n\n": a text signature; documentation, if any, follows.
#define PYRT_SIGNATURE(text) text "\n--\n\n"

// A METH_VARARGS | METH_KEYWORDS implementation as a method-table entry.
#define PYRT_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
