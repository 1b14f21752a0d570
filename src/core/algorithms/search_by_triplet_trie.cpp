// The walk over the stations (Solver), on the parts in search_by_triplet_trie/: hit keys and the
// scatter recipe (hits.hpp), the third-hit index (candidate_index.hpp), the second hits
// (second_hits.hpp) and the tries (trie.hpp).
#include "algorithms/search_by_triplet_trie.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "algorithms/cancel.hpp"
#include "algorithms/common/rounding.hpp"
#include "algorithms/search_by_triplet_trie/candidate_index.hpp"
#include "algorithms/search_by_triplet_trie/hits.hpp"
#include "algorithms/search_by_triplet_trie/second_hits.hpp"
#include "algorithms/search_by_triplet_trie/trie.hpp"

namespace trelmon {
namespace {

using sbt::CandidateIndex;
using sbt::finite;
using sbt::KeyTable;
using sbt::kNone;
using sbt::nearest_to_line;
using sbt::Ref;
using sbt::SecondHits;
using sbt::Trie;
using sbt::TrieBuilder;

constexpr std::size_t kTrieSlots = 26;
struct Station {
    std::span<const Hit> hits;
    std::uint32_t number = 0;
    const std::uint32_t* keys = nullptr;  // parallel to hits
    // Built on first use.
    std::unique_ptr<SecondHits> second;     // the station as the one below a trie's station
    std::unique_ptr<CandidateIndex> third;  // the station as the one third hits come from
    bool keyed = false;
    bool consecutive = false;                                  // keys[i] == keys[0] + i
    std::vector<std::uint32_t> sorted_keys, sorted_positions;  // otherwise: by key, then position
};

// The stations a trie slot's trie is made from: first, second and third hits.
struct TrieSource {
    std::size_t a = 0, b = 0, c = 0;
};

struct OpenTrack {
    std::vector<Ref> hits;
    bool missed_last_module = false;
    bool missed_penultimate_module = false;
    std::uint8_t missed_count = 0;
};
// One solve. A trie is only ever read in two ways: a lookup of a track's last two hits, and the
// seeding pass, which skips every first hit already in the used-hit set. Trie contents do not
// depend on the walk, so both are evaluated when the walk reaches the station: a lookup by
// finding the best third hit of that one pair, seeding by building the trie's groups for the
// first hits still unused, in the same order and with the same entries a full trie would have.
class Solver {
  public:
    Solver(const SearchByTripletTrieParams& params, std::span<const Module> modules)
        : params_(params), modules_(modules) {}

    std::vector<Track> run();
    std::vector<std::optional<std::vector<Triplet>>> tries();

  private:
    struct Third {
        std::uint32_t position;
        double scatter;
    };

    bool prepare();
    void make_stations();
    void assign_keys();
    SecondHits& second_of(std::size_t station);
    CandidateIndex& third_of(std::size_t station);
    std::span<const std::uint32_t> positions(std::size_t station, std::uint32_t key);
    std::optional<Third> best_third(const TrieSource& source, std::uint32_t a, std::uint32_t b);
    std::optional<Ref> trie_lookup(const TrieSource& source, Ref p, Ref q);
    void add_triplets(const TrieSource& source, std::uint32_t a);
    void add_plane_triplets(const Hit& a, const SecondHits& second,
                            const SecondHits::Plane& b_plane, double r,
                            const CandidateIndex& third);
    void seed(const TrieSource& source);
    std::optional<Ref> module_search(std::size_t module, Ref p, Ref q);
    void claim(const OpenTrack& track);
    void extend(OpenTrack& track, Ref hit);
    void close(OpenTrack&& track);

    const SearchByTripletTrieParams& params_;
    std::span<const Module> modules_;
    double reach_ = 0.0;  // no hit farther than this in x or y has a scatter below the bound

