// The process-wide worker pool behind every solve and solve_batch.
#pragma once

#include <cstddef>
#include <functional>

namespace trelmon {

// Runs task(i) for every i in [0, count) on the worker pool and returns when all are done. Items
// are handed out one at a time, so events of very different sizes balance across threads, and
// jobs submitted from several threads at once share the workers. The first failure is rethrown
// on the calling thread; items not yet started when it happened are skipped.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

// The same, with the calling thread calling keep_going() about every 50 ms while it waits. When
// that returns false the job is stopped: no further item starts, running items see
// cancel_requested(), and once every worker has let go of the job this returns false without
// rethrowing anything. Returns true when every item ran.
bool parallel_for(std::size_t count, const std::function<void(std::size_t)>& task,
                  const std::function<bool()>& keep_going);

// Worker threads of the pool. Creates the pool on first use: TRELMON_NUM_THREADS (read once,
// then) or else the processors this process may run on.
std::size_t pool_thread_count();

}  // namespace trelmon
