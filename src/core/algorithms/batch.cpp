#include "algorithms/batch.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "algorithms/cancel.hpp"
#include "core_errors.hpp"

namespace trelmon {
namespace {

struct Job {
    Job(std::size_t item_count, const std::function<void(std::size_t)>& item_task)
        : count(item_count), task(item_task) {}

    std::size_t count;
    const std::function<void(std::size_t)>& task;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};  // a failure or the caller; also the finders' cancel flag
    std::size_t active = 0;            // workers inside an item; guarded by the pool's mutex
    std::mutex error_mutex;
    std::exception_ptr error;

    bool exhausted() const noexcept {
        return stopped.load(std::memory_order_relaxed) ||
               next.load(std::memory_order_relaxed) >= count;
    }

    // Runs the next item, if any is left.
    void work_one() noexcept {
        const std::size_t item = next.fetch_add(1, std::memory_order_relaxed);
        if (item >= count || stopped.load(std::memory_order_relaxed)) {
            return;
        }
        try {
            const CancelScope scope(stopped);
            task(item);
        } catch (...) {
            std::lock_guard lock(error_mutex);
            if (!error) {
                error = std::current_exception();
            }
            stopped.store(true, std::memory_order_relaxed);
        }
    }
};

// Workers take one item at a time from the submitted jobs in turn; the submitting threads only
// wait, so they stay free to notice signals.
class WorkerPool {
  public:
    explicit WorkerPool(std::size_t threads) {
        workers_.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) {
            workers_.emplace_back([this] { serve(); });
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t thread_count() const noexcept { return workers_.size(); }

    // Returns false when keep_going (if given) asked to stop.
    bool run(Job& job, const std::function<bool()>* keep_going) {
        std::unique_lock lock(mutex_);
        jobs_.push_back(&job);
        wake_.notify_all();
        const auto finished = [&] { return job.exhausted() && job.active == 0; };
        bool cancelled = false;
        while (!finished()) {
            if (keep_going == nullptr || cancelled) {
                done_.wait(lock, finished);
                break;
            }
            if (done_.wait_for(lock, kPollInterval, finished)) {
                break;
            }
            lock.unlock();
            const bool go_on = (*keep_going)();
            lock.lock();
            if (!go_on) {
                cancelled = true;
                job.stopped.store(true, std::memory_order_relaxed);
            }
        }
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
        return !cancelled;
    }

  private:
    static constexpr std::chrono::milliseconds kPollInterval{50};

    // The next job with items left, taking the jobs in turn; null when there is none.
    Job* pick() noexcept {
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            Job* job = jobs_[(turn_ + i) % jobs_.size()];
            if (!job->exhausted()) {
                turn_ = (turn_ + i + 1) % jobs_.size();
                return job;
            }
        }
        return nullptr;
    }

    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            Job* job = nullptr;
            wake_.wait(lock, [&] { return (job = pick()) != nullptr; });
            ++job->active;
            lock.unlock();
            job->work_one();
            lock.lock();
            if (--job->active == 0 && job->exhausted()) {
                done_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<Job*> jobs_;
    std::size_t turn_ = 0;
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
    the_pool().run(job, nullptr);
    if (job.error) {
        std::rethrow_exception(job.error);
    }
}

bool parallel_for(std::size_t count, const std::function<void(std::size_t)>& task,
                  const std::function<bool()>& keep_going) {
    if (count == 0) {
        return true;
    }
    Job job{count, task};
    if (!the_pool().run(job, &keep_going)) {
        return false;  // whatever the items threw, cancellation included, is moot
    }
    if (job.error) {
        std::rethrow_exception(job.error);
    }
    return true;
}

std::size_t pool_thread_count() {
    return the_pool().thread_count();
}

}  // namespace trelmon
