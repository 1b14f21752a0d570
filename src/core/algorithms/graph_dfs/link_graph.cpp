#include "algorithms/graph_dfs/link_graph.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "algorithms/cancel.hpp"
#include "algorithms/graph_dfs/pass_bits.hpp"
#include "algorithms/graph_dfs/vector_path.hpp"

namespace trelmon::graph_dfs {
namespace {

// What the link search reads, gathered once per event.
struct LinkContext {
    LinkInputs in;
    HaloBounds halo;
    const ModuleRange* ranges;
    const ModuleGrid* grids;
    const Block* blocks;
    const std::uint32_t* block_begin;
    const std::uint64_t* pass_bits;
    const std::uint32_t* pass_rank;
    const std::uint64_t* masks;
    const std::uint64_t* halos;
    const Pos* cell_start;
};

// Whether the line through (x, y, z) with slopes (tx, ty) meets a band of the module's halo
// (always, for a module without one). Column and row clamped as the four-lane filter clamps them.
inline bool meets_halo(const std::uint64_t* halos, const ModuleGrid& grid, double x, double y,
                       double z, double tx, double ty) {
    if (!grid.has_halo)
        return true;
    for (int b = 0; b < grid.band_count; ++b) {
        const HaloBand& band = grid.bands[b];
        const int column = clamped_index(halo_column(grid, band, x, z, tx), kMaskCells - 1);
        const int row = clamped_index(halo_row(grid, band, y, z, ty), kMaskRows - 1);
        if (grid_bit(halos + band.grid, row, column))
            return true;
    }
    return false;
}

// Whether the grids show that no hit of the lower module lies near the line's prediction there.
inline bool misses_lower_module(const LinkContext& ctx, const Line& line, bool near,
                                std::int32_t module) {
    const LinkInputs& in = ctx.in;
    const ModuleRange& lower = ctx.ranges[module];
    const ModuleGrid& grid = ctx.grids[module];
    if (near && grid.has_halo) {
        const auto q = static_cast<std::size_t>(line.q);
        return !meets_halo(ctx.halos, grid, in.xs[q], in.ys[q], in.zs[q], line.tx, line.ty);
    }
    if (line.finite && grid.has_mask) {
        const Prediction at = predict(in, line, lower);
        if (at.usable()) {
            const std::uint64_t* rows_of = ctx.masks + grid.mask;
            const int ya = mask_row(at.cy - at.reach_y, grid.mask_y0, grid.mask_y_inv);
            const int yb = mask_row(at.cy + at.reach_y, grid.mask_y0, grid.mask_y_inv);
            const int xa = mask_cell(at.cx - at.reach_x, grid.mask_x0, grid.mask_x_inv);
            const int xb = mask_cell(at.cx + at.reach_x, grid.mask_x0, grid.mask_x_inv);
            for (int word = 0; word < kMaskWords; ++word) {
                std::uint64_t rows = 0;
                for (int row = ya; row <= yb; ++row)
                    rows |= rows_of[row * kMaskWords + word];
                if ((rows & column_span(xa, xb, word)) != 0)
                    return false;
            }
            return true;
        }
    }
    return false;
}

// Calls link(s, c, block) for every segment s of `block` (they all start at the line's lower hit)
// that continues the line, c being its lower hit, in index order. Where the prediction is usable,
// only the hits within its reach are tested; the exact link test decides.
template <typename Link>
inline void search_block(const LinkContext& ctx, const Line& line, const Block& block,
                         Link&& link) {
    const LinkInputs& in = ctx.in;
    const ModuleRange& lower = ctx.ranges[block.module];
    const ModuleGrid& grid = ctx.grids[block.module];
    const std::uint64_t* words = ctx.pass_bits + block.bits;
    // The segment's number is worked out only for the few that link.
    auto test = [&](std::uint32_t offset, auto&& number) {
        const Pos c = block.first + static_cast<Pos>(offset);
        if (continues(in.xs, in.ys, in.zs, in.cut, line.g, line.q, line.tx, line.ty, c))
            link(number(), c, block);
    };
    if (line.finite && grid.cells != 0) {
        const Prediction at = predict(in, line, lower);
        if ((line.bounded && grid.has_halo) || at.usable()) {
            const Pos* table = ctx.cell_start + grid.table;
            const Pos from = std::max(
                table[clamped_cell((at.cx - at.reach_x - grid.x0) * grid.inv_width, grid.last)],
                block.first);
            const Pos to = std::min(
                table[clamped_cell((at.cx + at.reach_x - grid.x0) * grid.inv_width, grid.last) + 1],
                block.window_end);
            // A scan of a few hits: two lanes at a time cost more than they save.
            for (Pos c = from; c < to; ++c) {
                const auto offset = static_cast<std::uint32_t>(c - block.first);
                if (std::fabs(in.ys[c] - at.cy) < at.reach_y &&
                    ((words[offset / 64] >> (offset % 64)) & 1) != 0) {
                    test(offset, [&] {
                        return block.begin +
                               rank_in_window(words, ctx.pass_rank + block.bits, offset);
                    });
                }
            }
            return;
        }
    }
    Seg s = block.begin;
    for_each_passing(words, block.window_end - block.first,
                     [&](std::uint32_t offset) { test(offset, [t = s++] { return t; }); });
}

// The slots among `slots` (q's blocks) whose lower module's halo the line from hit g through q
// meets (bit k for slot k, lower[k] its module's grids).
inline std::uint64_t halo_slots(const LinkContext& ctx, const ModuleGrid* const* lower,
                                std::size_t g, std::size_t q, std::uint32_t slot_count,
                                std::uint64_t slots, double& tx_out, double& ty_out) {
    const double* xs = ctx.in.xs;
    const double* ys = ctx.in.ys;
    const double* zs = ctx.in.zs;
    const double r = 1 / (zs[q] - zs[g]);
    const double tx = (xs[q] - xs[g]) * r;
    const double ty = (ys[q] - ys[g]) * r;
    tx_out = tx;
    ty_out = ty;
    std::uint64_t met = 0;
    for (std::uint32_t k = 0; k < slot_count; ++k) {
        if (((slots >> k) & 1) != 0 &&
            meets_halo(ctx.halos, *lower[k], xs[q], ys[q], zs[q], tx, ty))
            met |= std::uint64_t{1} << k;
    }
    return met;
}

// The groups of four hits with a hit in `hits`: bit 4j stands for hits 4j .. 4j + 3, among the
// whole groups below `whole`.
inline std::uint64_t group_mask(std::uint64_t hits, std::uint32_t whole) {
    std::uint64_t groups = hits | hits >> 1;
    groups = (groups | groups >> 2) & 0x1111111111111111u;
    if (whole < 64)
        groups &= (std::uint64_t{1} << whole) - 1;
    return groups;
}

#if TRELMON_AVX2
// Of the hits of `groups` (group_mask), those whose line meets a band of the grid's halo, for
// the bands [0, band_count): the operations of meets_halo, lane by lane.
template <int band_count>
[[gnu::target("avx2")]] std::uint64_t slot_word_avx2(const long long* halos, const ModuleGrid& grid,
                                                     const double* xs, const double* ys,
                                                     const double* zs, const double* txs,
                                                     const double* tys, std::uint64_t groups) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d last_column = _mm256_set1_pd(kMaskCells - 1);
    const __m256d last_row = _mm256_set1_pd(kMaskRows - 1);
    const __m256d x0 = _mm256_set1_pd(grid.mask_x0);
    const __m256d y0 = _mm256_set1_pd(grid.mask_y0);
    const __m256d x_inv = _mm256_set1_pd(grid.mask_x_inv);
    const __m256d y_inv = _mm256_set1_pd(grid.mask_y_inv);
    const __m128i low_six = _mm_set1_epi32(63);
    std::uint64_t out = 0;
    for (; groups != 0; groups &= groups - 1) {
        const auto i = static_cast<std::uint32_t>(std::countr_zero(groups));
        const __m256d z = _mm256_loadu_pd(zs + i);
        const __m256d tx = _mm256_load_pd(txs + i);
        const __m256d ty = _mm256_load_pd(tys + i);
        const __m256d ux = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(xs + i), x0), x_inv);
        const __m256d uy = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(ys + i), y0), y_inv);
        std::uint32_t met = 0;
        for (int b = 0; b < band_count; ++b) {
            const HaloBand& band = grid.bands[b];
            const __m256d dz = _mm256_sub_pd(_mm256_set1_pd(band.z_mid), z);
            const __m256d column_at =
                _mm256_add_pd(ux, _mm256_mul_pd(tx, _mm256_mul_pd(dz, x_inv)));
            const __m256d row_at = _mm256_add_pd(uy, _mm256_mul_pd(ty, _mm256_mul_pd(dz, y_inv)));
            const __m128i column =
                _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(column_at, zero), last_column));
            const __m128i row =
                _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(row_at, zero), last_row));
            static_assert(kMaskWords == 2);
            const __m128i at =
                _mm_add_epi32(_mm_set1_epi32(static_cast<int>(band.grid)),
                              _mm_add_epi32(_mm_slli_epi32(row, 1), _mm_srli_epi32(column, 6)));
            const __m256i words = _mm256_i32gather_epi64(halos, at, 8);
            const __m256i bits =
                _mm256_srlv_epi64(words, _mm256_cvtepu32_epi64(_mm_and_si128(column, low_six)));
            met |= static_cast<std::uint32_t>(
                _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_slli_epi64(bits, 63))));
        }
        out |= std::uint64_t{met} << i;
    }
    return out;
}

