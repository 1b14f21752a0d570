// events_from_columns(columns): the Events of a batch of events given as columns (a Parquet row
// group), built on the worker pool. Only reading the columns and making the Python objects need
// the interpreter; each event is built exactly as Event(d) builds it from the same cells.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/columns.hpp"
#include "python/gil.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_errors.hpp"

namespace trelmon::py {
namespace {

// One column of per-event lists: values[offsets[e] .. offsets[e + 1]) are event e's.
template <class T>
struct ListColumn {
    std::vector<std::size_t> offsets;
    std::unique_ptr<ColumnView<T>> values;

    std::vector<T> of(std::size_t e) const {
        const auto all = values->values();
        return {all.begin() + static_cast<std::ptrdiff_t>(offsets[e]),
                all.begin() + static_cast<std::ptrdiff_t>(offsets[e + 1])};
    }
};

// The offsets and values at positions `at` and `at` + 1 of the column's tuple.
template <class T>
ListColumn<T> read_list_column(PyObject* tuple, Py_ssize_t at, const char* name,
                               std::size_t events) {
    ListColumn<T> column;
    column.values = exact_values<T>(PyTuple_GET_ITEM(tuple, at + 1), name);
    column.offsets =
        checked_offsets(PyTuple_GET_ITEM(tuple, at), name, events, column.values->size());
    return column;
}

// Inputs: "description" (a list of str, one per event), "module_prefix_sum" (int64) and "x",
// "y", "z" (float64) as (offsets, values), optionally "t" as (present, offsets, values) with one
// byte per event and "montecarlo", a list of one object per event. Output: one Event per
// description, in order, holding its "montecarlo" object (None without the list).
// An event that Event(d) would refuse (a negative prefix sum entry, lists too short) raises
// ValueError naming its position; no Event is returned then.
PyObject* events_from_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        static const Signature<1> signature{"events_from_columns", {"columns"}, 1};
        PyObject* columns = parse_args(signature, args, nargs, kwnames)[0];
        if (!PyDict_Check(columns)) {
            raise_cannot_convert(columns, "PyDict", "columns");
        }
        PyObject* descriptions_item = PyDict_GetItemString(columns, "description");
        if (descriptions_item == nullptr) {
            raise(PyExc_ValueError, "no column \"description\"");
        }
        const Ref held_descriptions = Ref::borrow(descriptions_item);
        const auto descriptions =
            convert<std::vector<std::string>>(held_descriptions.get(), "description");
        const std::size_t events = descriptions.size();

        const Ref prefix_pair = column_tuple(columns, "module_prefix_sum", 2, true);
        const auto prefix =
            read_list_column<std::uint64_t>(prefix_pair.get(), 0, "module_prefix_sum", events);
        std::optional<ListColumn<double>> coordinates[3];
        const char* const names[3] = {"x", "y", "z"};
        Ref held[3];
        for (int c = 0; c < 3; ++c) {
            held[c] = column_tuple(columns, names[c], 2, true);
            coordinates[c] = read_list_column<double>(held[c].get(), 0, names[c], events);
        }
        const Ref time_triple = column_tuple(columns, "t", 3, false);
        std::optional<ListColumn<double>> times;
        std::vector<std::size_t> time_present;
        if (time_triple) {
            time_present = size_column(PyTuple_GET_ITEM(time_triple.get(), 0));
            if (time_present.size() != events) {
                refuse_column("t", "present must be one byte per event");
            }
            times = read_list_column<double>(time_triple.get(), 1, "t", events);
        }

        // Held one by one: other threads may edit the list while the events are built.
        std::vector<Ref> tables;
        if (PyObject* list = PyDict_GetItemString(columns, "montecarlo")) {
            if (!PyList_Check(list) || static_cast<std::size_t>(PyList_GET_SIZE(list)) != events) {
                refuse_column("montecarlo", "must be a list of one object per event");
            }
            for (std::size_t e = 0; e < events; ++e) {
                tables.push_back(Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(e))));
            }
        }

        std::vector<std::optional<Event>> built(events);
        parallel_for_released(events, [&](std::size_t e) {
            EventColumns event;
            event.module_prefix_sum = prefix.of(e);
            for (const std::size_t entry : event.module_prefix_sum) {
                // A negative int64 reads as a huge size: Event(d) refuses it.
                if (entry > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) {
                    return;
                }
            }
            event.description = descriptions[e];
            event.x = coordinates[0]->of(e);
            event.y = coordinates[1]->of(e);
            event.z = coordinates[2]->of(e);
            if (times && time_present[e] != 0) {
                event.t = times->of(e);
            }
            try {
                built[e] = build_event(std::move(event));
            } catch (const Error&) {
                // left empty: refused below, in event order
            }
        });
        for (std::size_t e = 0; e < events; ++e) {
            if (!built[e]) {
                raise(PyExc_ValueError, "event " + std::to_string(e) + " is not a valid event");
            }
        }
        Ref list(PyList_New(static_cast<Py_ssize_t>(events)));
        if (!list) {
            throw_python_error();
        }
        for (std::size_t e = 0; e < events; ++e) {
            PyObject* table = tables.empty() ? Py_None : tables[e].get();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e),
                            new_event(event_type(), std::move(*built[e]), table));
        }
        return list.release();
    });
}

PyMethodDef functions[] = {
    {"events_from_columns", method(events_from_columns), METH_FASTCALL | METH_KEYWORDS,
     "events_from_columns(columns)\n--\n\n"
     "trelmon Events of a batch of events given as columns: \"description\" a list of str,\n"
     "\"module_prefix_sum\" (int64) and \"x\", \"y\", \"z\" (float64) as (offsets, values),\n"
     "optionally \"t\" as (present, offsets, values), present one byte per event, and\n"
     "\"montecarlo\" a list of one object per event (None without it). Built on the worker\n"
     "pool, each as Event of the same cells would be; ValueError names the first event that\n"
     "Event would refuse, or the column that does not fit."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* event_batch_functions() {
    return functions;
}

}  // namespace trelmon::py