    std::vector<Station> stations_;
    std::vector<std::uint32_t> counting_;  // 0, 1, 2, ...: positions of consecutive keys
    std::array<std::optional<TrieSource>, kTrieSlots> slots_{};
    std::unique_ptr<KeyTable> keys_;
    struct SearchedModule {
        const std::uint32_t* keys = nullptr;
        std::unique_ptr<CandidateIndex> index;
    };
    std::vector<SearchedModule> searched_;  // by module position

    std::unique_ptr<TrieBuilder> builder_;
    Trie trie_;
    // Scratch of add_triplets, per second hit of the current station.
    std::vector<double> best_scatter_, slope_x_, slope_y_;
    std::vector<std::uint32_t> best_third_, touched_, passed_;

    std::vector<std::uint8_t> used_;
    std::vector<OpenTrack> open_;
    std::vector<OpenTrack> output_;
    std::vector<OpenTrack> weak_;
};

void Solver::make_stations() {
    for (std::size_t m = 0; m + 1 < modules_.size(); m += 2) {
        const Module& first = modules_[m];
        const Module& second = modules_[m + 1];
        const HitList& global = *first.global_hits;
        // The range is applied to the first module's hit list; clamp it to that list.
        std::size_t end = std::max(first.hit_start_index, second.hit_end_index);
        end = std::min(end, global.size());
        const std::size_t start = std::min(first.hit_start_index, end);
        Station station;
        station.hits = std::span<const Hit>(global.data() + start, end - start);
        station.number = first.module_number >> 1;
        stations_.push_back(std::move(station));
    }
}

// Keys every hit the search can meet: the stations and the modules the module search visits.
void Solver::assign_keys() {
    const std::size_t h = stations_.size();
    std::vector<std::span<const Hit>> sources;
    for (const Station& station : stations_) {
        sources.push_back(station.hits);
    }
    searched_.resize(modules_.size());
    std::vector<std::size_t> searched;
    for (std::size_t i = 2; i < h; ++i) {
        const std::uint32_t number = stations_[i - 2].number;
        const std::size_t module = number == 0 ? 0 : std::size_t{number} - 1;
        if (module < modules_.size() &&
            std::find(searched.begin(), searched.end(), module) == searched.end()) {
            searched.push_back(module);
            sources.push_back(modules_[module].hits());
        }
    }
    keys_ = std::make_unique<KeyTable>(sources);
    std::size_t largest = 0;
    for (std::size_t s = 0; s < h; ++s) {
        stations_[s].keys = keys_->keys(s);
        largest = std::max(largest, stations_[s].hits.size());
    }
    counting_.resize(largest);
    for (std::size_t i = 0; i < largest; ++i) {
        counting_[i] = static_cast<std::uint32_t>(i);
    }
    for (std::size_t k = 0; k < searched.size(); ++k) {
        searched_[searched[k]].keys = keys_->keys(h + k);
    }
}

SecondHits& Solver::second_of(std::size_t station) {
    auto& second = stations_[station].second;
    if (!second) {
        second = std::make_unique<SecondHits>(stations_[station].hits);
    }
    return *second;
}

CandidateIndex& Solver::third_of(std::size_t station) {
    auto& third = stations_[station].third;
    if (!third) {
        third = std::make_unique<CandidateIndex>(stations_[station].hits, reach_);
    }
    return *third;
}

// Positions in a station's hit list of the hits with this key, in increasing order. A station
// of an event built from a dictionary holds consecutive ids, so its keys are consecutive too.
std::span<const std::uint32_t> Solver::positions(std::size_t station, std::uint32_t key) {
    Station& s = stations_[station];
    if (!s.keyed) {
        s.keyed = true;
        s.consecutive = true;
        for (std::size_t i = 1; i < s.hits.size() && s.consecutive; ++i) {
            s.consecutive = s.keys[i] == s.keys[0] + i;
        }
        if (!s.consecutive) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> by_key;
            by_key.reserve(s.hits.size());
            for (std::size_t i = 0; i < s.hits.size(); ++i) {
                by_key.emplace_back(s.keys[i], static_cast<std::uint32_t>(i));
            }
            std::sort(by_key.begin(), by_key.end());
            for (const auto& [k, i] : by_key) {
                s.sorted_keys.push_back(k);
                s.sorted_positions.push_back(i);
            }
        }
    }
    if (s.consecutive) {
        if (s.hits.empty() || key < s.keys[0] || key - s.keys[0] >= s.hits.size()) {
            return {};
        }
        const std::size_t i = key - s.keys[0];
        return {counting_.data() + i, 1};
    }
    const auto [lo, hi] = std::equal_range(s.sorted_keys.begin(), s.sorted_keys.end(), key);
    return {s.sorted_positions.data() + (lo - s.sorted_keys.begin()),
            static_cast<std::size_t>(hi - lo)};
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

// The trie's value for (p, q): the last triplet recorded for a first hit with p's id and a
// second hit with q's id (there is at most one such pair unless ids repeat).
std::optional<Ref> Solver::trie_lookup(const TrieSource& source, Ref p, Ref q) {
    const auto firsts = positions(source.a, p.key);
    if (firsts.empty()) {
        return std::nullopt;
    }
    const auto seconds = positions(source.b, q.key);
    std::optional<Ref> value;
    for (const std::uint32_t a : firsts) {
        for (const std::uint32_t b : seconds) {
            if (const auto third = best_third(source, a, b)) {
                const Station& c = stations_[source.c];
                value = Ref{&c.hits[third->position], c.keys[third->position]};
            }
        }
    }
    return value;
}

// A third hit beats the best so far by a smaller scatter, or an equal one at a lower
// position. Against no choice yet (best at max_scatter) only a smaller scatter counts, so
// nothing at max_scatter, and no NaN, is ever taken.
inline bool better(double scatter, std::uint32_t third, double best, std::uint32_t chosen) {
    return scatter < best || (scatter == best && chosen != kNone && third < chosen);
}

inline bool same_point(double x0, double y0, double x1, double y1) {
    return std::bit_cast<std::uint64_t>(x0) == std::bit_cast<std::uint64_t>(x1) &&
           std::bit_cast<std::uint64_t>(y0) == std::bit_cast<std::uint64_t>(y1);
}

// The triplets of first hit a through one plane of second hits, whose slopes from a the caller
// has put in slope_x_ and slope_y_ (r = 1 / (plane z - a.z)): the best third hit of each so far
// in best_scatter_ and best_third_, the second hits with one listed in touched_.
void Solver::add_plane_triplets(const Hit& a, const SecondHits& second,
                                const SecondHits::Plane& b_plane, double r,
                                const CandidateIndex& third) {
    const std::uint32_t n = b_plane.end - b_plane.begin;
    const double* bx = second.x.data() + b_plane.begin;
    const double* by = second.y.data() + b_plane.begin;
    for (const CandidateIndex::Plane& c_plane : third.planes()) {
        const double d = c_plane.z - a.z;
        if (b_plane.bounded) {
            // The plane's predictions lie between those of its extreme hits.
            const double x0 = a.x + ((b_plane.x_min - a.x) * r) * d;
            const double x1 = a.x + ((b_plane.x_max - a.x) * r) * d;
            const double y0 = a.y + ((b_plane.y_min - a.y) * r) * d;
            const double y1 = a.y + ((b_plane.y_max - a.y) * r) * d;
            if (std::isfinite(x0) && std::isfinite(x1) && std::isfinite(y0) && std::isfinite(y1) &&
                (std::max(x0, x1) < c_plane.x_lo || std::min(x0, x1) > c_plane.x_hi ||
                 std::max(y0, y1) < c_plane.y_lo || std::min(y0, y1) > c_plane.y_hi)) {
                continue;
            }
        }
        std::uint32_t count = 0;
        for (std::uint32_t j = 0; j < n; ++j) {
            const double px = a.x + slope_x_[j] * d;
            const double py = a.y + slope_y_[j] * d;
            passed_[count] = j;
            count += CandidateIndex::inside(c_plane, px, py) ? 1u : 0u;
        }
        // A second hit keeps the third of smallest scatter, the lowest position among
        // equals: the cell's best candidate, merged into what earlier planes gave. Second
        // hits at the very same point predict the same point and share that candidate, so
        // a run of them searches the cell once (hits piled on one point would otherwise
        // cost the cube of their number).
        std::uint32_t run_j = kNone;
        double run_scatter = 0.0;
        std::uint32_t run_third = kNone;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t j = passed_[k];
            const std::uint32_t ib = second.position[b_plane.begin + j];
            if (run_j == kNone || !same_point(bx[j], by[j], bx[run_j], by[run_j])) {
                run_j = j;
                run_scatter = params_.max_scatter;
                run_third = kNone;
                const double px = a.x + slope_x_[j] * d;
                const double py = a.y + slope_y_[j] * d;
                const std::uint32_t cell = CandidateIndex::cell(c_plane, px, py);
                if (third.occupied(c_plane, cell)) {
                    third.visit_cell(c_plane, cell, [&](std::uint32_t ic, double cx, double cy) {
                        const double dx = px - cx;
                        const double dy = py - cy;
                        const double scatter = dx * dx + dy * dy;
                        if (better(scatter, ic, run_scatter, run_third)) {
                            run_scatter = scatter;
                            run_third = ic;
                        }
                    });
                }
            }
            double& best = best_scatter_[ib];
            std::uint32_t& chosen = best_third_[ib];
            if (run_third != kNone && better(run_scatter, run_third, best, chosen)) {
                if (chosen == kNone) {
                    touched_.push_back(ib);
                }
                best = run_scatter;
                chosen = run_third;
            }
        }
    }
}

// Records the triplets of one first hit, second hits in order. For a fixed first hit and a
// plane of second hits, each second hit's slopes are computed once; a prediction on a plane of
// third hits is then one multiply-add per coordinate, screened by the plane's box and cell
// occupancy before any scatter is computed.
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
    if (best_scatter_.size() < b_count) {
        best_scatter_.resize(b_count, params_.max_scatter);
        best_third_.resize(b_count, kNone);
        slope_x_.resize(b_count);
        slope_y_.resize(b_count);
        passed_.resize(b_count);
    }

