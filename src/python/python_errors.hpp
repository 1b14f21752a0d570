// The one place where C++ failures become Python exceptions.
#pragma once

#include "python/ref.hpp"

#include <exception>
#include <new>
#include <string>

#include "core_errors.hpp"

namespace trelmon::py {

// Thrown when a Python exception is already set; the entry point returns null.
struct PythonError {};

// Throws PythonError; the caller has just seen a C API call fail.
[[noreturn]] void throw_python_error();
// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// pyo3_runtime.PanicException: derived directly from BaseException, so `except Exception` does
// not swallow a broken invariant.
PyObject* panic_exception_type() noexcept;

// Sets the Python exception for the exception currently being handled.
void set_error_from_current_exception() noexcept;

// Runs the body of an entry point. No C++ exception ever reaches the interpreter.
template <class Body>
auto guarded(Body&& body, decltype(body()) on_failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return on_failure;
    }
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

}  // namespace trelmon::py
