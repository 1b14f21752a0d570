// Test-only extension: reaches the binding layer's failure paths, which no valid call of the
// trelmon module can reach, so that their Python behaviour can be checked.
#include <stdexcept>
#include <string>

#include "algorithms/batch.hpp"
#include "python/args.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

// fail(kind, message): raises the failure of the named kind through the entry-point guard.
PyObject* fail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature<2> signature{"fail", {"kind", "message"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const auto kind = convert<std::string>(a[0], "kind");
        const auto message = convert_optional<std::string>(a[1], "message", "");
        if (kind == "logic") {
            throw std::logic_error(message);
        }
        if (kind == "memory") {
            throw std::bad_alloc();
        }
        if (kind == "value") {
            throw Error(ErrorKind::Value, message);
        }
        if (kind == "key") {
            throw Error(ErrorKind::Key, message);
        }
        if (kind == "runtime") {
            throw Error(ErrorKind::Runtime, message);
        }
        throw 42;  // not even a std::exception
    });
}

// parse(a, b=None, c=None): echoes what the parser placed, None where nothing was given.
PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<3> signature{"parse", {"a", "b", "c"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        Ref tuple(PyTuple_New(3));
        if (!tuple) {
            throw_python_error();
        }
        for (Py_ssize_t i = 0; i < 3; ++i) {
            PyObject* item = a[static_cast<std::size_t>(i)];
            PyTuple_SET_ITEM(tuple.get(), i,
                             Ref::borrow(item != nullptr ? item : Py_None).release());
        }
        return tuple.release();
    });
}

template <class T>
PyObject* round_trip(PyObject* value) {
    return to_python(convert<T>(value, "value"));
}

// convert(kind, value): converts `value` as the named native type and back.
PyObject* convert_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature<2> signature{"convert", {"kind", "value"}, 2};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const auto kind = convert<std::string>(a[0], "kind");
        PyObject* value = a[1];
        if (kind == "float") {
            return round_trip<double>(value);
        }
        if (kind == "bool") {
            return round_trip<bool>(value);
        }
        if (kind == "int32") {
            return round_trip<std::int32_t>(value);
        }
        if (kind == "uint8") {
            return to_python(static_cast<std::uint32_t>(convert<std::uint8_t>(value, "value")));
        }
        if (kind == "uint32") {
            return round_trip<std::uint32_t>(value);
        }
        if (kind == "uint64") {
            return round_trip<std::uint64_t>(value);
        }
        if (kind == "str") {
            return round_trip<std::string>(value);
        }
        if (kind == "float_list") {
            return round_trip<std::vector<double>>(value);
        }
        if (kind == "pair") {
            const auto pair = convert<std::pair<double, double>>(value, "value");
            return Py_BuildValue("(dd)", pair.first, pair.second);
        }
        raise(PyExc_ValueError, "unknown kind " + kind);
    });
}

// parallel(count, failing=None): squares 0..count-1 on the worker pool; the item `failing`
// throws instead, which must surface as a PanicException on the calling thread.
PyObject* parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<2> signature{"parallel", {"count", "failing"}, 1};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const auto count = convert<std::size_t>(a[0], "count");
        const auto failing = convert_optional<std::size_t>(a[1], "failing", count);
        std::vector<std::uint64_t> squares(count);
        parallel_for(count, [&](std::size_t i) {
            if (i == failing) {
                throw std::logic_error("item " + std::to_string(i) + " failed on purpose");
            }
            squares[i] = i * i;
        });
        return to_python(squares);
    });
}

PyObject* pool_threads(PyObject*, PyObject*) {
    return guarded([] { return to_python(static_cast<std::uint64_t>(pool_thread_count())); });
}

PyMethodDef selftest_methods[] = {
    {"parallel", method(parallel), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"pool_threads", pool_threads, METH_NOARGS, nullptr},
    {"fail", method(fail), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"parse", method(parse), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"convert", method(convert_value), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef selftest_module = {
    PyModuleDef_HEAD_INIT,
    "_selftest",
    nullptr,
    -1,
    selftest_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace trelmon::py

PyMODINIT_FUNC PyInit__selftest() {
    return PyModule_Create(&trelmon::py::selftest_module);
}
