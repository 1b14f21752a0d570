// Python class Hit: an immutable copy of one native hit.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/shared_classes.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

PyObject* hit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<7> signature{
            "Hit.__new__", {"x", "y", "z", "hit_id", "module", "t", "with_t"}, 4};
        const auto a = parse_args(signature, args, kwargs);
        Hit hit;
        hit.x = convert<double>(a[0], "x");
        hit.y = convert<double>(a[1], "y");
        hit.z = convert<double>(a[2], "z");
        hit.id = convert<std::int32_t>(a[3], "hit_id");
        hit.module_number = convert_optional<std::int32_t>(a[4], "module", -1);
        hit.t = convert_optional<double>(a[5], "t", 0.0);
        hit.with_t = convert_optional<bool>(a[6], "with_t", false);
        return box(type, hit);
    });
}

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&] { return to_python(unbox<Hit>(self).*Field); });
}

PyObject* hit_repr_py(PyObject* self) {
    return guarded([&] { return to_python(hit_repr(unbox<Hit>(self))); });
}

// Pickling and copying: the constructor's arguments, every field given.
PyObject* hit_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const Hit& hit = unbox<Hit>(self);
        return Py_BuildValue("O(dddiidO)", locator.get(), hit.x, hit.y, hit.z, hit.id,
                             hit.module_number, hit.t, hit.with_t ? Py_True : Py_False);
    });
}

PyMethodDef hit_methods[] = {
    {"__reduce__", hit_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hit_getset[] = {
    {"id", get_field<&Hit::id>, nullptr, nullptr, nullptr},
    {"x", get_field<&Hit::x>, nullptr, nullptr, nullptr},
    {"y", get_field<&Hit::y>, nullptr, nullptr, nullptr},
    {"z", get_field<&Hit::z>, nullptr, nullptr, nullptr},
    {"t", get_field<&Hit::t>, nullptr, nullptr, nullptr},
    {"module_number", get_field<&Hit::module_number>, nullptr, nullptr, nullptr},
    {"with_t", get_field<&Hit::with_t>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Hit>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr_py)},
    {Py_tp_getset, hit_getset},
    {Py_tp_methods, hit_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

}  // namespace

Hit Converter<Hit>::from(PyObject* object) {
    if (!PyObject_TypeCheck(object, hit_type())) {
        raise_cannot_convert(object, "Hit");
    }
    return unbox<Hit>(object);
}

PyObject* to_python(const Hit& value) {
    return box(hit_type(), value);
}

PyTypeObject* hit_type() {
    return shared_class(SharedClass::Hit, sizeof(Box<Hit>), [] {
        return make_type<Hit>("DetectorEvent.Hit", kImmutableTypeFlags, hit_slots);
    });
}

}  // namespace trelmon::py
