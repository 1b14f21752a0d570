// Native work with the interpreter lock released, and the pool jobs that run that way.
#pragma once

#include "python/python_errors.hpp"

#include <cstddef>
#include <functional>

#include "algorithms/batch.hpp"

namespace trelmon::py {

// Releases the interpreter lock for its lifetime; every way out, exceptions included, takes it
// back. Nothing in its scope may touch a Python object except inside with_lock().
class LockReleased {
  public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

    // Runs `body` with the lock held again, and releases it afterwards.
    template <class Body>
    auto with_lock(Body&& body) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return body();
    }

  private:
    PyThreadState* state_;
};

// parallel_for with the interpreter lock released. The calling thread runs the pending signal
// handlers between waits; when one raises, the job is stopped, its results are left for the
// caller to discard and PythonError carries that exception out.
inline void parallel_for_released(std::size_t count, const std::function<void(std::size_t)>& task) {
    bool completed = true;
    {
        LockReleased released;
        completed = parallel_for(count, task, [&] {
            return released.with_lock([] { return PyErr_CheckSignals() == 0; });
        });
    }
    if (!completed) {
        throw PythonError{};
    }
}

}  // namespace trelmon::py
