#include "python/python_errors.hpp"

namespace trelmon::py {

void throw_python_error() {
    throw PythonError{};
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

PyObject* panic_exception_type() noexcept {
    // Created once and kept for the life of the process, like the module's type objects.
    static PyObject* type =
        PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
    return type;
}

namespace {

PyObject* python_class(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::Value:
            return PyExc_ValueError;
        case ErrorKind::Key:
            return PyExc_KeyError;
        case ErrorKind::Type:
            return PyExc_TypeError;
        case ErrorKind::Runtime:
            return PyExc_RuntimeError;
        case ErrorKind::Overflow:
            return PyExc_OverflowError;
    }
    return panic_exception_type();
}

void set_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the class failed and left its own exception set
    }
    PyErr_SetString(type, message);
}

}  // namespace

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            set_panic("a Python error was reported but none was set");
        }
    } catch (const Error& error) {
        PyErr_SetString(python_class(error.kind()), error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what());
    } catch (...) {
        set_panic("unexpected native exception");
    }
}

}  // namespace trelmon::py
