// The walk over the stations (Solver), on the parts in search_by_triplet_trie/: hit ids and the
// scatter recipe (hits.hpp), the third-hit index (candidate_index.hpp), the second hits
// (second_hits.hpp), the screen of predictions (screen.hpp) and the tries (trie.hpp).
#include "algorithms/search_by_triplet_trie.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "algorithms/cancel.hpp"
#include "algorithms/common/rounding.hpp"
#include "algorithms/search_by_triplet_trie/candidate_index.hpp"
#include "algorithms/search_by_triplet_trie/hits.hpp"
#include "algorithms/search_by_triplet_trie/screen.hpp"
#include "algorithms/search_by_triplet_trie/second_hits.hpp"
#include "algorithms/search_by_triplet_trie/trie.hpp"

namespace trelmon {
namespace {

using sbt::CandidateIndex;
using sbt::finite;
using sbt::HitId;
using sbt::kNone;
using sbt::nearest_to_line;
using sbt::SecondHits;
using sbt::Trie;

constexpr std::size_t kStations = kNumberOfModules / 2;  // also the number of trie slots

// A station's indexes, built on first use in a solve. They live in the thread's workspace, so
// their buffers serve event after event.
struct StationIndexes {
    // The station's finite hits by plane; when every hit is finite this is also the grouping
    // of all of them, which the second hits take.
    ZPlanes finite;
    ZPlanes all;           // all hits by plane, grouped only when some hit is not finite
    SecondHits second;     // the station as the one below a trie's station
    CandidateIndex third;  // the station as the one third hits come from
    bool grouped = false, has_second = false, has_third = false;
};

// A pair of modules, 2s and 2s + 1. The event's module ranges are ordered and adjacent, so a
// station's hits are one range of the event's hit list and a hit's position on its station is
// its id minus the station's first id.
struct Station {
    std::span<const Hit> hits;
    HitId first = 0;  // id of hits[0]
    StationIndexes* indexes = nullptr;

    // The position of the hit with this id on the station, or kNone.
    std::uint32_t position_of(HitId id) const noexcept {
        return id - first < hits.size() ? id - first : kNone;
    }
};

// The stations a trie slot's trie is made from: first, second and third hits.
struct TrieSource {
    std::size_t a = 0, b = 0, c = 0;
};

// A track's hits, held in place: a seed at station s has three and gains at most one at each
// station below it down to station 2, s + 1 in all.
class TrackHits {
  public:
    TrackHits(HitId a, HitId b, HitId c) noexcept : ids_{a, b, c}, size_(3) {}

    void push_back(HitId id) noexcept {
        assert(size_ < ids_.size());
        ids_[size_++] = id;
    }
    std::size_t size() const noexcept { return size_; }
    HitId operator[](std::size_t i) const noexcept { return ids_[i]; }
    HitId back() const noexcept { return ids_[size_ - 1]; }
    const HitId* begin() const noexcept { return ids_.data(); }
    const HitId* end() const noexcept { return ids_.data() + size_; }

  private:
    std::array<HitId, kStations> ids_{};
    std::uint32_t size_ = 0;
};

struct OpenTrack {
    TrackHits hits;
    bool missed_last_module = false;
    bool missed_penultimate_module = false;
    std::uint8_t missed_count = 0;
};

// What a solve keeps between events on one thread: every buffer below grows to the largest event
// seen and is reused, so a solve allocates little more than its result.
struct Workspace {
    std::array<StationIndexes, kStations> indexes;
    Trie trie;
    // Scratch of add_triplets, per second hit of the current station.
    std::vector<double> best_scatter;
    std::vector<std::uint32_t> best_third, touched, passed, cells;
    std::vector<std::uint8_t> used;  // by id
    std::vector<OpenTrack> open, output, weak;
};

// Not inlined, so the thread-local address is looked up once per solve.
[[gnu::noinline]] Workspace& workspace() {
    thread_local Workspace ws;
    return ws;
}

// One solve. A trie is only ever read in two ways: a lookup of a track's last two hits, and the
// seeding pass, which skips every first hit already in the used-hit set. Trie contents do not
// depend on the walk, so both are evaluated when the walk reaches the station: a lookup by
// finding the best third hit of that one pair, seeding by building the trie's groups for the
// first hits still unused, in the same order and with the same entries a full trie would have.
//
// Station s's trie (slot s, for s >= 2) takes first hits from station s, second hits from
// station s - 1 and third hits from station s - 2. When a track is not extended through the
// trie at station s, the module searched is module s - 3 (module 0 at station 2).
class Solver {
  public:
    Solver(const SearchByTripletTrieParams& params, const Event& event,
           bool baseline_screen = false);

