// validation_terms(events, tracks): what each (event dictionary, track list) pair adds to the
// validator's figures, taken from the validator's own pass run on that pair alone. A caller that
// splits a sample into parts can fold these terms in event order and obtain the figures of one
// pass over the whole sample bit for bit: the counts add, and the floating-point sums are the
// very per-event terms the pass adds to its running sums.
#include "python/args.hpp"
#include "python/gil.hpp"
#include "python/tools/column_dict.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"
#include "python/validator_input.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "validator/reports.hpp"

namespace trelmon::py {
namespace {

// Per pair: tracks, ghosts, ghost fraction. Per pair and category (row-major, categories in
// report order): whether the pair holds a particle of the category, and the Efficiency record
// of the category after this pair alone.
struct Terms {
    std::vector<std::uint64_t> tracks, ghosts;
    std::vector<double> ghost_fraction;
    std::vector<std::uint8_t> present;
    std::vector<std::uint64_t> n_particles, n_reco, n_clones, n_hiteff;
    std::vector<double> purity_sum, hiteff_sum, avg_purity, avg_hiteff;

    void add(const ValidationTotals& totals, const CategoryEfficiencies& efficiencies) {
        tracks.push_back(totals.total_tracks);
        ghosts.push_back(totals.total_ghosts);
        ghost_fraction.push_back(totals.ghost_rate_sum);
        for (const std::optional<Efficiency>& e : efficiencies) {
            const Efficiency none;
            const Efficiency& value = e ? *e : none;
            present.push_back(e.has_value());
            n_particles.push_back(value.n_particles);
            n_reco.push_back(value.n_reco);
            n_clones.push_back(value.n_clones);
            n_hiteff.push_back(value.n_hiteff);
            purity_sum.push_back(value.purity_sum);
            hiteff_sum.push_back(value.hiteff_sum);
            avg_purity.push_back(value.avg_purity);
            avg_hiteff.push_back(value.avg_hiteff);
        }
    }

    PyObject* to_python() const {
        ColumnDict columns;
        columns.add("tracks", tracks);
        columns.add("ghosts", ghosts);
        columns.add("ghost_fraction", ghost_fraction);
        columns.add("present", present);
        columns.add("n_particles", n_particles);
        columns.add("n_reco", n_reco);
        columns.add("n_clones", n_clones);
        columns.add("purity_sum", purity_sum);
        columns.add("hiteff_sum", hiteff_sum);
        columns.add("n_hiteff", n_hiteff);
        columns.add("avg_purity", avg_purity);
        columns.add("avg_hiteff", avg_hiteff);
        return columns.release();
    }
};

// The terms of the first `pairs` pairs, each validated on the worker pool on its own and added
// in event order afterwards: the same whatever the number of threads. `event_of(e)` gives pair
// e's validator event without touching a Python object.
template <class EventOf>
PyObject* pair_terms(std::size_t pairs, const std::vector<std::vector<Track>>& tracks,
                     const EventOf& event_of) {
    std::vector<ValidationTotals> totals(pairs);
    std::vector<CategoryEfficiencies> efficiencies(pairs);
    parallel_for_released(pairs, [&](std::size_t e) {
        validate_pair(event_of(e), tracks[e], false, totals[e], efficiencies[e]);
    });
    Terms terms;
    for (std::size_t e = 0; e < pairs; ++e) {
        terms.add(totals[e], efficiencies[e]);
    }
    return terms.to_python();
}

PyObject* validation_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<2> signature{"validation_terms", {"events", "tracks"}, 2};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const std::vector<Ref> events = event_dicts(a[0], "events");
        const auto tracks = convert<std::vector<std::vector<Track>>>(a[1], "tracks");
        const std::size_t pairs = std::min(events.size(), tracks.size());
        // Reading the dictionaries needs the interpreter; matching does not, so the pairs are
        // matched on the worker pool once every event is read.
        std::vector<ValidatorEvent> loaded;
        loaded.reserve(pairs);
        for (std::size_t e = 0; e < pairs; ++e) {
            loaded.push_back(load_validator_event(events[e].get()));
        }
        return pair_terms(pairs, tracks,
                          [&](std::size_t e) -> const ValidatorEvent& { return loaded[e]; });
    });
}

// The same terms for a batch given as columns (see ColumnarValidatorInput): no Python object is
// made or read per particle, so the events are loaded on the worker pool too.
PyObject* validation_terms_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&] {
        static const Signature<2> signature{"validation_terms_columns", {"columns", "tracks"}, 2};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const ColumnarValidatorInput input(a[0]);
        const auto tracks = convert<std::vector<std::vector<Track>>>(a[1], "tracks");
        const std::size_t pairs = std::min(input.size(), tracks.size());
        return pair_terms(pairs, tracks, [&](std::size_t e) { return input.event(e); });
    });
}

PyMethodDef functions[] = {
    {"validation_terms", method(validation_terms), METH_FASTCALL | METH_KEYWORDS,
     "validation_terms(events, tracks)\n--\n\n"
     "What each (event dictionary, track list) pair adds to the validator's figures, as\n"
     "columns {name: (numpy dtype, bytes)}: per pair tracks, ghosts and ghost_fraction; per\n"
     "pair and category (row-major, categories in report order) present and the category's\n"
     "Efficiency fields after that pair alone."},
    {"validation_terms_columns", method(validation_terms_columns), METH_FASTCALL | METH_KEYWORDS,
     "validation_terms_columns(columns, tracks)\n--\n\n"
     "validation_terms for events given as columns: {\"module_prefix_sum\", \"x\", \"y\",\n"
     "\"z\": (offsets, values)}, each Monte Carlo column present as \"mc_<name>\": (named,\n"
     "offsets, values), \"mc_hits\": (named, offsets, hit offsets, values). A column that\n"
     "does not fit raises ValueError naming the event."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* validation_term_functions() {
    return functions;
}

}  // namespace trelmon::py
