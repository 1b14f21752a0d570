// Python class TrackFollowing: an immutable set of parameters over the native solver.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

#include "algorithms/track_following.hpp"
#include "python/algorithms/parameters.hpp"
#include "python/algorithms/solve_methods.hpp"

namespace trelmon::py {
namespace {

constexpr char kTrackFollowing[] = "TrackFollowing";

const TrackFollowingParams& params_of(PyObject* self) noexcept {
    return unbox<TrackFollowingParams>(self);
}

PyObject* track_following_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return box(type,
                   parse_parameters<TrackFollowingParams>("TrackFollowing.__new__", args, kwargs));
    });
}

PyObject* track_following_are_compatible(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return guarded([&] {
        static const Signature<2> signature{"TrackFollowing.are_compatible", {"hit0", "hit1"}, 2};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Hit hit0 = convert<Hit>(a[0], "hit0");
        const Hit hit1 = convert<Hit>(a[1], "hit1");
        return to_python(are_compatible(params_of(self), hit0, hit1));
    });
}

PyObject* track_following_check_tolerance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guarded([&] {
        static const Signature<3> signature{
            "TrackFollowing.check_tolerance", {"hit0", "hit1", "hit2"}, 3};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Hit hit0 = convert<Hit>(a[0], "hit0");
        const Hit hit1 = convert<Hit>(a[1], "hit1");
        const Hit hit2 = convert<Hit>(a[2], "hit2");
        return to_python(check_tolerance(params_of(self), hit0, hit1, hit2));
    });
}

PyObject* track_following_reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce_parameters<TrackFollowingParams>(self); });
}

PyMethodDef track_following_methods[] = {
    {"__reduce__", track_following_reduce, METH_NOARGS, nullptr},
    {"are_compatible", method(track_following_are_compatible), METH_FASTCALL | METH_KEYWORDS,
     "are_compatible($self, hit0, hit1)\n--\n\n"},
    {"check_tolerance", method(track_following_check_tolerance), METH_FASTCALL | METH_KEYWORDS,
     "check_tolerance($self, hit0, hit1, hit2)\n--\n\n"},
    {"solve", method(solve_method<TrackFollowingParams, &solve, kTrackFollowing>),
     METH_FASTCALL | METH_KEYWORDS, "solve($self, event)\n--\n\n"},
    {"solve_batch", method(solve_batch_method<TrackFollowingParams, &solve, kTrackFollowing>),
     METH_FASTCALL | METH_KEYWORDS, "solve_batch($self, events)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot track_following_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(track_following_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<TrackFollowingParams>)},
    {Py_tp_methods, track_following_methods},
    {Py_tp_doc, nullptr},  // set from the parameter table
    {0, nullptr},
};

}  // namespace

PyTypeObject* track_following_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static const std::string doc = class_text_signature<TrackFollowingParams>("TrackFollowing");
        set_doc_slot(track_following_slots, doc);
        type = make_type<TrackFollowingParams>("ReconstructionAlgorithms.TrackFollowing",
                                               kImmutableTypeFlags, track_following_slots);
    }
    return type;
}

}  // namespace trelmon::py