    std::vector<Track> run();
    std::vector<std::optional<std::vector<Triplet>>> tries();

  private:
    struct Third {
        std::uint32_t position;
        double scatter;
    };

    bool prepare();
    void group(std::size_t station);
    SecondHits& second_of(std::size_t station) {
        StationIndexes& indexes = *stations_[station].indexes;
        return indexes.has_second ? indexes.second : build_second(station);
    }
    CandidateIndex& third_of(std::size_t station) {
        StationIndexes& indexes = *stations_[station].indexes;
        return indexes.has_third ? indexes.third : build_third(station);
    }
    // Once per station and solve; kept out of line so the look-ups above stay small.
    [[gnu::noinline]] SecondHits& build_second(std::size_t station);
    [[gnu::noinline]] CandidateIndex& build_third(std::size_t station);
    std::optional<Third> best_third(const TrieSource& source, std::uint32_t a, std::uint32_t b);
    std::optional<HitId> trie_lookup(const TrieSource& source, HitId p, HitId q);
    void add_triplets(const TrieSource& source, std::uint32_t a);
    void add_plane_triplets(const Hit& a, const SecondHits& second,
                            const SecondHits::Plane& b_plane, double r,
                            const CandidateIndex& third);
    void seed(const TrieSource& source);
    std::optional<HitId> module_search(std::size_t module, HitId p, HitId q);
    void step(std::size_t station);
    bool miss(OpenTrack& track);
    void claim(const OpenTrack& track);
    void extend(OpenTrack& track, HitId hit);
    void close(OpenTrack&& track);
    std::vector<Track> finish();

    const SearchByTripletTrieParams& params_;
    sbt::ScreenFunction screen_;
    std::span<const Module> modules_;
    const Hit* hits_ = nullptr;  // the event's hits, by id
    double reach_ = 0.0;         // no hit farther than this in x or y has a scatter below the bound

    std::array<Station, kStations> stations_;

