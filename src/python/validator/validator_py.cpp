// The Validator functions: read event dictionaries and track lists into native records, run the
// shared validation pass, and report it as a fraction, printed lines or dictionaries.
#include "python/args.hpp"
#include "python/gil.hpp"
#include "python/types.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/validator_input.hpp"
#include "validator/event.hpp"
#include "validator/reports.hpp"

namespace trelmon::py {
namespace {

struct ReportArguments {
    std::vector<Ref> events;
    std::vector<std::vector<Track>> tracks;
    bool verbose = false;
};

constexpr std::array<const char*, 3> kReportParameters{"py_events", "py_tracks", "verbose"};

ReportArguments report_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    const Signature<3> signature{function, kReportParameters, 3};
    const auto a = parse_args(signature, args, nargs, kwnames);
    ReportArguments arguments;
    arguments.events = event_dicts(a[0], "py_events");
    arguments.tracks = convert<std::vector<std::vector<Track>>>(a[1], "py_tracks");
    arguments.verbose = convert<bool>(a[2], "verbose");
    return arguments;
}

// ---- Results -----------------------------------------------------------------------------------

void set_item(PyObject* dict, const char* key, PyObject* new_value) {
    Ref value(new_value);
    if (PyDict_SetItemString(dict, key, value.get()) < 0) {
        throw_python_error();
    }
}

Ref new_dict() {
    Ref dict(PyDict_New());
    if (!dict) {
        throw_python_error();
    }
    return dict;
}

Ref new_list() {
    Ref list(PyList_New(0));
    if (!list) {
        throw_python_error();
    }
    return list;
}

void append(PyObject* list, const Ref& item) {
    if (PyList_Append(list, item.get()) < 0) {
        throw_python_error();
    }
}

Ref category_entry(const Efficiency& e) {
    Ref entry = new_dict();
    set_item(entry.get(), "label", to_python(e.label));
    set_item(entry.get(), "n_reco", to_python(e.n_reco));
    set_item(entry.get(), "n_particles", to_python(e.n_particles));
    set_item(entry.get(), "recoeffT", to_python(e.recoeffT));
    set_item(entry.get(), "avg_recoeff", to_python(e.avg_recoeff));
    set_item(entry.get(), "n_clones", to_python(e.n_clones));
    set_item(entry.get(), "clone_percentage", to_python(clone_percentage(e)));
    set_item(entry.get(), "purityT", to_python(e.purityT));
    set_item(entry.get(), "avg_purity", to_python(e.avg_purity));
    set_item(entry.get(), "avg_hiteff", to_python(e.avg_hiteff));
    set_item(entry.get(), "hit_eff_percentage", to_python(hit_eff_percentage(e)));
    return entry;
}

Ref category_entries(const CategoryEfficiencies& efficiencies) {
    Ref list = new_list();
    for (const std::optional<Efficiency>& efficiency : efficiencies) {
        if (efficiency) {
            append(list.get(), category_entry(*efficiency));
        }
    }
    return list;
}

// The exports load each paired event just before its pair and keep only that one alive.
template <class AfterPair>
void export_pass(const ReportArguments& arguments, ValidationTotals& totals,
                 CategoryEfficiencies& efficiencies, AfterPair&& after_pair) {
    const std::size_t pairs = std::min(arguments.events.size(), arguments.tracks.size());
    for (std::size_t i = 0; i < pairs; ++i) {
        const ValidatorEvent event = load_validator_event(arguments.events[i].get());
        {
            const LockReleased released;
            validate_pair(event, arguments.tracks[i], arguments.verbose, totals, efficiencies);
        }
        after_pair(i);
    }
}

Ref export_result(const ReportArguments& arguments, const ValidationTotals& totals,
                  const CategoryEfficiencies& efficiencies) {
    Ref result = new_dict();
    set_item(result.get(), "total_tracks", to_python(totals.total_tracks));
    set_item(result.get(), "total_ghosts", to_python(totals.total_ghosts));
    set_item(result.get(), "overall_ghost_rate", to_python(overall_ghost_rate(totals)));
    set_item(result.get(), "event_avg_ghost_rate",
             to_python(event_average_ghost_rate(totals, arguments.events.size())));
    set_item(result.get(), "categories", category_entries(efficiencies).release());
    return result;
}

// ---- The four functions ------------------------------------------------------------------------

PyObject* print_validation_summary(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&] {
        const ReportArguments arguments =
            report_arguments("print_validation_summary", args, nargs, kwnames);
        // Every event is read before the pass, so a bad one fails the call before any output.
        std::vector<ValidatorEvent> events;
        events.reserve(arguments.events.size());
        for (const Ref& event : arguments.events) {
            events.push_back(load_validator_event(event.get()));
        }
        ValidationTotals totals;
        CategoryEfficiencies efficiencies;
        {
            const LockReleased released;
            const std::size_t pairs = std::min(events.size(), arguments.tracks.size());
            for (std::size_t i = 0; i < pairs; ++i) {
                validate_pair(events[i], arguments.tracks[i], arguments.verbose, totals,
                              efficiencies);
            }
            for (const std::string& line : summary_lines(totals, efficiencies, events.size())) {
                write_stdout(line);
            }
        }
        return Ref::borrow(Py_None).release();
    });
}

