// What the module body registers: one factory per class and per function,
// each defined beside the class or function it creates.
#pragma once

#include "binding.hpp"

namespace bmf_py {

// A built-in function bound to `module`, with __module__ "QuorBMF".
Ref make_function(PyMethodDef* def, PyObject* module);

// The solver classes (solvers_boolls.cpp, solvers_result.cpp), as new
// references to their type objects.
Ref boolls_class();
Ref bmfresult_class();

// The module functions (solvers.cpp).
Ref ao_bmf_function(PyObject* module);
Ref boolls_function(PyObject* module);
Ref methods_function(PyObject* module);

}  // namespace bmf_py