    Workspace& ws_;
};

Solver::Solver(const SearchByTripletTrieParams& params, const Event& event, bool baseline_screen)
    : params_(params),
      screen_(sbt::screen_function(baseline_screen)),
      modules_(event.modules),
      hits_(event.hits->data()),
      ws_(workspace()) {
    assert(modules_.size() == kNumberOfModules);
    // The workspace may hold an earlier solve's state, even one cut short by cancellation.
    std::fill(ws_.best_scatter.begin(), ws_.best_scatter.end(), params_.max_scatter);
    std::fill(ws_.best_third.begin(), ws_.best_third.end(), kNone);
    ws_.touched.clear();
    ws_.trie.clear();
    ws_.open.clear();
    ws_.output.clear();
    ws_.weak.clear();
    for (std::size_t s = 0; s < kStations; ++s) {
        const Module& first = modules_[2 * s];
        const Module& second = modules_[2 * s + 1];
        assert(first.hit_end_index == second.hit_start_index);
        Station& station = stations_[s];
        station.hits = std::span<const Hit>(hits_ + first.hit_start_index,
                                            second.hit_end_index - first.hit_start_index);
        station.first = static_cast<HitId>(first.hit_start_index);
        station.indexes = &ws_.indexes[s];
        station.indexes->grouped = false;
        station.indexes->has_second = false;
        station.indexes->has_third = false;
    }
    ws_.used.assign(event.hits->size(), 0);
}

// Groups the station's hits by plane once for both of its indexes.
void Solver::group(std::size_t station) {
    StationIndexes& indexes = *stations_[station].indexes;
    if (!indexes.grouped) {
        const std::span<const Hit> hits = stations_[station].hits;
        indexes.finite.group(hits, true);
        if (indexes.finite.position.size() != hits.size()) {
            indexes.all.group(hits, false);
        }
        indexes.grouped = true;
    }
}

SecondHits& Solver::build_second(std::size_t station) {
    StationIndexes& indexes = *stations_[station].indexes;
    group(station);
    const std::span<const Hit> hits = stations_[station].hits;
    // Nothing left out of the finite grouping: it is the grouping of all hits.
    const bool all_finite = indexes.finite.position.size() == hits.size();
    indexes.second.build(hits, all_finite ? indexes.finite : indexes.all);
    indexes.has_second = true;
    return indexes.second;
}

CandidateIndex& Solver::build_third(std::size_t station) {
    StationIndexes& indexes = *stations_[station].indexes;
    group(station);
    indexes.third.build(stations_[station].hits, indexes.finite, reach_);
    indexes.has_third = true;
    return indexes.third;
}

// The third hit of the pair (a, b): the strictly smallest scatter below max_scatter over the
// third station, the earliest hit on ties.
std::optional<Solver::Third> Solver::best_third(const TrieSource& source, std::uint32_t a_position,
                                                std::uint32_t b_position) {
    const Hit& a = stations_[source.a].hits[a_position];
    const Hit& b = stations_[source.b].hits[b_position];
    double best = params_.max_scatter;
    const std::uint32_t chosen =
        nearest_to_line(third_of(source.c), a, b, best, [](std::uint32_t) { return false; });
    if (chosen == kNone) {
        return std::nullopt;
    }
    return Third{chosen, best};
}

// The trie's value for (p, q): the best third hit of that pair, when p is on the trie's first
// station and q on its second.
std::optional<HitId> Solver::trie_lookup(const TrieSource& source, HitId p, HitId q) {
    const std::uint32_t a = stations_[source.a].position_of(p);
    const std::uint32_t b = stations_[source.b].position_of(q);
    if (a == kNone || b == kNone) {
        return std::nullopt;
    }
    const auto third = best_third(source, a, b);
    if (!third) {
        return std::nullopt;
    }
    return stations_[source.c].first + third->position;
}

// A third hit beats the best so far by a smaller scatter, or an equal one at a lower
// position. Against no choice yet (best at max_scatter) only a smaller scatter counts, so
// nothing at max_scatter, and no NaN, is ever taken.
inline bool better(double scatter, std::uint32_t third, double best, std::uint32_t chosen) {
    return scatter < best || (scatter == best && chosen != kNone && third < chosen);
}

// On a plane listed by increasing x whose predictions from a are all finite, the run [first,
// end) of the list that predicts an x inside the third plane's box. Out of line: it runs only on
// crowded planes, and inline it would cost the common case registers.
[[gnu::noinline]] std::pair<std::uint32_t, std::uint32_t> x_run(
    const Hit& a, const double* bx, std::uint32_t n, double r, double d,
    const CandidateIndex::Plane& plane) {
    const auto px = [&](std::uint32_t j) { return a.x + ((bx[j] - a.x) * r) * d; };
    // The first j from `from` at which pred (false, then true along the list) holds.
    const auto first_where = [&](std::uint32_t from, auto&& pred) {
        std::uint32_t lo = from;
        std::uint32_t hi = n;
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (pred(px(mid))) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        return lo;
    };
    // Increasing along the list when r and d have one sign, decreasing otherwise (constant for
    // d = 0).
    std::uint32_t first = 0;
    if ((r > 0.0) == (d > 0.0)) {
        first = first_where(0, [&](double v) { return v >= plane.x_lo; });
        return {first, first_where(first, [&](double v) { return v > plane.x_hi; })};
    }
    first = first_where(0, [&](double v) { return v <= plane.x_hi; });
    return {first, first_where(first, [&](double v) { return v < plane.x_lo; })};
}

inline bool same_point(double x0, double y0, double x1, double y1) {
    return std::bit_cast<std::uint64_t>(x0) == std::bit_cast<std::uint64_t>(x1) &&
           std::bit_cast<std::uint64_t>(y0) == std::bit_cast<std::uint64_t>(y1);
}

// The triplets of first hit a through one plane of second hits (r = 1 / (plane z - a.z)): the
// best third hit of each so far in ws_.best_scatter and ws_.best_third, the second hits with one
// listed in ws_.touched. A second hit's slopes from a are recomputed on every third plane: a
// multiply and a subtraction on the screen's vectors cost less than storing them once.
void Solver::add_plane_triplets(const Hit& a, const SecondHits& second,
                                const SecondHits::Plane& b_plane, double r,
                                const CandidateIndex& third) {
    const std::uint32_t n = b_plane.end - b_plane.begin;
    const double* bx = second.x.data() + b_plane.begin;
    const double* by = second.y.data() + b_plane.begin;
    // The slopes of the plane's extreme hits, the same for every third plane.
    const double tx0 = (b_plane.x_min - a.x) * r;
    const double tx1 = (b_plane.x_max - a.x) * r;
    const double ty0 = (b_plane.y_min - a.y) * r;
    const double ty1 = (b_plane.y_max - a.y) * r;
    // The extreme predictions are at most this far from 0 on every third plane; far below the
    // largest double (rounding adds but a few units in the last place), they are all finite.
    const double far =
        std::max(std::abs(a.x), std::abs(a.y)) +
        std::max(std::max(std::abs(tx0), std::abs(tx1)), std::max(std::abs(ty0), std::abs(ty1))) *
            third.farthest_plane(a.z);
    const bool all_finite = far < 1e300;
    for (const CandidateIndex::Plane& c_plane : third.planes()) {
        const double d = c_plane.z - a.z;
        if (b_plane.bounded) {
            // The plane's predictions lie between those of its extreme hits. v - v is zero
            // exactly when v is finite, so the sum is zero when all four are.
            const double x0 = a.x + tx0 * d;
            const double x1 = a.x + tx1 * d;
            const double y0 = a.y + ty0 * d;
            const double y1 = a.y + ty1 * d;
            const bool finite =
                all_finite || ((x0 - x0) + (x1 - x1)) + ((y0 - y0) + (y1 - y1)) == 0.0;
            const bool outside =
                (std::max(x0, x1) < c_plane.x_lo) | (std::min(x0, x1) > c_plane.x_hi) |
                (std::max(y0, y1) < c_plane.y_lo) | (std::min(y0, y1) > c_plane.y_hi);
            if (finite & outside) {
                continue;
            }
        }
        // Only predictions inside the box and in an occupied cell can have a third hit. On a
        // plane listed by x whose predictions are all finite, those inside the box's x range
        // are one run of the list, found by bisection; the screen starts at the step holding
        // its first (the hits before it in that step fail the box).
        std::uint32_t first = 0;
        std::uint32_t end = n;
        if (b_plane.sorted && b_plane.bounded && all_finite) {
            std::tie(first, end) = x_run(a, bx, n, r, d, c_plane);
            if (first == end) {
                continue;
            }
            first -= first % sbt::kScreenStep;
        }
        const sbt::ScreenInput screened{
            &c_plane,   third.occupancy(c_plane), a.x, a.y, r, d, bx + first, by + first,
            end - first};
        const std::uint32_t count = screen_(screened, ws_.passed.data(), ws_.cells.data());
        // A second hit keeps the third of smallest scatter, the lowest position among
        // equals: the cell's best candidate, merged into what earlier planes gave. Second
        // hits at the very same point predict the same point and share that candidate, so
        // a run of them searches the cell once (hits piled on one point would otherwise
        // cost the cube of their number).
        std::uint32_t run_j = kNone;
        double run_scatter = 0.0;
        std::uint32_t run_third = kNone;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t j = first + ws_.passed[k];
            const std::uint32_t ib = second.position[b_plane.begin + j];
            if (run_j == kNone || !same_point(bx[j], by[j], bx[run_j], by[run_j])) {
                run_j = j;
                run_scatter = params_.max_scatter;
                run_third = kNone;
                const double px = a.x + ((bx[j] - a.x) * r) * d;
                const double py = a.y + ((by[j] - a.y) * r) * d;
                third.visit_cell(c_plane, ws_.cells[k],
                                 [&](std::uint32_t ic, double cx, double cy) {
                                     const double dx = px - cx;
                                     const double dy = py - cy;
                                     const double scatter = dx * dx + dy * dy;
                                     if (better(scatter, ic, run_scatter, run_third)) {
                                         run_scatter = scatter;
                                         run_third = ic;
                                     }
                                 });
            }
            double& best = ws_.best_scatter[ib];
            std::uint32_t& chosen = ws_.best_third[ib];
            if (run_third != kNone && better(run_scatter, run_third, best, chosen)) {
                if (chosen == kNone) {
                    ws_.touched.push_back(ib);
                }
                best = run_scatter;
                chosen = run_third;
            }
        }
    }
}

// Records the triplets of one first hit, second hits in order. A prediction on a plane of third
// hits is screened by the plane's box and cell occupancy before any scatter is computed.
void Solver::add_triplets(const TrieSource& source, std::uint32_t a_position) {
    const Station& a_station = stations_[source.a];
    const Station& b_station = stations_[source.b];
    const Station& c_station = stations_[source.c];
    const Hit& a = a_station.hits[a_position];
    if (!finite(a)) {
        return;  // no prediction from it is finite
    }
    const SecondHits& second = second_of(source.b);
    const CandidateIndex& third = third_of(source.c);
    const std::size_t b_count = b_station.hits.size();
    if (ws_.best_scatter.size() < b_count) {
        ws_.best_scatter.resize(b_count, params_.max_scatter);
        ws_.best_third.resize(b_count, kNone);
        ws_.passed.resize(b_count + sbt::kScreenStep);
        ws_.cells.resize(b_count + sbt::kScreenStep);
    }

    for (const SecondHits::Plane& b_plane : second.planes) {
        const double r = 1.0 / (b_plane.z - a.z);
        if (!std::isfinite(r)) {
            continue;  // equal z: every prediction is infinite or undefined
        }
        add_plane_triplets(a, second, b_plane, r, third);
    }

    if (ws_.touched.empty()) {
        return;
    }
    std::sort(ws_.touched.begin(), ws_.touched.end());
    const auto begin = static_cast<std::uint32_t>(ws_.trie.entries.size());
    for (const std::uint32_t ib : ws_.touched) {
        ws_.trie.entries.push_back(Trie::Entry{
            b_station.first + ib, c_station.first + ws_.best_third[ib], ws_.best_scatter[ib]});
        ws_.best_scatter[ib] = params_.max_scatter;
        ws_.best_third[ib] = kNone;
    }
    ws_.touched.clear();
    ws_.trie.groups.push_back(Trie::Group{a_station.first + a_position, begin,
                                          static_cast<std::uint32_t>(ws_.trie.entries.size())});
}

// New three-hit tracks: per first hit, in trie order, the entry of smallest scatter whose hits
// are all unused. A first hit already used offers none, so its triplets are never built.
void Solver::seed(const TrieSource& source) {
    const Station& a_station = stations_[source.a];
    ws_.trie.clear();
    for (std::size_t ia = 0; ia < a_station.hits.size(); ++ia) {
        if (ws_.used[a_station.first + ia] == 0) {
            throw_if_cancelled();
            add_triplets(source, static_cast<std::uint32_t>(ia));
        }
    }
    for (const Trie::Group& group : ws_.trie.groups) {
        const Trie::Entry* chosen = nullptr;
        double best = params_.max_scatter;
        for (std::uint32_t e = group.begin; e < group.end; ++e) {
            const Trie::Entry& entry = ws_.trie.entries[e];
            if (ws_.used[entry.b] != 0 || ws_.used[entry.c] != 0) {
                continue;
            }
            if (entry.scatter < best) {
                best = entry.scatter;
                chosen = &entry;
            }
        }
        if (chosen != nullptr) {
            ws_.open.push_back(
                OpenTrack{TrackHits(group.a, chosen->b, chosen->c), false, false, 0});
        }
    }
}

// The best unused hit of the module against the line through p and q, from its station's
// index: the module's hits are one run of the station's positions, in the same order, so the
// earliest of equal scatters is the same hit either way.
std::optional<HitId> Solver::module_search(std::size_t module, HitId p, HitId q) {
    const Station& station = stations_[module / 2];
    const Module& searched = modules_[module];
    const auto begin = static_cast<std::uint32_t>(searched.hit_start_index - station.first);
    const auto count =
        static_cast<std::uint32_t>(searched.hit_end_index - searched.hit_start_index);
    double best = params_.max_scatter;
    const std::uint32_t chosen = nearest_to_line(
        third_of(module / 2), hits_[p], hits_[q], best,
        [&](std::uint32_t i) { return i - begin >= count || ws_.used[station.first + i] != 0; });
    if (chosen == kNone) {
        return std::nullopt;
    }
    return station.first + chosen;
}

void Solver::claim(const OpenTrack& track) {
    const std::size_t length = params_.min_strong_track_length;
    if (track.hits.size() < length) {
        return;
    }
    const std::size_t count =
        length == 0 ? track.hits.size() : std::min(length - 1, track.hits.size());
    for (std::size_t i = 0; i < count; ++i) {
        ws_.used[track.hits[i]] = 1;
    }
}

void Solver::extend(OpenTrack& track, HitId hit) {
    track.hits.push_back(hit);
    ws_.used[hit] = 1;
    claim(track);
    track.missed_penultimate_module = track.missed_last_module;
    track.missed_last_module = false;
    track.missed_count = 0;
}

// A station without a hit for the track: counted and flagged; false when the track is to be
// closed, having missed more than allowed in a row (the count and the allowance compared modulo
// 256).
bool Solver::miss(OpenTrack& track) {
    const std::uint8_t before = track.missed_count;
    track.missed_count = static_cast<std::uint8_t>(before + 1);
    if (before == 0) {
        track.missed_last_module = true;
    } else if (track.missed_count == 2) {
        track.missed_penultimate_module = true;
    }
    return track.missed_count <= static_cast<std::uint8_t>(params_.allowed_missed_modules);
}

void Solver::close(OpenTrack&& track) {
    if (track.hits.size() >= params_.min_strong_track_length) {
        ws_.output.push_back(std::move(track));
    } else {
        ws_.weak.push_back(std::move(track));
    }
}

// The reach of max_scatter; false when there is nothing to search.
bool Solver::prepare() {
    const double max_scatter = params_.max_scatter;
    // A hit with a scatter below max_scatter lies within sqrt(max_scatter) of the prediction in
    // x and in y; the margin covers the rounding of the square, the sum and the root. Without a
    // positive bound no scatter can be below it (common/rounding.hpp).
    const double root = std::sqrt(max_scatter);
    reach_ = max_scatter > 0.0 ? root + rounding_margin(root) : 0.0;
    return reach_ > 0.0;
}

std::vector<std::optional<std::vector<Triplet>>> Solver::tries() {
    std::vector<std::optional<std::vector<Triplet>>> tries(kStations);
    const bool any = prepare();
    for (std::size_t s = 2; s < kStations; ++s) {
        const TrieSource source{s, s - 1, s - 2};
        ws_.trie.clear();
        if (any) {
            for (std::size_t ia = 0; ia < stations_[s].hits.size(); ++ia) {
                add_triplets(source, static_cast<std::uint32_t>(ia));
            }
        }
        auto& entries = tries[s].emplace();
        for (const Trie::Group& group : ws_.trie.groups) {
            for (std::uint32_t e = group.begin; e < group.end; ++e) {
                const Trie::Entry& entry = ws_.trie.entries[e];
                entries.push_back(
                    Triplet{hits_[group.a], hits_[entry.b], hits_[entry.c], entry.scatter});
            }
        }
    }
    return tries;
}

// One station of the walk: every open track extended through the trie, or by the module
// search, or counted as a miss; then the trie's new seeds.
void Solver::step(std::size_t station) {
    const TrieSource source{station, station - 1, station - 2};
    const std::size_t search_module = station == 2 ? 0 : station - 3;
    // The tracks that stay open are kept in order at the front of ws_.open, moved only once one
    // before them has closed.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ws_.open.size(); ++i) {
        // A track costs a look-up or two: checking every 64th keeps the walk responsive.
        if (i % 64 == 0) {
            throw_if_cancelled();
        }
        OpenTrack& track = ws_.open[i];
        const HitId p = track.hits[track.hits.size() - 2];
        const HitId q = track.hits.back();
        std::optional<HitId> found = trie_lookup(source, p, q);
        if (!found) {
            found = module_search(search_module, p, q);
        }
        if (found) {
            extend(track, *found);
        } else if (!miss(track)) {
            close(std::move(track));
            continue;
        }
        if (kept != i) {
            ws_.open[kept] = std::move(track);
        }
        ++kept;
    }
    ws_.open.erase(ws_.open.begin() + static_cast<std::ptrdiff_t>(kept), ws_.open.end());
    seed(source);
}

