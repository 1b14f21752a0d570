// Python class Module. Modules of an event share its immutable hit list; a module built from
// Python gets a list of its own.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/shared_classes.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

PyObject* module_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<5> signature{
            "Module.__new__",
            {"module_number", "z", "hit_start_index", "hit_end_index", "global_hits"},
            5};
        const auto a = parse_args(signature, args, kwargs);
        const auto number = convert<std::uint32_t>(a[0], "module_number");
        const auto z = convert<double>(a[1], "z");
        const auto start = convert<std::size_t>(a[2], "hit_start_index");
        const auto end = convert<std::size_t>(a[3], "hit_end_index");
        auto hits = std::make_shared<const HitList>(convert<HitList>(a[4], "global_hits"));
        return box(type, make_module(number, z, start, end, std::move(hits)));
    });
}

PyObject* module_hits(PyObject* self, PyObject*) {
    return guarded([&] { return list_to_python(unbox<Module>(self).hits()); });
}

PyObject* module_number(PyObject* self, void*) {
    return guarded([&] { return to_python(unbox<Module>(self).module_number); });
}

PyObject* module_repr_py(PyObject* self) {
    return guarded([&] { return to_python(module_repr(unbox<Module>(self))); });
}

// Pickling and copying: the constructor's arguments, the whole shared hit list included, so the
// copy's ranges and text form are the original's.
PyObject* module_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const Module& module = unbox<Module>(self);
        Ref hits(to_python(*module.global_hits));
        return Py_BuildValue("O(IdKKO)", locator.get(), module.module_number, module.z,
                             static_cast<unsigned long long>(module.hit_start_index),
                             static_cast<unsigned long long>(module.hit_end_index), hits.get());
    });
}

PyMethodDef module_methods[] = {
    {"hits", module_hits, METH_NOARGS, "hits($self)\n--\n\n"},
    {"__reduce__", module_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef module_getset[] = {
    {"module_number", module_number, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot module_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(module_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Module>)},
    {Py_tp_repr, reinterpret_cast<void*>(module_repr_py)},
    {Py_tp_methods, module_methods},
    {Py_tp_getset, module_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* module_type() {
    return shared_class(SharedClass::Module, sizeof(Box<Module>), [] {
        return make_type<Module>("DetectorEvent.Module", kImmutableTypeFlags, module_slots);
    });
}

}  // namespace trelmon::py
