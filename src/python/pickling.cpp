#include "python/pickling.hpp"

#include <string>

#include "python/python_errors.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

// `target` null: the locator of the module itself, which pickles as __import__("trelmon").
struct Locator {
    Ref target;
    std::string path;
};

PyTypeObject* locator_type();

Ref attribute_of(const char* module_name, const char* name) {
    Ref module(PyImport_ImportModule(module_name));
    if (!module) {
        throw_python_error();
    }
    Ref attribute(PyObject_GetAttrString(module.get(), name));
    if (!attribute) {
        throw_python_error();
    }
    return attribute;
}

PyObject* locator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Locator& locator = unbox<Locator>(self);
    if (!locator.target) {
        PyErr_SetString(PyExc_TypeError, "the module locator is not callable");
        return nullptr;
    }
    return PyObject_Call(locator.target.get(), args, kwargs);
}

PyObject* locator_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Locator& locator = unbox<Locator>(self);
        if (!locator.target) {
            return Py_BuildValue("O(s)", attribute_of("builtins", "__import__").get(), "trelmon");
        }
        Ref getter(PyObject_CallFunction(attribute_of("operator", "attrgetter").get(), "s",
                                         locator.path.c_str()));
        if (!getter) {
            throw_python_error();
        }
        Ref module(box(locator_type(), Locator{}));
        return Py_BuildValue("O(O)", getter.get(), module.get());
    });
}

PyMethodDef locator_methods[] = {
    {"__reduce__", locator_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot locator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Locator>)},
    {Py_tp_call, reinterpret_cast<void*>(locator_call)},
    {Py_tp_methods, locator_methods},
    {0, nullptr},
};

PyTypeObject* locator_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = make_type<Locator>("trelmon.ClassLocator", kImmutableTypeFlags, locator_slots);
    }
    return type;
}

}  // namespace

PyObject* class_locator(PyTypeObject* type) {
    return box(locator_type(),
               Locator{Ref::borrow(reinterpret_cast<PyObject*>(type)), std::string(type->tp_name)});
}

bool stands_for(PyObject* object, PyTypeObject* type) noexcept {
    if (object == reinterpret_cast<PyObject*>(type)) {
        return true;
    }
    return object != nullptr && Py_IS_TYPE(object, locator_type()) &&
           unbox<Locator>(object).target.get() == reinterpret_cast<PyObject*>(type);
}

}  // namespace trelmon::py
