#include "algorithms/search_by_triplet_trie.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "algorithms/cancel.hpp"
#include "algorithms/common/cells.hpp"
#include "algorithms/common/hit_ids.hpp"
#include "algorithms/common/rounding.hpp"

namespace trelmon {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kTrieSlots = 26;

// Every scatter below is computed by exactly these operations, in this order:
//   r = 1 / (q.z - p.z);  tx = (q.x - p.x) * r;  ty = (q.y - p.y) * r;
//   d = h.z - p.z;  px = p.x + tx * d;  py = p.y + ty * d;
//   dx = px - h.x;  dy = py - h.y;  scatter = dx * dx + dy * dy
// The spatial indexes only decide which hits are worth evaluating; the value decides.

bool finite(const Hit& hit) noexcept {
    return std::isfinite(hit.x) && std::isfinite(hit.y) && std::isfinite(hit.z);
}

// A hit as the search sees it: the record it came from and the dense number of its id.
struct Ref {
    const Hit* hit = nullptr;
    std::uint32_t key = kNone;
};

// Hit identity is the id alone. Ids are turned into dense keys so that per-hit state can live
// in flat arrays; events built from dictionaries have ids 0..n-1 and map directly.
class KeyTable {
  public:
    explicit KeyTable(const std::vector<std::span<const Hit>>& sources) {
        std::size_t total = 0;
        std::int64_t low = std::numeric_limits<std::int64_t>::max();
        std::int64_t high = std::numeric_limits<std::int64_t>::min();
        for (const auto& hits : sources) {
            total += hits.size();
            for (const Hit& hit : hits) {
                low = std::min<std::int64_t>(low, hit.id);
                high = std::max<std::int64_t>(high, hit.id);
            }
        }
        offsets_.reserve(sources.size());
        keys_.reserve(total);
        const bool dense = ids_fit_flat_table(low, high, total);
        std::unordered_map<std::int32_t, std::uint32_t> sparse;
        for (const auto& hits : sources) {
            offsets_.push_back(keys_.size());
            for (const Hit& hit : hits) {
                if (dense) {
                    keys_.push_back(static_cast<std::uint32_t>(hit.id - low));
                } else {
                    const auto [it, inserted] =
                        sparse.try_emplace(hit.id, static_cast<std::uint32_t>(sparse.size()));
                    keys_.push_back(it->second);
                }
            }
        }
        count_ = total == 0 ? 0 : dense ? static_cast<std::size_t>(high - low) + 1 : sparse.size();
    }

    std::size_t count() const noexcept { return count_; }
    // The keys of source `source`, parallel to its hits.
    const std::uint32_t* keys(std::size_t source) const noexcept {
        return keys_.data() + offsets_[source];
    }

  private:
    std::vector<std::uint32_t> keys_;
    std::vector<std::size_t> offsets_;
    std::size_t count_ = 0;
};

std::uint64_t z_bits(double z) noexcept {
    return std::bit_cast<std::uint64_t>(z);
}

// Third-hit candidates of one hit list, grouped by exact z: a prediction made for a plane has
// the same value for every hit on it. Each plane carries a coarse grid in which every cell lists
// the hits whose reach box (+-reach in x and y) touches it, so a prediction is answered from its
// own cell. A hit with a scatter below max_scatter lies within reach of the prediction in both x
// and y, and rounding of the box edges and of the cell function is monotone, so no such hit is
// ever missed. Hits with a non-finite coordinate never give a finite scatter and are left out.
class CandidateIndex {
  public:
    struct Plane {
        double z = 0.0;
        double x_lo = 0.0, x_hi = 0.0, y_lo = 0.0, y_hi = 0.0;  // predictions outside miss all
        double inv_wx = 0.0, inv_wy = 0.0;
        std::uint32_t nx = 1, ny = 1;
        std::size_t cell_offset = 0;  // into cell_begin_
        std::size_t word_offset = 0;  // into occupancy_
    };

