#include "algorithms/batch.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_errors.hpp"

namespace trelmon {
namespace {

struct Job {
    Job(std::size_t item_count, const std::function<void(std::size_t)>& item_task)
        : count(item_count), task(item_task) {}

    std::size_t count;
    const std::function<void(std::size_t)>& task;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;

    // Takes items until none is left or one has failed.
    void work() noexcept {
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= count) {
                return;
            }
            try {
                task(item);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) {
                    error = std::current_exception();
                }
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
};

class WorkerPool {
  public:
    explicit WorkerPool(std::size_t threads) {
        workers_.reserve(threads - 1);
        for (std::size_t i = 1; i < threads; ++i) {
            workers_.emplace_back([this] { serve(); });
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t thread_count() const noexcept { return workers_.size() + 1; }

    void run(Job& job) {
        std::lock_guard submit(submit_mutex_);  // one batch at a time
        if (!workers_.empty() && job.count > 1) {
            std::lock_guard lock(mutex_);
            job_ = &job;
            ++generation_;
            wake_.notify_all();
        }
        job.work();
        std::unique_lock lock(mutex_);
        job_ = nullptr;  // no worker joins from here on
        idle_.wait(lock, [this] { return busy_ == 0; });
    }

  private:
    void serve() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = job_;
            if (job == nullptr) {
                continue;  // the batch ended before this worker woke up
            }
            ++busy_;
            lock.unlock();
            job->work();
            lock.lock();
            if (--busy_ == 0) {
                idle_.notify_all();
            }
        }
    }

    std::mutex submit_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t busy_ = 0;
    std::vector<std::thread> workers_;
};

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

std::size_t configured_threads() {
    const char* text = std::getenv("TRELMON_NUM_THREADS");
    if (text == nullptr || *text == '\0') {
        return available_processors();
    }
    std::size_t value = 0;
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value);
    if (result.ec != std::errc() || result.ptr != end || value == 0 || value > 4096) {
        throw Error(ErrorKind::Value,
                    "TRELMON_NUM_THREADS must be a whole number from 1 to 4096, not '" +
                        std::string(text) + "'");
    }
    return value;
}

// The pool lives until the process ends. A child created by fork() has none of the parent's
// threads, so it starts a pool of its own on first use.
std::mutex pool_mutex;
WorkerPool* pool = nullptr;

void forget_pool_in_child() {
    pool = nullptr;
}

WorkerPool& the_pool() {
    std::lock_guard lock(pool_mutex);
    if (pool == nullptr) {
        static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
        (void)registered;
        pool = new WorkerPool(configured_threads());
    }
    return *pool;
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) {
        return;
    }
    Job job{count, task};
    the_pool().run(job);
    if (job.error) {
        std::rethrow_exception(job.error);
    }
}

std::size_t pool_thread_count() {
    return the_pool().thread_count();
}

}  // namespace trelmon
