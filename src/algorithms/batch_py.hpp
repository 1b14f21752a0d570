// solve_batch, written once for every track finder: converts the whole batch, solves each event
// on the worker pool and returns one list of tracks per event, in input order.
#pragma once

#include "python/args.hpp"
#include "python/classes.hpp"

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
    parallel_for(batch.events.size(),
                 [&](std::size_t i) { results[i] = Solve(params, *batch.events[i]); });
    return to_python(std::move(results));
}

}  // namespace trelmon::py