    CandidateIndex(std::span<const Hit> hits, double reach) {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
        order.reserve(hits.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            if (finite(hits[i])) {
                order.emplace_back(z_bits(hits[i].z), static_cast<std::uint32_t>(i));
            }
        }
        std::sort(order.begin(), order.end());
        x_.reserve(order.size());
        y_.reserve(order.size());
        position_.reserve(order.size());
        for (const auto& [bits, i] : order) {
            x_.push_back(hits[i].x);
            y_.push_back(hits[i].y);
            position_.push_back(i);
        }
        std::size_t begin = 0;
        while (begin < order.size()) {
            std::size_t end = begin + 1;
            while (end < order.size() && order[end].first == order[begin].first) {
                ++end;
            }
            add_plane(hits[order[begin].second].z, begin, end, reach);
            begin = end;
        }
    }

    const std::vector<Plane>& planes() const noexcept { return planes_; }

    // Whether (px, py) lies in the plane's box at all; false for NaN.
    static bool inside(const Plane& plane, double px, double py) noexcept {
        return (px >= plane.x_lo) & (px <= plane.x_hi) & (py >= plane.y_lo) & (py <= plane.y_hi);
    }

    // The cell of a prediction inside the box, as an index into the plane's cells.
    static std::uint32_t cell(const Plane& plane, double px, double py) noexcept {
        return cell_of(px, plane.x_lo, plane.inv_wx, plane.nx) * plane.ny +
               cell_of(py, plane.y_lo, plane.inv_wy, plane.ny);
    }

    bool occupied(const Plane& plane, std::uint32_t cell) const noexcept {
        return ((occupancy_[plane.word_offset + (cell >> 6)] >> (cell & 63u)) & 1u) != 0;
    }

    // Calls visit(position, x, y) for every hit listed in a cell, in increasing position.
    template <class Visit>
    void visit_cell(const Plane& plane, std::uint32_t cell, Visit&& visit) const {
        const std::size_t c = plane.cell_offset + cell;
        for (std::uint32_t k = cell_begin_[c]; k < cell_begin_[c + 1]; ++k) {
            const std::uint32_t item = cell_items_[k];
            visit(position_[item], x_[item], y_[item]);
        }
    }

    // Calls visit(position, x, y) for every hit of `plane` that can lie within reach of the
    // prediction (px, py), in increasing position.
    template <class Visit>
    void visit_near(const Plane& plane, double px, double py, Visit&& visit) const {
        if (!inside(plane, px, py)) {
            return;
        }
        const std::uint32_t c = cell(plane, px, py);
        if (occupied(plane, c)) {
            visit_cell(plane, c, visit);
        }
    }

  private:
    // Monotone in v, so a prediction between the edges of a reach box falls in a cell the box
    // touches. Written without branches: it runs once per candidate pair.
    static std::uint32_t cell_of(double v, double lo, double inv_w, std::uint32_t n) noexcept {
        return clamped_cell((v - lo) * inv_w, static_cast<double>(n - 1));
    }

    // Cells per axis: about eight cells per hit overall, none narrower than the reach box.
    static std::uint32_t cells_along(double extent, double width) noexcept {
        const double n = std::ceil(extent / width);
        if (!(n > 1.0)) {
            return 1;
        }
        return n >= 64.0 ? 64u : static_cast<std::uint32_t>(n);
    }

