// Python class trelmon_tools.ScatterWindowFollowing: an immutable set of parameters over the
// native solver. Keywords, defaults, units, meanings and checks all come from the parameter
// table beside ScatterWindowFollowingParams.
#include "python/algorithms/parameters.hpp"
#include "python/algorithms/solve_methods.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <string>

#include "algorithms/scatter_window_following/scatter_window_following.hpp"

namespace trelmon::py {
namespace {

using Params = ScatterWindowFollowingParams;

constexpr char kName[] = "ScatterWindowFollowing";

constexpr char kDescription[] =
    "Track finder whose every compatibility test is a chi2 with the hit resolution and the\n"
    "multiple scattering expected for the track's slope.\n"
    "\n"
    "Without a magnetic field the momentum of a track is estimated as ``min_pt / sin(theta)``:\n"
    "steep tracks get wide windows and nearly parallel ones narrow windows. Tracks start from\n"
    "the best three-hit seed of each free hit, highest module first (seeds may cross the\n"
    "detector's two halves and skip one module), follow module by module in both directions,\n"
    "fill their gaps by interpolation, and keep their hits when no longer or better candidate\n"
    "claims them. A first pass seeds only lines that point to the beam line, a second seeds\n"
    "freely on the hits left over. The layout (module order, planes, active areas, halves) is\n"
    "learned from each event's hits, so no geometry is built in.\n"
    "\n"
    "Parameters (each ``None`` or missing takes its default):\n"
    "\n";

PyObject* swf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return box(type,
                   parse_documented_parameters<Params>("ScatterWindowFollowing", args, kwargs));
    });
}

// {name: value} in constructor order.
PyObject* swf_parameters(PyObject* self, void*) {
    return guarded([&] {
        static constexpr auto names = detail::accepted_names<Params>();
        Ref values = Ref(parameter_values(unbox<Params>(self)));
        Ref dict = Ref(PyDict_New());
        if (!dict) {
            throw_python_error();
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (PyDict_SetItemString(dict.get(), names[i],
                                     PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i))) !=
                0) {
                throw_python_error();
            }
        }
        return dict.release();
    });
}

PyObject* swf_repr(PyObject* self) {
    return guarded([&] {
        static constexpr auto names = detail::accepted_names<Params>();
        Ref values = Ref(parameter_values(unbox<Params>(self)));
        std::string text = std::string(kName) + "(";
        for (std::size_t i = 0; i < names.size(); ++i) {
            text += std::string(i > 0 ? ", " : "") + names[i] + "=" +
                    detail::repr_text(PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i)));
        }
        return to_python(text + ")");
    });
}

PyObject* swf_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&] {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
            return Ref::borrow(Py_NotImplemented).release();
        }
        Ref mine = Ref(parameter_values(unbox<Params>(self)));
        Ref theirs = Ref(parameter_values(unbox<Params>(other)));
        PyObject* result = PyObject_RichCompare(mine.get(), theirs.get(), op);
        if (result == nullptr) {
            throw_python_error();
        }
        return result;
    });
}

Py_hash_t swf_hash(PyObject* self) {
    return guarded(
        [&] {
            Ref values = Ref(parameter_values(unbox<Params>(self)));
            const Py_hash_t hash = PyObject_Hash(values.get());
            if (hash == -1) {
                throw_python_error();
            }
            return hash;
        },
        Py_hash_t{-1});
}

// The class itself and the values positionally: the class is reachable by its qualified name.
PyObject* swf_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Ref values = Ref(parameter_values(unbox<Params>(self)));
        return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
    });
}

PyMethodDef swf_methods[] = {
    {"__reduce__", swf_reduce, METH_NOARGS, nullptr},
    {"solve", method(solve_method<Params, &solve, kName>), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, event)\n--\n\nThe tracks of one trelmon.DetectorEvent.Event."},
    {"solve_batch", method(solve_batch_method<Params, &solve, kName>),
     METH_FASTCALL | METH_KEYWORDS,
     "solve_batch($self, events)\n--\n\nThe tracks of each event, solved on the worker pool, in "
     "input order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef swf_getset[] = {
    {"parameters", swf_parameters, nullptr, "The parameters, by name, in the constructor's order.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot swf_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(swf_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Params>)},
    {Py_tp_methods, swf_methods},
    {Py_tp_getset, swf_getset},
    {Py_tp_repr, reinterpret_cast<void*>(swf_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(swf_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(swf_hash)},
    {Py_tp_doc, nullptr},  // set from the parameter table
    {0, nullptr},
};

}  // namespace

PyTypeObject* scatter_window_following_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static const std::string doc =
            class_text_signature<Params>(kName) + kDescription + parameter_docs<Params>();
        set_doc_slot(swf_slots, doc);
        type = make_type<Params>("trelmon_tools.ScatterWindowFollowing", kImmutableTypeFlags,
                                 swf_slots);
    }
    return type;
}

}  // namespace trelmon::py