    for (const SecondHits::Plane& b_plane : second.planes) {
        const double r = 1.0 / (b_plane.z - a.z);
        if (!std::isfinite(r)) {
            continue;  // equal z: every prediction is infinite or undefined
        }
        const std::uint32_t n = b_plane.end - b_plane.begin;
        const double* bx = second.x.data() + b_plane.begin;
        const double* by = second.y.data() + b_plane.begin;
        for (std::uint32_t j = 0; j < n; ++j) {
            slope_x_[j] = (bx[j] - a.x) * r;
            slope_y_[j] = (by[j] - a.y) * r;
        }
        add_plane_triplets(a, second, b_plane, r, third);
    }

    std::sort(touched_.begin(), touched_.end());
    for (const std::uint32_t ib : touched_) {
        const std::uint32_t ic = best_third_[ib];
        builder_->add(Ref{&a, a_station.keys[a_position]},
                      Ref{&b_station.hits[ib], b_station.keys[ib]},
                      Ref{&c_station.hits[ic], c_station.keys[ic]}, best_scatter_[ib]);
        best_scatter_[ib] = params_.max_scatter;
        best_third_[ib] = kNone;
    }
    touched_.clear();
}

// New three-hit tracks: per first hit, in trie order, the entry of smallest scatter whose hits
// are all unused. A first hit already used offers none, so its triplets are never built.
void Solver::seed(const TrieSource& source) {
    const Station& a_station = stations_[source.a];
    builder_->start(trie_);
    for (std::size_t ia = 0; ia < a_station.hits.size(); ++ia) {
        throw_if_cancelled();
        if (used_[a_station.keys[ia]] == 0) {
            add_triplets(source, static_cast<std::uint32_t>(ia));
        }
    }
    builder_->finish();
    for (const Trie::Group& group : trie_.groups) {
        const Trie::Entry* chosen = nullptr;
        double best = params_.max_scatter;
        for (std::uint32_t e = group.begin; e < group.end; ++e) {
            const Trie::Entry& entry = trie_.entries[e];
            if (used_[entry.b.key] != 0 || used_[entry.c.key] != 0) {
                continue;
            }
            if (entry.scatter < best) {
                best = entry.scatter;
                chosen = &entry;
            }
        }
        if (chosen != nullptr) {
            open_.push_back(OpenTrack{{group.a, chosen->b, chosen->c}, false, false, 0});
        }
    }
}

