#include "python/types.hpp"

namespace trelmon::py {

PyTypeObject* make_type_from_slots(const char* name, int basicsize, unsigned flags,
                                   PyType_Slot* slots) {
    PyType_Spec layout{name, basicsize, 0, flags, slots};
    PyObject* type = PyType_FromSpec(&layout);
    if (type == nullptr) {
        throw_python_error();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

void register_member(PyObject* module, const char* name, PyObject* member) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_python_error();
        }
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            throw_python_error();
        }
    }
    Ref key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0 ||
        PyObject_SetAttr(module, key.get(), member) < 0) {
        throw_python_error();
    }
}

}  // namespace trelmon::py