// The tracks still open close; weak tracks stay only when none of their first three hits
// was claimed.
std::vector<Track> Solver::finish() {
    for (OpenTrack& track : ws_.open) {
        close(std::move(track));
    }
    for (OpenTrack& track : ws_.weak) {
        const std::size_t head = std::min<std::size_t>(3, track.hits.size());
        const bool claimed = std::any_of(track.hits.begin(), track.hits.begin() + head,
                                         [&](HitId hit) { return ws_.used[hit] != 0; });
        if (!claimed) {
            ws_.output.push_back(std::move(track));
        }
    }
    std::vector<Track> tracks;
    tracks.reserve(ws_.output.size());
    for (const OpenTrack& open : ws_.output) {
        Track track;
        track.hits.reserve(open.hits.size());
        for (const HitId hit : open.hits) {
            track.hits.push_back(hits_[hit]);
        }
        track.missed_last_module = open.missed_last_module;
        track.missed_penultimate_module = open.missed_penultimate_module;
        track.missed_count = open.missed_count;
        tracks.push_back(std::move(track));
    }
    return tracks;
}

std::vector<Track> Solver::run() {
    if (!prepare()) {
        return {};  // without a positive max_scatter there is no triplet, so no track
    }
    for (std::size_t station = kStations - 1; station >= 2; --station) {
        step(station);
    }
    return finish();
}

}  // namespace

std::vector<std::optional<std::vector<Triplet>>> triplet_tries(
    const SearchByTripletTrieParams& params, const Event& event, bool baseline_screen) {
    return Solver(params, event, baseline_screen).tries();
}

std::vector<Track> solve(const SearchByTripletTrieParams& params, const Event& event) {
    return Solver(params, event).run();
}

std::size_t count_candidate_pairs(const Event& event) {
    const auto station_hits = [&](std::size_t s) {
        return event.modules[2 * s + 1].hit_end_index - event.modules[2 * s].hit_start_index;
    };
    std::size_t pairs = 0;
    for (std::size_t s = 2; s < kStations; ++s) {
        pairs += station_hits(s) * station_hits(s - 1);
    }
    return pairs;
}

}  // namespace trelmon