std::optional<Ref> Solver::module_search(std::size_t module, Ref p, Ref q) {
    const std::span<const Hit> hits = modules_[module].hits();
    SearchedModule& searched = searched_[module];
    if (!searched.index) {
        searched.index = std::make_unique<CandidateIndex>(hits, reach_);
    }
    const CandidateIndex& index = *searched.index;
    const std::uint32_t* keys = searched.keys;
    double best = params_.max_scatter;
    const std::uint32_t chosen = nearest_to_line(
        index, *p.hit, *q.hit, best, [&](std::uint32_t i) { return used_[keys[i]] != 0; });
    // The best is held in a placeholder whose id is -1: a best hit with that id counts as none.
    if (chosen == kNone || hits[chosen].id == -1) {
        return std::nullopt;
    }
    return Ref{&hits[chosen], keys[chosen]};
}

void Solver::claim(const OpenTrack& track) {
    const std::size_t length = params_.min_strong_track_length;
    if (track.hits.size() < length) {
        return;
    }
    const std::size_t count =
        length == 0 ? track.hits.size() : std::min(length - 1, track.hits.size());
    for (std::size_t i = 0; i < count; ++i) {
        used_[track.hits[i].key] = 1;
    }
}

void Solver::extend(OpenTrack& track, Ref hit) {
    track.hits.push_back(hit);
    used_[hit.key] = 1;
    claim(track);
    track.missed_penultimate_module = track.missed_last_module;
    track.missed_last_module = false;
    track.missed_count = 0;
}

