// solve and solve_batch, written once for every track finder: converts the whole batch, solves
// each event on the worker pool with the interpreter lock released and returns one list of
// tracks per event, in input order. Events are immutable and finders keep no state, so any
// number of Python threads may solve at once.
#pragma once

#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/gil.hpp"
#include "python/types.hpp"

#include <string>
#include <vector>

#include "algorithms/batch.hpp"

namespace trelmon::py {

// The Event objects of `events`, held for the call; workers read their native data in place.
struct EventBatch {
    std::vector<Ref> owners;
    std::vector<const Event*> events;
};

inline EventBatch convert_event_batch(PyObject* events) {
    EventBatch batch;
    try {
        batch.owners.reserve(length_hint(events));
        batch.events.reserve(length_hint(events));
        for_each_item(events, [&](PyObject* item) {
            batch.events.push_back(&event_arg(item, nullptr));
            batch.owners.push_back(Ref::borrow(item));
        });
    } catch (const PythonError&) {
        add_argument_name("events");
        throw;
    }
    return batch;
}

template <class Params, std::vector<Track> (*Solve)(const Params&, const Event&)>
PyObject* solve_batch(const Params& params, PyObject* events) {
    const EventBatch batch = convert_event_batch(events);
    std::vector<std::vector<Track>> results(batch.events.size());
    parallel_for_released(batch.events.size(),
                          [&](std::size_t i) { results[i] = Solve(params, *batch.events[i]); });
    return to_python(std::move(results));
}

// The finders' solve(event) and solve_batch(events) methods, written once. `Finder` is the class
// name shown in argument messages.
template <class Params, std::vector<Track> (*Solve)(const Params&, const Event&),
          const char* Finder>
PyObject* solve_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const std::string function = std::string(Finder) + ".solve";
        const Signature<1> signature{function.c_str(), {"event"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Params& params = unbox<Params>(self);
        const Event& event = event_arg(a[0], "event");
        // On a worker, so that this thread can run signal handlers during a long event.
        std::vector<Track> tracks;
        parallel_for_released(1, [&](std::size_t) { tracks = Solve(params, event); });
        return to_python(std::move(tracks));
    });
}

template <class Params, std::vector<Track> (*Solve)(const Params&, const Event&),
          const char* Finder>
PyObject* solve_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        static const std::string function = std::string(Finder) + ".solve_batch";
        const Signature<1> signature{function.c_str(), {"events"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        return solve_batch<Params, Solve>(unbox<Params>(self), a[0]);
    });
}

}  // namespace trelmon::py
