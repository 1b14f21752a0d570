// Pickling support shared by the module's classes.
#pragma once

#include "python/ref.hpp"

namespace trelmon::py {

// The submodules are not in sys.modules, so pickle cannot find a class by its __module__. A
// locator stands in for the class `type` in a __reduce__ result: calling it calls the class
// (as copy.copy and copy.deepcopy do), and it pickles as "import trelmon, then take the attribute
// path of the class's name", so that any process that can import trelmon can load it. Throws
// PythonError on failure.
PyObject* class_locator(PyTypeObject* type);

// Whether `object` is `type` itself or a locator of it.
bool stands_for(PyObject* object, PyTypeObject* type) noexcept;

}  // namespace trelmon::py
