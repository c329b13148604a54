// The binding layer of the QuorBMF extension: the shared runtime (pyrt)
// under this module's identity. Every core PreconditionError that reaches
// one of QuorBMF's entries becomes QuorBMF's internal-error exception, since
// the entries check everything a caller can get wrong first; the helpers
// below bind that identity so the class and function files need not name it.
#pragma once

#include "bmf_py/runtime/pyrt.hpp"

namespace bmf_py {

using boolmat::cat;
using pyrt::alloc_instance;
using pyrt::bind_args;
using pyrt::check;
using pyrt::check_status;
using pyrt::convert_arg;
using pyrt::ExclusiveUse;
using pyrt::free_instance;
using pyrt::is_numpy_bool_scalar;
using pyrt::own;
using pyrt::prefix_type_error;
using pyrt::py_u64;
using pyrt::PythonError;
using pyrt::raise;
using pyrt::raise_mismatch;
using pyrt::Ref;
using pyrt::SharedUse;
using pyrt::Signature;
using pyrt::str_of;
using pyrt::take_pending_error;
using pyrt::to_i64;
using pyrt::to_strict_bool;
using pyrt::to_u64;
using pyrt::to_utf8;
using pyrt::UseFlag;
using pyrt::without_gil;

// QuorBMF as the runtime knows it (module.cpp).
extern pyrt::Module g_module;

// Runs body and returns its value; on any exception translates it for
// QuorBMF and returns on_error. Every slot and method of the module goes through this.
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
    return pyrt::guard(g_module, on_error, std::forward<F>(body));
}

// guard for entries returning a new reference (body returns a Ref).
template <class F>
PyObject* guard_ref(F&& body) noexcept {
    return pyrt::guard_ref(g_module, std::forward<F>(body));
}

// Creates a heap type from its spec. The classes carry no documentation
// beyond their text signature, so __doc__ is None (the interpreter would
// otherwise expose an empty string).
PyTypeObject* create_type(PyType_Spec* spec);

}  // namespace bmf_py

#define QBMF_SIGNATURE(text) PYRT_SIGNATURE(text)
#define QBMF_FUNCTION(fn) PYRT_FUNCTION(fn)
