// Argument parsing for the fast calling convention and the boundary conversions, with the
// interpreter's standard messages.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "event_model/hit.hpp"
#include "event_model/track.hpp"
#include "python/python_errors.hpp"

namespace trelmon::py {

// Parameter names in order; the first `required` have no default. `function` is the name shown
// in messages, e.g. "Hit.__new__" or "TrackFollowing.solve".
template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> names;
    std::size_t required;
};

namespace detail {
void parse_vector(const char* function, std::span<const char* const> names, std::size_t required,
                  PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** out);
void parse_tuple(const char* function, std::span<const char* const> names, std::size_t required,
                 PyObject* args, PyObject* kwargs, PyObject** out);
}  // namespace detail

// Borrowed arguments in parameter order; nullptr where one was not given.
template <std::size_t N>
std::array<PyObject*, N> parse_args(const Signature<N>& signature, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    detail::parse_vector(signature.function, signature.names, signature.required, args,
                         static_cast<std::size_t>(PyVectorcall_NARGS(nargs)), kwnames, out.data());
    return out;
}

template <std::size_t N>
std::array<PyObject*, N> parse_args(const Signature<N>& signature, PyObject* args,
                                    PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    detail::parse_tuple(signature.function, signature.names, signature.required, args, kwargs,
                        out.data());
    return out;
}

// "'{type}' object cannot be converted to '{target}'" as a TypeError, prefixed with
// "argument '{argument}': " when an argument name is given.
[[noreturn]] void raise_cannot_convert(PyObject* object, const char* target,
                                       const char* argument = nullptr);

// The name of an object's type as Python shows it ("int", "Hit").
const char* type_name(PyObject* object) noexcept;

// The value under `key` of a dict, held while it is converted (a conversion may run Python code
// that edits the dict); KeyError naming the key when it is missing.
Ref required_item(PyObject* dict, const char* key);

// Prefixes a pending TypeError with "argument '{name}': "; other exceptions pass unchanged.
void add_argument_name(const char* name) noexcept;

// Native value from a Python object; raises without naming an argument.
template <class T>
struct Converter;

template <>
struct Converter<double> {
    static double from(PyObject* object);
};
template <>
struct Converter<bool> {
    static bool from(PyObject* object);
};
template <>
struct Converter<std::int32_t> {
    static std::int32_t from(PyObject* object);
};
template <>
struct Converter<std::uint8_t> {
    static std::uint8_t from(PyObject* object);
};
template <>
struct Converter<std::uint32_t> {
    static std::uint32_t from(PyObject* object);
};
template <>
struct Converter<std::uint64_t> {
    static std::uint64_t from(PyObject* object);
};
template <>
struct Converter<std::string> {
    static std::string from(PyObject* object);
};
template <>
struct Converter<std::pair<double, double>> {
    static std::pair<double, double> from(PyObject* object);
};
template <>
struct Converter<Hit> {
    static Hit from(PyObject* object);
};
template <>
struct Converter<Track> {
    static Track from(PyObject* object);
};

// Calls `each(item)` for every element of a sequence (not a str). Lists are walked by index
// with a fresh length check, so an element conversion that shrinks the list cannot read past
// its end.
template <class Each>
void for_each_item(PyObject* sequence, Each&& each) {
    if (PyList_Check(sequence)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(sequence, i));
            each(item.get());
        }
        return;
    }
    if (PyTuple_Check(sequence)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
            each(PyTuple_GET_ITEM(sequence, i));
        }
        return;
    }
    if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) {
        raise_cannot_convert(sequence, "Sequence");
    }
    Ref iterator(PyObject_GetIter(sequence));
    if (!iterator) {
        throw_python_error();
    }
    while (Ref item{PyIter_Next(iterator.get())}) {
        each(item.get());
    }
    if (PyErr_Occurred()) {
        throw_python_error();
    }
}

// Number of elements when cheaply known, for reserving; 0 otherwise.
std::size_t length_hint(PyObject* sequence) noexcept;

template <class T>
struct Converter<std::vector<T>> {
    static std::vector<T> from(PyObject* object) {
        std::vector<T> values;
        values.reserve(length_hint(object));
        for_each_item(object, [&](PyObject* item) { values.push_back(Converter<T>::from(item)); });
        return values;
    }
};

// unsigned size and uint64 are the same type on the platforms we build for
static_assert(std::is_same_v<std::size_t, std::uint64_t>);

template <class T>
T convert(PyObject* object, const char* argument) {
    try {
        return Converter<T>::from(object);
    } catch (const PythonError&) {
        if (argument != nullptr) {
            add_argument_name(argument);
        }
        throw;
    }
}

// Missing (nullptr) or None selects the fallback.
template <class T>
T convert_optional(PyObject* object, const char* argument, T fallback) {
    if (object == nullptr || object == Py_None) {
        return fallback;
    }
    return convert<T>(object, argument);
}

// New references; each throws PythonError on failure.
PyObject* to_python(bool value);
PyObject* to_python(std::int32_t value);
PyObject* to_python(std::uint32_t value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(double value);
PyObject* to_python(const std::string& value);
PyObject* to_python(const Hit& value);
PyObject* to_python(const Track& value);
PyObject* to_python(Track&& value);
template <class T>
PyObject* to_python(const std::vector<T>& values);
template <class T>
PyObject* to_python(std::vector<T>&& values);

template <class Items>
PyObject* list_to_python(Items&& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) {
        throw_python_error();
    }
    Py_ssize_t index = 0;
    for (auto&& item : items) {
        PyList_SET_ITEM(list.get(), index++, to_python(std::forward<decltype(item)>(item)));
    }
    return list.release();
}

template <class T>
PyObject* to_python(const std::vector<T>& values) {
    return list_to_python(values);
}

// Moves each element out, for results that are not needed afterwards.
template <class T>
PyObject* to_python(std::vector<T>&& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        throw_python_error();
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(std::move(values[i])));
    }
    return list.release();
}

}  // namespace trelmon::py
