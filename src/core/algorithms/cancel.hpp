// Cooperative cancellation. The worker pool points each thread at the stop flag of the job it is
// serving; a finder calls throw_if_cancelled() at coarse points (per module, per seed) so that a
// long event can be abandoned. Outside a pool job the check never fires.
#pragma once

#include <atomic>

namespace trelmon {

// Thrown by throw_if_cancelled(). Not an std::exception: it ends the job without being a failure
// of the work itself.
struct Cancelled {};

namespace detail {
inline thread_local const std::atomic<bool>* cancel_flag = nullptr;
}  // namespace detail

// Points this thread at `flag` for its lifetime.
class CancelScope {
  public:
    explicit CancelScope(const std::atomic<bool>& flag) noexcept : previous_(detail::cancel_flag) {
        detail::cancel_flag = &flag;
    }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;
    ~CancelScope() { detail::cancel_flag = previous_; }

  private:
    const std::atomic<bool>* previous_;
};

inline bool cancel_requested() noexcept {
    const std::atomic<bool>* flag = detail::cancel_flag;
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

inline void throw_if_cancelled() {
    if (cancel_requested()) {
        throw Cancelled{};
    }
}

// throw_if_cancelled() for a hot loop: the thread's flag is looked up once, when made (a
// thread-local read from a shared library can be a call into the dynamic loader each time). The
// flag stays the same for the whole job.
class CancelCheck {
  public:
    void operator()() const {
        if (flag_ != nullptr && flag_->load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
    }

  private:
    const std::atomic<bool>* flag_ = detail::cancel_flag;
};

}  // namespace trelmon
