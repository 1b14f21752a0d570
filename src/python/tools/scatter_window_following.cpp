// The scatter-window following finder's native solvers. trelmon_tools.ScatterWindowFollowing
// checks and holds the parameters and passes them as keywords on every call; the keywords and
// their defaults come from the parameter table beside ScatterWindowFollowingParams.
#include "python/algorithms/parameters.hpp"
#include "python/algorithms/solve_methods.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include "algorithms/scatter_window_following/scatter_window_following.hpp"

namespace trelmon::py {
namespace {

// The first positional argument, the rest of the call being the finder's keywords.
struct Call {
    PyObject* subject;
    ScatterWindowFollowingParams params;
};

Call split(const char* function, const char* subject, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 1) {
        raise(PyExc_TypeError, std::string(function) + "() takes 1 positional argument (" +
                                   subject + ") and the finder's keywords");
    }
    Ref none(PyTuple_New(0));
    if (!none) {
        throw_python_error();
    }
    return {PyTuple_GET_ITEM(args, 0),
            parse_parameters<ScatterWindowFollowingParams>(function, none.get(), kwargs)};
}

PyObject* solve_one(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Call call = split("scatter_window_following_solve", "event", args, kwargs);
        return to_python(solve(call.params, event_arg(call.subject, "event")));
    });
}

PyObject* solve_many(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Call call = split("scatter_window_following_solve_batch", "events", args, kwargs);
        return solve_batch<ScatterWindowFollowingParams, &solve>(call.params, call.subject);
    });
}

PyMethodDef functions[] = {
    {"scatter_window_following_solve", method(solve_one), METH_VARARGS | METH_KEYWORDS,
     "scatter_window_following_solve(event, **parameters)\n--\n\n"
     "Tracks of one event; see trelmon_tools.ScatterWindowFollowing."},
    {"scatter_window_following_solve_batch", method(solve_many), METH_VARARGS | METH_KEYWORDS,
     "scatter_window_following_solve_batch(events, **parameters)\n--\n\n"
     "Tracks of each event, solved on the worker pool, in input order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* scatter_window_following_functions() {
    return functions;
}

}  // namespace trelmon::py