    void add_plane(double z, std::size_t begin, std::size_t end, double reach) {
        Plane plane;
        plane.z = z;
        plane.x_lo = plane.y_lo = std::numeric_limits<double>::infinity();
        plane.x_hi = plane.y_hi = -std::numeric_limits<double>::infinity();
        for (std::size_t i = begin; i < end; ++i) {
            plane.x_lo = std::min(plane.x_lo, x_[i] - reach);
            plane.x_hi = std::max(plane.x_hi, x_[i] + reach);
            plane.y_lo = std::min(plane.y_lo, y_[i] - reach);
            plane.y_hi = std::max(plane.y_hi, y_[i] + reach);
        }
        const double ex = plane.x_hi - plane.x_lo;
        const double ey = plane.y_hi - plane.y_lo;
        const auto n = static_cast<double>(end - begin);
        if (std::isfinite(ex) && std::isfinite(ey)) {
            const double width = std::max(2.0 * reach, std::sqrt(ex * ey / (8.0 * n)));
            plane.nx = cells_along(ex, width);
            plane.ny = cells_along(ey, width);
            plane.inv_wx = static_cast<double>(plane.nx) / ex;
            plane.inv_wy = static_cast<double>(plane.ny) / ey;
        }
        if (plane.nx == 1 && plane.ny == 1) {
            plane.inv_wx = plane.inv_wy = 0.0;
        } else if (!std::isfinite(plane.inv_wx) || !std::isfinite(plane.inv_wy)) {
            plane.nx = plane.ny = 1;
            plane.inv_wx = plane.inv_wy = 0.0;
        }
        const std::size_t cells = std::size_t{plane.nx} * plane.ny;
        plane.cell_offset = cell_begin_.empty() ? 0 : cell_begin_.size() - 1;
        if (cell_begin_.empty()) {
            cell_begin_.push_back(0);
        }
        const std::size_t first = cell_begin_.size() - 1;
        cell_begin_.resize(cell_begin_.size() + cells, 0);

        // Two passes over the reach boxes: count per cell, then place in position order.
        const auto for_each_cell = [&](std::size_t i, auto&& action) {
            const std::uint32_t x0 = cell_of(x_[i] - reach, plane.x_lo, plane.inv_wx, plane.nx);
            const std::uint32_t x1 = cell_of(x_[i] + reach, plane.x_lo, plane.inv_wx, plane.nx);
            const std::uint32_t y0 = cell_of(y_[i] - reach, plane.y_lo, plane.inv_wy, plane.ny);
            const std::uint32_t y1 = cell_of(y_[i] + reach, plane.y_lo, plane.inv_wy, plane.ny);
            for (std::uint32_t cx = x0; cx <= x1; ++cx) {
                for (std::uint32_t cy = y0; cy <= y1; ++cy) {
                    action(first + std::size_t{cx} * plane.ny + cy);
                }
            }
        };
        for (std::size_t i = begin; i < end; ++i) {
            for_each_cell(i, [&](std::size_t cell) { ++cell_begin_[cell + 1]; });
        }
        for (std::size_t c = first; c < first + cells; ++c) {
            cell_begin_[c + 1] += cell_begin_[c];
        }
        cell_items_.resize(cell_begin_[first + cells]);
        // Place back to front, counting each cell's end down to its start.
        for (std::size_t i = end; i-- > begin;) {
            for_each_cell(i, [&](std::size_t cell) {
                cell_items_[--cell_begin_[cell + 1]] = static_cast<std::uint32_t>(i);
            });
        }
        // Now cell_begin_[c + 1] holds cell c's start; shift the starts back into place.
        for (std::size_t c = first; c < first + cells; ++c) {
            cell_begin_[c] = cell_begin_[c + 1];
        }
        cell_begin_[first + cells] = static_cast<std::uint32_t>(cell_items_.size());
        plane.word_offset = occupancy_.size();
        occupancy_.resize(occupancy_.size() + (cells + 63) / 64, 0);
        for (std::size_t c = 0; c < cells; ++c) {
            if (cell_begin_[first + c + 1] > cell_begin_[first + c]) {
                occupancy_[plane.word_offset + c / 64] |= std::uint64_t{1} << (c % 64);
            }
        }
        planes_.push_back(plane);
    }

