// The process-wide worker pool behind every solve_batch.
#pragma once

#include <cstddef>
#include <functional>

namespace trelmon {

// Runs task(i) for every i in [0, count) on the worker pool, the calling thread included, and
// returns when all are done. Items are handed out one at a time, so events of very different
// sizes balance across threads. The first failure is rethrown on the calling thread; items not
// yet started when it happened are skipped.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

// Threads that parallel_for runs on, the calling thread included. Creates the pool on first use:
// TRELMON_NUM_THREADS (read once, then) or else the processors this process may run on.
std::size_t pool_thread_count();

}  // namespace trelmon
