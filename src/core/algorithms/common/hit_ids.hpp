// Hit ids as keys of per-hit tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trelmon {

// Whether `count` ids spanning [low, high] are dense enough for flat tables indexed by
// id - low, rather than a hash table. An Event's ids are its positions 0 .. n - 1, always dense;
// hand-made module lists may hold any ids, repeated or far apart. Either choice gives the same
// results; this only bounds the memory a flat table may waste.
inline bool ids_fit_flat_table(std::int64_t low, std::int64_t high, std::size_t count) noexcept {
    return count == 0 || high - low < static_cast<std::int64_t>(8 * count + 4096);
}

}  // namespace trelmon