// halo_slots for the hits from + i, i < count, four at a time, each lane with the very
// operations of halo_slots in the same order, so the same cells: word[k] gets bit i when hit
// from + i has a block in slot k (bit i of has[k]) and the line to it meets the slot's halo.
// Groups of four without such a passing hit are skipped; the hits past the last whole group
// are left to the caller. The slopes come first, a group at a time; then slot by slot, so that
// each slot's module is read once.
[[gnu::target("avx2")]] std::uint32_t halo_words_avx2(
    const LinkContext& ctx, const std::uint64_t* has, const ModuleGrid* const* lower, std::size_t g,
    std::size_t from, std::uint32_t count, std::uint64_t passing, std::uint32_t slot_count,
    std::uint64_t* word, double* txs, double* tys) {
    const auto* halos = reinterpret_cast<const long long*>(ctx.halos);
    const double* xs = ctx.in.xs + from;
    const double* ys = ctx.in.ys + from;
    const double* zs = ctx.in.zs + from;
    const std::uint32_t whole = count & ~3u;
    std::uint64_t any = 0;
    for (std::uint32_t k = 0; k < slot_count; ++k)
        any |= has[k];
    const std::uint64_t groups = group_mask(passing & any, whole);
    if (groups == 0)
        return whole;
    const __m256d xg = _mm256_set1_pd(ctx.in.xs[g]);
    const __m256d yg = _mm256_set1_pd(ctx.in.ys[g]);
    const __m256d zg = _mm256_set1_pd(ctx.in.zs[g]);
    const __m256d one = _mm256_set1_pd(1.0);
    for (std::uint64_t left = groups; left != 0; left &= left - 1) {
        const auto i = static_cast<std::uint32_t>(std::countr_zero(left));
        const __m256d r = _mm256_div_pd(one, _mm256_sub_pd(_mm256_loadu_pd(zs + i), zg));
        _mm256_store_pd(txs + i, _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(xs + i), xg), r));
        _mm256_store_pd(tys + i, _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(ys + i), yg), r));
    }
    for (std::uint32_t k = 0; k < slot_count; ++k) {
        const ModuleGrid& grid = *lower[k];
        const std::uint64_t slot_groups = group_mask(passing & has[k], whole);
        std::uint64_t met = ~std::uint64_t{0};  // a module without a halo: met by every line
        if (grid.has_halo && grid.band_count == 2) {
            met = slot_word_avx2<2>(halos, grid, xs, ys, zs, txs, tys, slot_groups);
        } else if (grid.has_halo) {
            met = slot_word_avx2<1>(halos, grid, xs, ys, zs, txs, tys, slot_groups);
        }
        word[k] |=
            met & has[k] & (whole < 64 ? (std::uint64_t{1} << whole) - 1 : ~std::uint64_t{0});
    }
    return whole;
}
#endif

