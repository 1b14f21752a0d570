// truth_tables(events, tracks): the validator's matching of every (event dictionary, track
// list) pair as columns, one row per track and one per Monte Carlo row. Events are read exactly
// as the Validator functions read them, so the tables and the validator's figures agree.
#include "python/args.hpp"
#include "python/tools/column_dict.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"
#include "python/validator_input.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "validator/truth.hpp"

namespace trelmon::py {
namespace {

std::int32_t index(std::size_t value) {
    return static_cast<std::int32_t>(value);
}

std::int32_t optional_index(std::uint32_t value) {
    return value == kNoIndex ? -1 : static_cast<std::int32_t>(value);
}

// (eta, phi) of the straight line from the track's innermost to its outermost hit by |z|, the
// way a particle from the collision point travels; NaN without two such hits in the event.
std::pair<double, double> direction(const Track& track, const ValidatorEvent& event) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = event.hits.size();
    const Hit* inner = nullptr;
    const Hit* outer = nullptr;
    for (const Hit& hit : track.hits) {
        if (hit.id < 0 || static_cast<std::size_t>(hit.id) >= n) {
            return {kNaN, kNaN};
        }
        const Hit& own = event.hits[static_cast<std::size_t>(hit.id)];
        if (inner == nullptr || std::fabs(own.z) < std::fabs(inner->z)) {
            inner = &own;
        }
        if (outer == nullptr || std::fabs(own.z) > std::fabs(outer->z)) {
            outer = &own;
        }
    }
    if (inner == nullptr || inner == outer) {
        return {kNaN, kNaN};
    }
    const double dx = outer->x - inner->x;
    const double dy = outer->y - inner->y;
    return {std::asinh((outer->z - inner->z) / std::hypot(dx, dy)), std::atan2(dy, dx)};
}

struct TrackColumns {
    std::vector<std::int32_t> event, track, n_hits, hit_ids, particle, duplicate_of;
    std::vector<std::uint8_t> missed_last_module, missed_penultimate_module, ghost;
    std::vector<std::uint64_t> key;
    std::vector<double> weight, eta, phi;

    void add(std::size_t e, const std::vector<Track>& tracks, const EventTruth& truth,
             const ValidatorEvent& source) {
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            const Track& in = tracks[t];
            const TrackTruth& out = truth.tracks[t];
            event.push_back(index(e));
            track.push_back(index(t));
            n_hits.push_back(index(in.hits.size()));
            for (const Hit& hit : in.hits) {
                hit_ids.push_back(hit.id);
            }
            missed_last_module.push_back(in.missed_last_module);
            missed_penultimate_module.push_back(in.missed_penultimate_module);
            particle.push_back(optional_index(out.particle));
            key.push_back(out.particle == kNoIndex ? 0 : source.particles[out.particle].key);
            weight.push_back(out.weight);
            ghost.push_back(out.ghost);
            duplicate_of.push_back(optional_index(out.duplicate_of));
            const auto [track_eta, track_phi] = direction(in, source);
            eta.push_back(track_eta);
            phi.push_back(track_phi);
        }
    }

    PyObject* to_python() const {
        ColumnDict columns;
        columns.add("event", event);
        columns.add("track", track);
        columns.add("n_hits", n_hits);
        columns.add("hit_ids", hit_ids);
        columns.add("missed_last_module", missed_last_module);
        columns.add("missed_penultimate_module", missed_penultimate_module);
        columns.add("particle", particle);
        columns.add("key", key);
        columns.add("weight", weight);
        columns.add("ghost", ghost);
        columns.add("duplicate_of", duplicate_of);
        columns.add("eta", eta);
        columns.add("phi", phi);
        return columns.release();
    }
};

struct ParticleColumns {
    std::vector<std::int32_t> event, particle, pid, charge, n_hits, hit_ids, best_track, clones;
    std::vector<std::uint64_t> key;
    std::vector<double> p, pt, eta, phi, best_weight, hit_efficiency;
    std::vector<std::uint8_t> isLong, isDown, hasVelo, hasUT, hasScifi, fromBeautyDecay,
        fromCharmDecay, fromStrangeDecay, over5GeV, reconstructed;
    std::array<std::vector<std::uint8_t>, kCategoryCount> in_category;
    std::array<std::vector<std::int32_t>, kCategoryCount> category_clones;

