// Python class Track: hits are copied in and copied out; add_hit is the only mutation.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/shared_classes.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

PyObject* track_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<1> signature{"Track.__new__", {"hits"}, 1};
        const auto a = parse_args(signature, args, kwargs);
        Track track;
        track.hits = convert<std::vector<Hit>>(a[0], "hits");
        return box(type, std::move(track));
    });
}

PyObject* track_add_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&] {
        static const Signature<1> signature{"Track.add_hit", {"hit"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        unbox<Track>(self).hits.push_back(convert<Hit>(a[0], "hit"));
        return Ref::borrow(Py_None).release();
    });
}

PyObject* track_hits(PyObject* self, void*) {
    return guarded([&] { return to_python(unbox<Track>(self).hits); });
}

template <auto Field>
PyObject* track_flag(PyObject* self, void*) {
    return guarded([&] { return to_python(unbox<Track>(self).*Field); });
}

PyObject* track_repr_py(PyObject* self) {
    return guarded([&] { return to_python(track_repr(unbox<Track>(self))); });
}

// Pickling and copying: the hits through the constructor, then the flags an algorithm set.
PyObject* track_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const Track& track = unbox<Track>(self);
        Ref hits(to_python(track.hits));
        return Py_BuildValue("O(O)(OOi)", locator.get(), hits.get(),
                             track.missed_last_module ? Py_True : Py_False,
                             track.missed_penultimate_module ? Py_True : Py_False,
                             static_cast<int>(track.missed_count));
    });
}

PyObject* track_setstate(PyObject* self, PyObject* state) {
    return guarded([&] {
        int last = 0;
        int penultimate = 0;
        unsigned char missed = 0;
        if (!PyTuple_Check(state) ||
            !PyArg_ParseTuple(state, "ppb:__setstate__", &last, &penultimate, &missed)) {
            if (!PyErr_Occurred()) {
                raise(PyExc_TypeError, "Track state must be a tuple");
            }
            throw_python_error();
        }
        Track& track = unbox<Track>(self);
        track.missed_last_module = last != 0;
        track.missed_penultimate_module = penultimate != 0;
        track.missed_count = missed;
        return Ref::borrow(Py_None).release();
    });
}

PyMethodDef track_methods[] = {
    {"__reduce__", track_reduce, METH_NOARGS, nullptr},
    {"__setstate__", track_setstate, METH_O, nullptr},
    {"add_hit", method(track_add_hit), METH_FASTCALL | METH_KEYWORDS,
     "add_hit($self, hit)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef track_getset[] = {
    {"hits", track_hits, nullptr, nullptr, nullptr},
    {"missed_last_module", track_flag<&Track::missed_last_module>, nullptr, nullptr, nullptr},
    {"missed_penultimate_module", track_flag<&Track::missed_penultimate_module>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot track_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(track_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Track>)},
    {Py_tp_repr, reinterpret_cast<void*>(track_repr_py)},
    {Py_tp_methods, track_methods},
    {Py_tp_getset, track_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

}  // namespace

Track Converter<Track>::from(PyObject* object) {
    if (!PyObject_TypeCheck(object, track_type())) {
        raise_cannot_convert(object, "Track");
    }
    return unbox<Track>(object);
}

PyObject* to_python(const Track& value) {
    return box(track_type(), value);
}
PyObject* to_python(Track&& value) {
    return box(track_type(), std::move(value));
}

PyTypeObject* track_type() {
    return shared_class(SharedClass::Track, sizeof(Box<Track>), [] {
        return make_type<Track>("DetectorEvent.Track", kImmutableTypeFlags, track_slots);
    });
}

}  // namespace trelmon::py