// The slopes of a word of segments, from the halo filter to the link search, so that a segment's
// line is not formed a second time.
struct Slopes {
    alignas(32) double tx[64];
    alignas(32) double ty[64];
};

// For the segments from the block's upper hit to the hits `from` + i that `passing` marks:
// sets word[k] bit i when the lower hit has a block in slot k and the line meets the halo of
// that slot's module, and returns the offsets i with any such slot, their slopes (formed as
// make_line forms them) left at slopes.tx[i] and slopes.ty[i]. Every such segment lies within
// the halo bounds: its slopes passed the window and y cuts, which the bounds exceed by far more
// than rounding.
std::uint64_t halo_filter(const SegmentBlocks& sb, const LinkContext& ctx, const Block& block,
                          Pos from, Pos end, std::uint64_t passing, bool vector,
                          std::uint64_t* word, Slopes& slopes) {
    const auto module = static_cast<std::size_t>(block.module);
    const std::uint32_t slot_count = sb.slot_count[module];
    if (slot_count == 0)
        return 0;  // a block into module 0 or 1: its lower hits start no segments
    std::array<const ModuleGrid*, 64> lower;
    std::array<std::uint64_t, 64> has;  // per slot, the hits with a block there
    const std::size_t shift = static_cast<std::size_t>(from) % 64;
    for (std::uint32_t k = 0; k < slot_count; ++k) {
        lower[k] = ctx.grids + sb.slot_module[64 * module + k];
        const std::uint64_t* bits =
            sb.slot_bits.data() + k * sb.slot_words + static_cast<std::size_t>(from) / 64;
        // Shifted in two steps: by 64 when `shift` is 0 would be undefined.
        has[k] = bits[0] >> shift | (bits[1] << (63 - shift) << 1);
        word[k] = 0;
    }
    const auto g = static_cast<std::size_t>(block.upper);
    std::uint32_t done = 0;
#if TRELMON_AVX2
    if (vector) {
        const auto count = static_cast<std::uint32_t>(std::min<Pos>(end - from, 64));
        done = halo_words_avx2(ctx, has.data(), lower.data(), g, static_cast<std::size_t>(from),
                               count, passing, slot_count, word, slopes.tx, slopes.ty);
    }
#else
    (void)vector;
    (void)end;
#endif
    for (std::uint64_t left = done >= 64 ? 0 : passing >> done << done; left != 0;
         left &= left - 1) {
        const int i = std::countr_zero(left);
        const auto q = static_cast<std::size_t>(from + i);
        const std::uint64_t slots = halo_slots(ctx, lower.data(), g, q, slot_count, sb.slot_mask[q],
                                               slopes.tx[static_cast<std::size_t>(i)],
                                               slopes.ty[static_cast<std::size_t>(i)]);
        for (std::uint32_t k = 0; k < slot_count; ++k)
            word[k] |= ((slots >> k) & 1) << i;
    }
    std::uint64_t any = 0;
    for (std::uint32_t k = 0; k < slot_count; ++k)
        any |= word[k];
    return any & passing;
}