    void add(std::size_t e, const ValidatorEvent& source, const EventTruth& truth) {
        for (std::size_t r = 0; r < source.particles.size(); ++r) {
            const MCParticle& m = source.particles[r];
            const ParticleTruth& out = truth.particles[r];
            event.push_back(index(e));
            particle.push_back(index(r));
            key.push_back(m.key);
            pid.push_back(m.pid);
            p.push_back(m.p);
            pt.push_back(m.pt);
            eta.push_back(m.eta);
            phi.push_back(m.phi);
            charge.push_back(m.charge);
            isLong.push_back(m.isLong);
            isDown.push_back(m.isDown);
            hasVelo.push_back(m.hasVelo);
            hasUT.push_back(m.hasUT);
            hasScifi.push_back(m.hasScifi);
            fromBeautyDecay.push_back(m.fromBeautyDecay);
            fromCharmDecay.push_back(m.fromCharmDecay);
            fromStrangeDecay.push_back(m.fromStrangeDecay);
            over5GeV.push_back(m.over5GeV);
            n_hits.push_back(index(m.hits.size()));
            for (const Hit& hit : m.hits) {
                hit_ids.push_back(hit.id);
            }
            for (std::size_t c = 0; c < kCategoryCount; ++c) {
                in_category[c].push_back((out.categories >> c) & 1u);
                category_clones[c].push_back(static_cast<std::int32_t>(out.category_clones[c]));
            }
            reconstructed.push_back(out.reconstructed);
            best_track.push_back(optional_index(out.best_track));
            best_weight.push_back(out.best_weight);
            clones.push_back(static_cast<std::int32_t>(out.clones));
            hit_efficiency.push_back(out.hit_efficiency);
        }
    }

    PyObject* to_python() const {
        ColumnDict columns;
        columns.add("event", event);
        columns.add("particle", particle);
        columns.add("key", key);
        columns.add("pid", pid);
        columns.add("p", p);
        columns.add("pt", pt);
        columns.add("eta", eta);
        columns.add("phi", phi);
        columns.add("charge", charge);
        columns.add("isLong", isLong);
        columns.add("isDown", isDown);
        columns.add("hasVelo", hasVelo);
        columns.add("hasUT", hasUT);
        columns.add("hasScifi", hasScifi);
        columns.add("fromBeautyDecay", fromBeautyDecay);
        columns.add("fromCharmDecay", fromCharmDecay);
        columns.add("fromStrangeDecay", fromStrangeDecay);
        columns.add("over5GeV", over5GeV);
        columns.add("n_hits", n_hits);
        columns.add("hit_ids", hit_ids);
        for (std::size_t c = 0; c < kCategoryCount; ++c) {
            columns.add(std::string(categories()[c].label), in_category[c]);
        }
        columns.add("reconstructed", reconstructed);
        columns.add("best_track", best_track);
        columns.add("best_weight", best_weight);
        columns.add("clones", clones);
        for (std::size_t c = 0; c < kCategoryCount; ++c) {
            columns.add("clones[" + std::string(categories()[c].label) + "]", category_clones[c]);
        }
        columns.add("hit_efficiency", hit_efficiency);
        return columns.release();
    }
};

PyObject* truth_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<2> signature{"truth_tables", {"events", "tracks"}, 2};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const std::vector<Ref> events = event_dicts(a[0], "events");
        const auto tracks = convert<std::vector<std::vector<Track>>>(a[1], "tracks");
        TrackColumns track_columns;
        ParticleColumns particle_columns;
        const std::size_t pairs = std::min(events.size(), tracks.size());
        for (std::size_t e = 0; e < pairs; ++e) {
            const ValidatorEvent event = load_validator_event(events[e].get());
            const EventTruth truth = event_truth(event, tracks[e]);
            track_columns.add(e, tracks[e], truth, event);
            particle_columns.add(e, event, truth);
        }
        Ref tracks_out(track_columns.to_python());
        Ref particles_out(particle_columns.to_python());
        return Py_BuildValue("(OO)", tracks_out.get(), particles_out.get());
    });
}

PyMethodDef functions[] = {
    {"truth_tables", method(truth_tables), METH_FASTCALL | METH_KEYWORDS,
     "truth_tables(events, tracks)\n--\n\n"
     "The validator's matching of each (event dictionary, track list) pair as two column sets,\n"
     "tracks and particles: {name: (numpy dtype, bytes)}. Lists are flattened: each row's\n"
     "hit_ids are the next n_hits values. Missing indices are -1; trelmon_tools.truth wraps\n"
     "them into tables."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* truth_table_functions() {
    return functions;
}

}  // namespace trelmon::py
