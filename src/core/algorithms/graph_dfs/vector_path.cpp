#include "algorithms/graph_dfs/vector_path.hpp"

#include <atomic>

namespace trelmon::graph_dfs {
namespace {

std::atomic<bool> baseline_only{false};

}  // namespace

bool four_lanes() {
    return cpu_has_avx2() && !baseline_only.load(std::memory_order_relaxed);
}

void use_baseline_paths(bool on) {
    baseline_only.store(on, std::memory_order_relaxed);
}

}  // namespace trelmon::graph_dfs
