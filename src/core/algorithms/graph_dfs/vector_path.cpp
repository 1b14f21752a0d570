#include "algorithms/graph_dfs/vector_path.hpp"

#include <atomic>

namespace trelmon::graph_dfs {
namespace {

std::atomic<bool> baseline_only{false};

}  // namespace

bool four_lanes() {
#if TRELMON_GRAPH_DFS_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2 && !baseline_only.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void use_baseline_paths(bool on) {
    baseline_only.store(on, std::memory_order_relaxed);
}

}  // namespace trelmon::graph_dfs