// Appends the successor lists, segment by segment in index order.
struct Linker {
    LinkGraph& graph;
    const LinkContext& ctx;
    bool descending = true;

    // The successors of segment number `segment`, from g down to q, in index order: in the
    // blocks that blocks_to_search(line, q, search) hands to search, in block order.
    // `number()` gives the segment's number, worked out only when it has successors.
    // `make(line)` forms the segment's line, false when it has none.
    template <typename Number, typename MakeLine, typename BlocksToSearch>
    void link_from(Number&& number, Pos g, Pos q, MakeLine&& make,
                   BlocksToSearch&& blocks_to_search) {
        Line line;
        if (!make(line))
            return;
        std::size_t links = 0;
        Seg highest = 0;
        auto link = [&](Seg s, Pos c, const Block& block) {
            graph.succ.push_back(s);
            graph.succ_low.push_back(c);
            graph.succ_block.push_back(static_cast<std::uint32_t>(&block - ctx.blocks));
            highest = std::max(highest, s);
            ++links;
        };
        blocks_to_search(line, q,
                         [&](const Block& block) { search_block(ctx, line, block, link); });
        if (links == 0)
            return;
        const std::size_t before = graph.succ.size() - links;
        if (graph.succ.size() >= kNoSeg)
            throw std::bad_alloc();
        const Seg segment = number();
        descending = descending && highest < segment;
        graph.linked.push_back(segment);
        graph.linked_up.push_back(g);
        graph.linked_low.push_back(q);
        graph.succ_begin.push_back(static_cast<std::uint32_t>(before));
    }
};

