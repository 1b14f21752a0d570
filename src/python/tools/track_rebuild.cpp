// Tracks rebuilt from their hit ids, as result files store them: the hits are the event's own
// (coordinates and module numbers included) and the module-miss flags are restored, since they
// are part of a track's identity and so of the validator's duplicate detection.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace trelmon::py {
namespace {

// Position in event.hits of each hit id, kNoHit where the event has no hit of that id.
constexpr std::size_t kNoHit = std::numeric_limits<std::size_t>::max();

std::vector<std::size_t> hit_positions(const Event& event) {
    std::vector<std::size_t> positions(event.number_of_hits, kNoHit);
    for (std::size_t i = 0; i < event.hits->size(); ++i) {
        const auto id = static_cast<std::size_t>((*event.hits)[i].id);
        if (id >= positions.size()) {
            positions.resize(id + 1, kNoHit);
        }
        positions[id] = i;
    }
    return positions;
}

std::vector<bool> flags(PyObject* object, const char* argument, std::size_t tracks) {
    if (object == nullptr || object == Py_None) {
        return std::vector<bool>(tracks, false);
    }
    std::vector<bool> values;
    values.reserve(tracks);
    try {
        for_each_item(object,
                      [&](PyObject* item) { values.push_back(Converter<bool>::from(item)); });
    } catch (const PythonError&) {
        add_argument_name(argument);
        throw;
    }
    if (values.size() != tracks) {
        raise(PyExc_ValueError, std::string(argument) + " has " + std::to_string(values.size()) +
                                    " entries for " + std::to_string(tracks) + " tracks");
    }
    return values;
}

// tracks_from_hit_ids(event, hit_ids, lengths, missed_last_module=None,
//                     missed_penultimate_module=None)
PyObject* tracks_from_hit_ids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        static const Signature<5> signature{
            "tracks_from_hit_ids",
            {"event", "hit_ids", "lengths", "missed_last_module", "missed_penultimate_module"},
            3};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Event& event = event_arg(a[0], "event");
        const auto ids = convert<std::vector<std::int32_t>>(a[1], "hit_ids");
        const auto lengths = convert<std::vector<std::uint32_t>>(a[2], "lengths");
        const std::vector<bool> last = flags(a[3], "missed_last_module", lengths.size());
        const std::vector<bool> penultimate =
            flags(a[4], "missed_penultimate_module", lengths.size());

        std::uint64_t total = 0;
        for (const std::uint32_t length : lengths) {
            total += length;
        }
        if (total != ids.size()) {
            raise(PyExc_ValueError, "lengths add up to " + std::to_string(total) +
                                        " hits, but hit_ids holds " + std::to_string(ids.size()));
        }
        const std::vector<std::size_t> positions = hit_positions(event);
        std::vector<Track> tracks(lengths.size());
        std::size_t next = 0;
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            Track& track = tracks[t];
            track.hits.reserve(lengths[t]);
            for (std::uint32_t i = 0; i < lengths[t]; ++i, ++next) {
                const std::int32_t id = ids[next];
                if (id < 0 || static_cast<std::size_t>(id) >= positions.size() ||
                    positions[static_cast<std::size_t>(id)] == kNoHit) {
                    raise(PyExc_ValueError,
                          "hit id " + std::to_string(id) + " is not a hit of the event");
                }
                track.hits.push_back((*event.hits)[positions[static_cast<std::size_t>(id)]]);
            }
            track.missed_last_module = last[t];
            track.missed_penultimate_module = penultimate[t];
        }
        return to_python(std::move(tracks));
    });
}

PyMethodDef functions[] = {
    {"tracks_from_hit_ids", method(tracks_from_hit_ids), METH_FASTCALL | METH_KEYWORDS,
     "tracks_from_hit_ids(event, hit_ids, lengths, missed_last_module=None, "
     "missed_penultimate_module=None)\n--\n\n"
     "Tracks of `event` from their hit ids, concatenated (track i has the next lengths[i]); the\n"
     "hits are the event's own. The flags, one per track, default to False."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* track_rebuild_functions() {
    return functions;
}

}  // namespace trelmon::py