    std::vector<double> x_, y_;
    std::vector<std::uint32_t> position_;  // in the indexed hit list
    std::vector<Plane> planes_;
    std::vector<std::uint32_t> cell_begin_;
    std::vector<std::uint32_t> cell_items_;
    std::vector<std::uint64_t> occupancy_;  // one bit per cell: does any reach box touch it
};

// Second hits of a station, grouped by exact z, with each plane's extent over its finite
// coordinates. For a fixed first hit and planes of the second and third hit, the predicted x is
// a composition of monotone rounded operations of the second hit's x (and likewise for y), so
// the predictions from a whole plane lie between those from its extreme hits.
struct SecondHits {
    struct Plane {
        double z = 0.0;
        std::uint32_t begin = 0, end = 0;
        double x_min = 0.0, x_max = 0.0, y_min = 0.0, y_max = 0.0;
        bool bounded = false;  // the extents above hold every finite coordinate of the plane
    };
    std::vector<Plane> planes;
    std::vector<double> x, y;
    std::vector<std::uint32_t> position;  // in the station's hit list

    explicit SecondHits(std::span<const Hit> hits) {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
        order.reserve(hits.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            order.emplace_back(z_bits(hits[i].z), static_cast<std::uint32_t>(i));
        }
        std::sort(order.begin(), order.end());
        x.reserve(order.size());
        y.reserve(order.size());
        position.reserve(order.size());
        std::size_t begin = 0;
        while (begin < order.size()) {
            std::size_t end = begin + 1;
            while (end < order.size() && order[end].first == order[begin].first) {
                ++end;
            }
            Plane plane;
            plane.z = hits[order[begin].second].z;
            plane.begin = static_cast<std::uint32_t>(x.size());
            plane.x_min = plane.y_min = std::numeric_limits<double>::infinity();
            plane.x_max = plane.y_max = -std::numeric_limits<double>::infinity();
            for (std::size_t k = begin; k < end; ++k) {
                const Hit& hit = hits[order[k].second];
                x.push_back(hit.x);
                y.push_back(hit.y);
                position.push_back(order[k].second);
                if (std::isfinite(hit.x)) {
                    plane.x_min = std::min(plane.x_min, hit.x);
                    plane.x_max = std::max(plane.x_max, hit.x);
                }
                if (std::isfinite(hit.y)) {
                    plane.y_min = std::min(plane.y_min, hit.y);
                    plane.y_max = std::max(plane.y_max, hit.y);
                }
            }
            plane.bounded = plane.x_min <= plane.x_max && plane.y_min <= plane.y_max;
            plane.end = static_cast<std::uint32_t>(x.size());
            planes.push_back(plane);
            begin = end;
        }
    }
};

// Part of a station's triplet trie: first hit -> second hit -> (third hit, scatter), both levels
// in insertion order, which fixes the seeding order and the choice among equal scatters.
struct Trie {
    struct Group {
        Ref a;
        std::uint32_t begin = 0, end = 0;  // into entries, once finished
        std::uint32_t size = 0;
    };
    struct Entry {
        Ref b;
        Ref c;
        double scatter = 0.0;
        std::uint32_t group = 0;
    };
    std::vector<Group> groups;
    std::vector<Entry> entries;
};

// Fills a trie from triplets in recording order. An (a, b) pair recorded again (only possible
// when ids repeat) keeps its place and takes the new value; the stamps are per-key flat arrays.
class TrieBuilder {
  public:
    explicit TrieBuilder(std::size_t keys)
        : a_stamp_(keys, 0), a_group_(keys, 0), b_stamp_(keys, 0), b_entry_(keys, 0) {}

    void start(Trie& trie) {
        trie.groups.clear();
        trie.entries.clear();
        trie_ = &trie;
        ++trie_serial_;
        current_ = kNone;
    }