// Without the halo filter: every segment whose lower hit has blocks, each block of that hit
// searched unless the grids rule its module out.
void link_by_occupancy(Linker& linker, const SegmentBlocks& sb) {
    const LinkContext& ctx = linker.ctx;
    auto unruled_blocks = [&](const Line& line, Pos q, auto&& search) {
        const bool near = ctx.halo.enabled && line.finite && line.abs_tx <= ctx.halo.tx &&
                          line.abs_ty <= ctx.halo.ty;
        const auto qi = static_cast<std::size_t>(q);
        for (auto b = ctx.block_begin[qi]; b < ctx.block_begin[qi + 1]; ++b) {
            if (!misses_lower_module(ctx, line, near, ctx.blocks[b].module))
                search(ctx.blocks[b]);
        }
    };
    for (const Block& block : sb.blocks) {
        throw_if_cancelled();
        Seg segment = block.begin;
        for_each_passing(
            sb.pass_bits.data() + block.bits, block.window_end - block.first,
            [&](std::uint32_t offset) {
                const Pos q = block.first + static_cast<Pos>(offset);
                const auto qi = static_cast<std::size_t>(q);
                // Only a lower hit with blocks of its own continues.
                if (ctx.block_begin[qi] != ctx.block_begin[qi + 1]) {
                    linker.link_from(
                        [t = segment] { return t; }, block.upper, q,
                        [&](Line& line) { return make_line(ctx.in, block.upper, q, line); },
                        unruled_blocks);
                }
                ++segment;
            });
    }
}

// With the halo filter: a word of segments at a time, each searched in the slots the filter
// left it. The filter runs only with every coordinate finite and the halo bounds enabled, and
// the segments it passes lie within those bounds, so their lines are bounded (link_test.hpp).
void link_by_halos(Linker& linker, const SegmentBlocks& sb) {
    const LinkContext& ctx = linker.ctx;
    const bool vector = four_lanes();
    std::array<std::uint64_t, 64> word;  // per slot, the hits whose line meets its halo
    Slopes slopes;                       // of those hits' segments
    int offset = 0;                      // the hit at hand, bit `offset` of those words
    // The blocks of q in the slots whose halo its line meets: a hit's blocks are in slot order,
    // one per slot it has.
    auto blocks_in_slots = [&](const Line&, Pos q, auto&& search) {
        const auto qi = static_cast<std::size_t>(q);
        std::uint32_t b = ctx.block_begin[qi];
        for (std::uint64_t left = sb.slot_mask[qi]; left != 0; left &= left - 1, ++b) {
            if (((word[static_cast<std::size_t>(std::countr_zero(left))] >> offset) & 1) != 0)
                search(ctx.blocks[b]);
        }
    };
    for (const Block& block : sb.blocks) {
        throw_if_cancelled();
        const std::uint64_t* passing = sb.pass_bits.data() + block.bits;
        const std::uint32_t* ranks = sb.pass_rank.data() + block.bits;
        const Pos length = block.window_end - block.first;
        for (Pos w = 0; w * 64 < length; ++w) {
            const Seg before_word = block.begin + ranks[w];
            const Pos from = block.first + 64 * w;
            const std::uint64_t candidates = halo_filter(sb, ctx, block, from, block.window_end,
                                                         passing[w], vector, word.data(), slopes);
            for (std::uint64_t bits = candidates; bits != 0; bits &= bits - 1) {
                offset = std::countr_zero(bits);
                const std::uint64_t below = (std::uint64_t{1} << offset) - 1;
                const Pos q = from + offset;
                linker.link_from([&] { return before_word + count_ones(passing[w] & below); },
                                 block.upper, q,
                                 [&](Line& line) {
                                     const auto i = static_cast<std::size_t>(offset);
                                     return make_bounded_line(ctx.in, block.upper, q, slopes.tx[i],
                                                              slopes.ty[i], line);
                                 },
                                 blocks_in_slots);
            }
        }
    }
}

