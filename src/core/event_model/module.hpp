// One detector module of an event: its number, z and a range into the event's hit list.
// Modules of one event share that list instead of each holding a copy; it is never mutated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "event_model/hit.hpp"

namespace trelmon {

using HitList = std::vector<Hit>;
using SharedHits = std::shared_ptr<const HitList>;

struct Module {
    std::uint32_t module_number = 0;
    double z = 0.0;
    std::size_t hit_start_index = 0;
    std::size_t hit_end_index = 0;
    SharedHits global_hits;  // never null

    // The module's own hits, global_hits[hit_start_index .. hit_end_index), read in place.
    std::span<const Hit> hits() const noexcept {
        return {global_hits->data() + hit_start_index, hit_end_index - hit_start_index};
    }
};

// Throws Error(Value) unless start <= end <= global_hits->size().
Module make_module(std::uint32_t module_number, double z, std::size_t hit_start_index,
                   std::size_t hit_end_index, SharedHits global_hits);

std::string module_repr(const Module& module);

}  // namespace trelmon