void Solver::close(OpenTrack&& track) {
    if (track.hits.size() >= params_.min_strong_track_length) {
        output_.push_back(std::move(track));
    } else {
        weak_.push_back(std::move(track));
    }
}

// Stations, trie sources and keys; false when there is nothing to search.
bool Solver::prepare() {
    make_stations();
    const std::size_t h = stations_.size();
    if (h < 3) {
        return false;
    }
    const double max_scatter = params_.max_scatter;
    // A hit with a scatter below max_scatter lies within sqrt(max_scatter) of the prediction in
    // x and in y; the margin covers the rounding of the square, the sum and the root. Without a
    // positive bound no scatter can be below it (common/rounding.hpp).
    const double root = std::sqrt(max_scatter);
    reach_ = max_scatter > 0.0 ? root + rounding_margin(root) : 0.0;

    // Each slot's trie comes from the last station (walking down) with that number.
    for (std::size_t s = h - 1; s >= 2; --s) {
        const std::uint32_t below = stations_[s - 1].number;
        const std::size_t c = below == 0 ? 0 : std::size_t{below} - 1;
        if (c < h && stations_[s].number < kTrieSlots) {
            slots_[stations_[s].number] = TrieSource{s, s - 1, c};
        }
    }
    assign_keys();
    used_.assign(keys_->count(), 0);
    builder_ = std::make_unique<TrieBuilder>(keys_->count());
    return true;
}