// Each successor's position in `linked`, if it has successors itself. `linked` ascends, and so
// do the blocks' first segments, so the linked segments of block b start at linked_from[b]: a
// successor is looked for only among those of its own block.
void index_successors(LinkGraph& graph, const SegmentBlocks& sb) {
    const std::size_t linked = graph.linked.size();
    const std::size_t block_count = sb.blocks.size();
    graph.linked_from.resize(block_count + 1);
    std::size_t j = 0;
    for (std::size_t b = 0; b < block_count; ++b) {
        while (j < linked && graph.linked[j] < sb.blocks[b].begin)
            ++j;
        graph.linked_from[b] = static_cast<std::uint32_t>(j);
    }
    graph.linked_from[block_count] = static_cast<std::uint32_t>(linked);
    const std::size_t links = graph.succ.size();
    graph.succ_link.resize(links);
    graph.is_successor.assign(linked, 0);
    // Through plain pointers: the byte stores to is_successor could alias the vectors' own
    // members, which would then be read again at every step.
    const Seg* succ = graph.succ.data();
    const std::uint32_t* succ_block = graph.succ_block.data();
    const std::uint32_t* linked_from = graph.linked_from.data();
    const Seg* linked_begin = graph.linked.data();
    Seg* succ_link = graph.succ_link.data();
    std::uint8_t* is_successor = graph.is_successor.data();
    for (std::size_t k = 0; k < links; ++k) {
        const Seg s = succ[k];
        const std::uint32_t b = succ_block[k];
        const Seg* first = linked_begin + linked_from[b];
        const Seg* last = linked_begin + linked_from[b + 1];
        const Seg* at = std::lower_bound(first, last, s);
        const auto i = static_cast<Seg>(at - linked_begin);
        const bool has_successors = at != last && *at == s;
        succ_link[k] = has_successors ? i : kNoSeg;
        if (has_successors)
            is_successor[i] = 1;
    }
}

}  // namespace

bool link_segments(LinkGraph& graph, const HitLayout& layout, const SegmentBlocks& blocks,
                   const ModuleGrids& grids, const LinkInputs& in) {
    const LinkContext ctx{in,
                          grids.halo,
                          layout.ranges.data(),
                          grids.modules.data(),
                          blocks.blocks.data(),
                          blocks.block_begin.data(),
                          blocks.pass_bits.data(),
                          blocks.pass_rank.data(),
                          grids.masks.data(),
                          grids.halos.data(),
                          grids.cell_start.data()};
    graph.linked.clear();
    graph.linked_up.clear();
    graph.linked_low.clear();
    graph.succ_begin.clear();
    graph.succ.clear();
    graph.succ_low.clear();
    graph.succ_block.clear();
    Linker linker{graph, ctx};
    if (grids.halo_filter) {
        link_by_halos(linker, blocks);
    } else {
        link_by_occupancy(linker, blocks);
    }
    graph.succ_begin.push_back(static_cast<std::uint32_t>(graph.succ.size()));
    index_successors(graph, blocks);
    return linker.descending;
}

}  // namespace trelmon::graph_dfs