    void add(Ref a, Ref b, Ref c, double scatter) {
        Trie& trie = *trie_;
        std::uint32_t group;
        if (a_stamp_[a.key] == trie_serial_) {
            group = a_group_[a.key];
        } else {
            group = static_cast<std::uint32_t>(trie.groups.size());
            trie.groups.push_back(Trie::Group{a, 0, 0, 0});
            a_stamp_[a.key] = trie_serial_;
            a_group_[a.key] = group;
        }
        if (group != current_) {
            current_ = group;
            ++group_serial_;
            if (trie.groups[group].size > 0) {
                for (std::size_t i = 0; i < trie.entries.size(); ++i) {
                    if (trie.entries[i].group == group) {
                        b_stamp_[trie.entries[i].b.key] = group_serial_;
                        b_entry_[trie.entries[i].b.key] = static_cast<std::uint32_t>(i);
                    }
                }
            }
        }
        if (b_stamp_[b.key] == group_serial_) {
            Trie::Entry& entry = trie.entries[b_entry_[b.key]];
            entry.c = c;
            entry.scatter = scatter;
            return;
        }
        b_stamp_[b.key] = group_serial_;
        b_entry_[b.key] = static_cast<std::uint32_t>(trie.entries.size());
        trie.entries.push_back(Trie::Entry{b, c, scatter, group});
        ++trie.groups[group].size;
    }

    void finish() {
        Trie& trie = *trie_;
        // Entries arrive group by group unless ids repeat; sorted input needs no sorting.
        const auto by_group = [](const Trie::Entry& x, const Trie::Entry& y) {
            return x.group < y.group;
        };
        if (!std::is_sorted(trie.entries.begin(), trie.entries.end(), by_group)) {
            std::stable_sort(trie.entries.begin(), trie.entries.end(), by_group);
        }
        for (std::size_t i = 0; i < trie.entries.size(); ++i) {
            Trie::Group& group = trie.groups[trie.entries[i].group];
            if (group.end == 0) {
                group.begin = static_cast<std::uint32_t>(i);
            }
            group.end = static_cast<std::uint32_t>(i + 1);
        }
        trie_ = nullptr;
    }

  private:
    Trie* trie_ = nullptr;
    std::vector<std::uint32_t> a_stamp_, a_group_, b_stamp_, b_entry_;
    std::uint32_t trie_serial_ = 0;
    std::uint32_t group_serial_ = 0;
    std::uint32_t current_ = kNone;
};

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

// The hit of `index` with the strictly smallest scatter against the line through a and b, below
// `best` (updated), the earliest position on equal scatters; hits for which skip(i) holds are
// passed over. kNone when no hit qualifies.
template <class Skip>
std::uint32_t nearest_to_line(const CandidateIndex& index, const Hit& a, const Hit& b, double& best,
                              Skip&& skip) {
    const double r = 1.0 / (b.z - a.z);
    const double tx = (b.x - a.x) * r;
    const double ty = (b.y - a.y) * r;
    std::uint32_t chosen = kNone;
    for (const CandidateIndex::Plane& plane : index.planes()) {
        const double d = plane.z - a.z;
        const double px = a.x + tx * d;
        const double py = a.y + ty * d;
        index.visit_near(plane, px, py, [&](std::uint32_t i, double x, double y) {
            if (skip(i)) {
                return;
            }
            const double dx = px - x;
            const double dy = py - y;
            const double scatter = dx * dx + dy * dy;
            if (scatter < best || (scatter == best && chosen != kNone && i < chosen)) {
                best = scatter;
                chosen = i;
            }
        });
    }
    return chosen;
}

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

// Records the triplets of one first hit, second hits in order. For a fixed first hit and a
// plane of second hits, each second hit's slopes are computed once; a prediction on a plane of
// third hits is then one multiply-add per coordinate, screened by the plane's box and cell
// occupancy before any scatter is computed.
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
        for (const CandidateIndex::Plane& c_plane : third.planes()) {
            const double d = c_plane.z - a.z;
            if (b_plane.bounded) {
                // The plane's predictions lie between those of its extreme hits.
                const double x0 = a.x + ((b_plane.x_min - a.x) * r) * d;
                const double x1 = a.x + ((b_plane.x_max - a.x) * r) * d;
                const double y0 = a.y + ((b_plane.y_min - a.y) * r) * d;
                const double y1 = a.y + ((b_plane.y_max - a.y) * r) * d;
                if (std::isfinite(x0) && std::isfinite(x1) && std::isfinite(y0) &&
                    std::isfinite(y1) &&
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
                        third.visit_cell(c_plane, cell,
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
