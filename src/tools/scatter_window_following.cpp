// The scatter-window following finder's native solvers. trelmon_tools.ScatterWindowFollowing
// checks and holds the parameters; these take them, in its constructor's order, on every call.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/types.hpp"
#include "tools/features.hpp"

#include <vector>

#include "algorithms/batch_py.hpp"
#include "algorithms/scatter_window_following/scatter_window_following.hpp"

namespace trelmon::py {
namespace {

constexpr std::size_t kParameters = 8;
constexpr std::size_t kArguments = kParameters + 1;

ScatterWindowFollowingParams parameters(const std::array<PyObject*, kArguments>& a) {
    ScatterWindowFollowingParams p;
    p.hit_resolution = convert<double>(a[1], "hit_resolution");
    p.min_pt = convert<double>(a[2], "min_pt");
    p.module_material = convert<double>(a[3], "module_material");
    p.max_chi2 = convert<double>(a[4], "max_chi2");
    p.max_slope = convert<double>(a[5], "max_slope");
    p.max_beam_distance = convert<double>(a[6], "max_beam_distance");
    p.max_missed_modules = convert<std::uint32_t>(a[7], "max_missed_modules");
    p.acceptance_margin = convert<double>(a[8], "acceptance_margin");
    return p;
}

template <std::size_t N>
constexpr Signature<N> signature(const char* function, const char* first) {
    return {function,
            {first, "hit_resolution", "min_pt", "module_material", "max_chi2", "max_slope",
             "max_beam_distance", "max_missed_modules", "acceptance_margin"},
            N};
}

PyObject* solve_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const auto sig = signature<kArguments>("scatter_window_following_solve", "event");
        const auto a = parse_args(sig, args, nargs, kwnames);
        const Event& event = event_arg(a[0], "event");
        return to_python(solve(parameters(a), event));
    });
}

PyObject* solve_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const auto sig =
            signature<kArguments>("scatter_window_following_solve_batch", "events");
        const auto a = parse_args(sig, args, nargs, kwnames);
        const ScatterWindowFollowingParams p = parameters(a);
        return solve_batch<ScatterWindowFollowingParams, &solve>(p, a[0]);
    });
}

PyMethodDef functions[] = {
    {"scatter_window_following_solve", method(solve_one), METH_FASTCALL | METH_KEYWORDS,
     "scatter_window_following_solve(event, hit_resolution, min_pt, module_material, max_chi2, "
     "max_slope, max_beam_distance, max_missed_modules, acceptance_margin)\n--\n\n"
     "Tracks of one event; see trelmon_tools.ScatterWindowFollowing."},
    {"scatter_window_following_solve_batch", method(solve_many), METH_FASTCALL | METH_KEYWORDS,
     "scatter_window_following_solve_batch(events, hit_resolution, min_pt, module_material, "
     "max_chi2, max_slope, max_beam_distance, max_missed_modules, acceptance_margin)\n--\n\n"
     "Tracks of each event, solved on the worker pool, in input order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* scatter_window_following_functions() {
    return functions;
}

}  // namespace trelmon::py
