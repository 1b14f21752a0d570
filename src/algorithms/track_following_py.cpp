// Python class TrackFollowing: an immutable set of parameters over the native solver.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

#include "algorithms/batch_py.hpp"
#include "algorithms/track_following.hpp"

namespace trelmon::py {
namespace {

constexpr char kTrackFollowing[] = "TrackFollowing";

const TrackFollowingParams& params_of(PyObject* self) noexcept {
    return unbox<TrackFollowingParams>(self);
}

PyObject* track_following_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<5> signature{"TrackFollowing.__new__",
                                            {"max_slopes", "max_tolerance", "max_scatter",
                                             "min_track_length", "min_strong_track_length"},
                                            0};
        const auto a = parse_args(signature, args, kwargs);
        const TrackFollowingParams defaults;
        TrackFollowingParams params;
        params.max_slopes = convert_optional(a[0], "max_slopes", defaults.max_slopes);
        params.max_tolerance = convert_optional(a[1], "max_tolerance", defaults.max_tolerance);
        params.max_scatter = convert_optional(a[2], "max_scatter", defaults.max_scatter);
        params.min_track_length =
            convert_optional(a[3], "min_track_length", defaults.min_track_length);
        params.min_strong_track_length =
            convert_optional(a[4], "min_strong_track_length", defaults.min_strong_track_length);
        return box(type, params);
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

// Pickling and copying: the parameters, in the constructor's order.
PyObject* track_following_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const TrackFollowingParams& p = params_of(self);
        return Py_BuildValue("O((dd)(dd)dii)", locator.get(), p.max_slopes.first,
                             p.max_slopes.second, p.max_tolerance.first, p.max_tolerance.second,
                             p.max_scatter, static_cast<int>(p.min_track_length),
                             static_cast<int>(p.min_strong_track_length));
    });
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
    {Py_tp_doc, const_cast<char*>("TrackFollowing(cls, max_slopes=None, max_tolerance=None, "
                                  "max_scatter=None, min_track_length=None, "
                                  "min_strong_track_length=None)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* track_following_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = make_type<TrackFollowingParams>("ReconstructionAlgorithms.TrackFollowing",
                                               kImmutableTypeFlags, track_following_slots);
    }
    return type;
}

}  // namespace trelmon::py