std::vector<std::optional<std::vector<Triplet>>> Solver::tries() {
    std::vector<std::optional<std::vector<Triplet>>> tries(kTrieSlots);
    if (!prepare()) {
        return tries;
    }
    for (std::size_t slot = 0; slot < kTrieSlots; ++slot) {
        if (!slots_[slot]) {
            continue;
        }
        const TrieSource& source = *slots_[slot];
        builder_->start(trie_);
        if (reach_ > 0.0) {
            for (std::size_t ia = 0; ia < stations_[source.a].hits.size(); ++ia) {
                add_triplets(source, static_cast<std::uint32_t>(ia));
            }
        }
        builder_->finish();
        auto& entries = tries[slot].emplace();
        for (const Trie::Group& group : trie_.groups) {
            for (std::uint32_t e = group.begin; e < group.end; ++e) {
                const Trie::Entry& entry = trie_.entries[e];
                entries.push_back(Triplet{*group.a.hit, *entry.b.hit, *entry.c.hit, entry.scatter});
            }
        }
    }
    return tries;
}

std::vector<Track> Solver::run() {
    if (!prepare() || !(reach_ > 0.0)) {
        return {};  // without a positive max_scatter there is no triplet, so no track
    }
    const std::size_t h = stations_.size();
    std::vector<OpenTrack> next;
    for (std::size_t i = h - 1; i >= 2; --i) {
        const std::uint32_t number = stations_[i].number;
        const TrieSource* source =
            number < kTrieSlots && slots_[number] ? &*slots_[number] : nullptr;
        const std::uint32_t below = stations_[i - 2].number;
        const std::size_t search_module = below == 0 ? 0 : std::size_t{below} - 1;

        next.clear();
        for (OpenTrack& track : open_) {
            throw_if_cancelled();
            if (track.hits.size() < 2) {
                continue;
            }
            const Ref p = track.hits[track.hits.size() - 2];
            const Ref q = track.hits.back();
            std::optional<Ref> found;
            if (source != nullptr) {
                found = trie_lookup(*source, p, q);
            }
            if (!found && search_module < modules_.size()) {
                found = module_search(search_module, p, q);
            }
            if (found) {
                extend(track, *found);
                next.push_back(std::move(track));
                continue;
            }
            const std::uint8_t before = track.missed_count;
            track.missed_count = static_cast<std::uint8_t>(before + 1);
            if (before == 0) {
                track.missed_last_module = true;
            } else if (track.missed_count == 2) {
                track.missed_penultimate_module = true;
            }
            if (track.missed_count <= static_cast<std::uint8_t>(params_.allowed_missed_modules)) {
                next.push_back(std::move(track));
            } else {
                close(std::move(track));
            }
        }
        std::swap(open_, next);
        if (source != nullptr) {
            seed(*source);
        }
    }

    for (OpenTrack& track : open_) {
        close(std::move(track));
    }
    for (OpenTrack& track : weak_) {
        const std::size_t head = std::min<std::size_t>(3, track.hits.size());
        const bool claimed = std::any_of(track.hits.begin(), track.hits.begin() + head,
                                         [&](const Ref& hit) { return used_[hit.key] != 0; });
        if (!claimed) {
            output_.push_back(std::move(track));
        }
    }

    std::vector<Track> tracks;
    tracks.reserve(output_.size());
    for (const OpenTrack& open : output_) {
        Track track;
        track.hits.reserve(open.hits.size());
        for (const Ref& hit : open.hits) {
            track.hits.push_back(*hit.hit);
        }
        track.missed_last_module = open.missed_last_module;
        track.missed_penultimate_module = open.missed_penultimate_module;
        track.missed_count = open.missed_count;
        tracks.push_back(std::move(track));
    }
    return tracks;
}

}  // namespace

std::vector<Track> solve_modules(const SearchByTripletTrieParams& params,
                                 std::span<const Module> modules) {
    return Solver(params, modules).run();
}

std::vector<std::optional<std::vector<Triplet>>> triplet_tries(
    const SearchByTripletTrieParams& params, std::span<const Module> modules) {
    return Solver(params, modules).tries();
}

std::vector<Track> solve(const SearchByTripletTrieParams& params, const Event& event) {
    return solve_modules(params, event.modules);
}

}  // namespace trelmon