PyObject* compute_tracking_efficiency(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&] {
        static const Signature<3> signature{
            "compute_tracking_efficiency", {"py_events", "py_tracks", "particle_type"}, 3};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const std::vector<Ref> dicts = event_dicts(a[0], "py_events");
        const auto tracks = convert<std::vector<std::vector<Track>>>(a[1], "py_tracks");
        const auto particle_type = convert<std::string>(a[2], "particle_type");
        std::vector<ValidatorEvent> events;
        events.reserve(dicts.size());
        for (const Ref& event : dicts) {
            events.push_back(load_validator_event(event.get()));
        }
        double efficiency = 0.0;
        {
            const LockReleased released;
            efficiency = tracking_efficiency(events, tracks, particle_type);
        }
        return to_python(efficiency);
    });
}

PyObject* export_validation_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&] {
        const ReportArguments arguments =
            report_arguments("export_validation_to_json", args, nargs, kwnames);
        ValidationTotals totals;
        CategoryEfficiencies efficiencies;
        export_pass(arguments, totals, efficiencies, [](std::size_t) {});
        return export_result(arguments, totals, efficiencies).release();
    });
}

PyObject* export_detailed_metrics_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return guarded([&] {
        const ReportArguments arguments =
            report_arguments("export_detailed_metrics_json", args, nargs, kwnames);
        ValidationTotals totals;
        CategoryEfficiencies efficiencies;
        Ref per_event = new_dict();
        export_pass(arguments, totals, efficiencies, [&](std::size_t i) {
            set_item(per_event.get(), std::to_string(i + 1).c_str(),
                     category_entries(efficiencies).release());
        });
        Ref result = export_result(arguments, totals, efficiencies);
        set_item(result.get(), "events", per_event.release());
        return result.release();
    });
}

PyMethodDef validator_methods[] = {
    {"print_validation_summary", method(print_validation_summary), METH_FASTCALL | METH_KEYWORDS,
     "print_validation_summary(py_events, py_tracks, verbose)\n--\n\n"},
    {"compute_tracking_efficiency", method(compute_tracking_efficiency),
     METH_FASTCALL | METH_KEYWORDS,
     "compute_tracking_efficiency(py_events, py_tracks, particle_type)\n--\n\nExposed to Python: "
     "computes and returns the reconstruction efficiency (a value in [0, 1])\nfor a given "
     "particle type from a set of event dictionaries and corresponding tracks."},
    {"export_validation_to_json", method(export_validation_to_json), METH_FASTCALL | METH_KEYWORDS,
     "export_validation_to_json(py_events, py_tracks, verbose)\n--\n\n"},
    {"export_detailed_metrics_json", method(export_detailed_metrics_json),
     METH_FASTCALL | METH_KEYWORDS,
     "export_detailed_metrics_json(py_events, py_tracks, verbose)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* validator_functions() {
    return validator_methods;
}

}  // namespace trelmon::py
