#include "event_model/module.hpp"

#include <utility>

#include "core_errors.hpp"

namespace trelmon {

Module make_module(std::uint32_t module_number, double z, std::size_t hit_start_index,
                   std::size_t hit_end_index, SharedHits global_hits) {
    if (hit_end_index < hit_start_index || hit_end_index > global_hits->size()) {
        throw Error(ErrorKind::Value,
                    "Invalid hit indices: hit_end_index must be >= hit_start_index and within "
                    "bounds of global_hits");
    }
    return Module{module_number, z, hit_start_index, hit_end_index, std::move(global_hits)};
}

std::string module_repr(const Module& module) {
    const auto hits = module.hits();
    std::string out = "module " + std::to_string(module.module_number);
    out += ":\n At z: ";
    out += format_debug_float(module.z);
    out += "\n Number of hits: ";
    out += std::to_string(hits.size());
    out += "\n Hits: ";
    out += hit_list_debug(hits);
    return out;
}

}  // namespace trelmon
