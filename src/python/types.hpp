// Heap types whose instances embed one native value, and module helpers.
#pragma once

#include "python/ref.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "python/python_errors.hpp"

namespace trelmon::py {

template <class T>
struct Box {
    PyObject_HEAD T value;
};

template <class T>
T& unbox(PyObject* object) noexcept {
    return reinterpret_cast<Box<T>*>(object)->value;
}

// A new instance of `type` holding `value`. The value is built before allocation, so a failure
// leaves nothing half-made.
template <class T>
PyObject* box(PyTypeObject* type, T value) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        throw_python_error();
    }
    new (&unbox<T>(object)) T(std::move(value));
    return object;
}

template <class T>
void box_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    unbox<T>(object).~T();
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned kImmutableTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned kImmutableTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// Builds a heap type. `name` is "Submodule.Class"; `doc` is stored as given (its text signature
// included). `slots` must end with {0, nullptr} and name box_dealloc<T> as Py_tp_dealloc.
PyTypeObject* make_type_from_slots(const char* name, int basicsize, unsigned flags,
                                   PyType_Slot* slots);

template <class T>
PyTypeObject* make_type(const char* name, unsigned flags, PyType_Slot* slots) {
    return make_type_from_slots(name, static_cast<int>(sizeof(Box<T>)), flags, slots);
}

// Method tables hold functions of several shapes behind PyCFunction.
template <class Function>
PyCFunction method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Appends `name` to module.__all__ (creating the list on first use), then sets the attribute.
void register_member(PyObject* module, const char* name, PyObject* member);

}  // namespace trelmon::py
