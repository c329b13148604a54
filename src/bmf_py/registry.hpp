// What the module body registers: one factory per class and per function,
// each defined beside the class or function it creates.
#pragma once

#include "binding.hpp"

namespace bmf_py {

// A built-in function bound to `module`, with __module__ "QuorBMF".
Ref make_function(PyMethodDef* def, PyObject* module);

// The module functions (solvers.cpp).
Ref methods_function(PyObject* module);

}  // namespace bmf_py
