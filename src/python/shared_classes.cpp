#include "python/shared_classes.hpp"

#include <array>
#include <cstring>
#include <string>

#include "python/python_errors.hpp"

namespace trelmon::py {
namespace {

struct Entry {
    PyTypeObject* type = nullptr;
    bool checked = false;
};

// One table per extension: the binding layer is linked into each one separately.
std::array<Entry, kSharedClassCount> entries;

Entry& entry(SharedClass id) noexcept {
    return entries[static_cast<std::size_t>(id)];
}

}  // namespace

PyTypeObject* shared_class(SharedClass id, std::size_t basicsize, PyTypeObject* (*make)()) {
    Entry& e = entry(id);
    if (e.type == nullptr) {
        e.type = make();
        e.checked = true;
    } else if (!e.checked) {
        // Instances are read and made through this build's layout: a different one would be
        // misread, so the extensions must come from one build.
        if (e.type->tp_basicsize < 0 ||
            static_cast<std::size_t>(e.type->tp_basicsize) != basicsize) {
            raise(PyExc_ImportError, std::string(e.type->tp_name) +
                                         " of the imported trelmon has another layout than this "
                                         "build's: trelmon and trelmon_tools must come from one "
                                         "build");
        }
        e.checked = true;
    }
    return e.type;
}

void adopt_class(SharedClass id, PyObject* type, const char* name) {
    if (!PyType_Check(type) ||
        std::strcmp(reinterpret_cast<PyTypeObject*>(type)->tp_name, name) != 0) {
        raise(PyExc_ImportError,
              std::string("trelmon does not provide the class ") + name + " this build expects");
    }
    Entry& e = entry(id);
    if (e.type != nullptr && e.type != reinterpret_cast<PyTypeObject*>(type)) {
        raise(PyExc_ImportError, std::string("the class ") + name + " is already in use");
    }
    Py_INCREF(type);
    Py_XDECREF(reinterpret_cast<PyObject*>(e.type));
    e.type = reinterpret_cast<PyTypeObject*>(type);
    e.checked = false;
}

}  // namespace trelmon::py
