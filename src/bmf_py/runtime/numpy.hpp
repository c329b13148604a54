// NumPy's C array interface, located lazily: importing a module that links
// the runtime never imports NumPy; the first call that needs it imports
// NumPy and reads the array-interface capsule, which then stays cached for
// the process. Every translation unit of an extension that touches arrays
// includes this header (the runtime defines the interface table).
#pragma once

#include "pyrt.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL BMF_PYRT_ARRAY_API
#ifndef BMF_PYRT_DEFINE_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace pyrt {

// Makes the NumPy C interface usable; raises the module's internal-error
// exception with a message beginning "Failed to access NumPy array API
// capsule" when NumPy cannot be imported or its interface cannot be found.
void ensure_numpy(Module& module);

}  // namespace pyrt
