// The finders' constructors, stored text signatures and parameter listings, derived from each
// finder's parameter table (algorithms/parameters.hpp).
#pragma once

#include "python/args.hpp"
#include "python/pickling.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "algorithms/parameters.hpp"

namespace trelmon::py {
namespace detail {

template <class Row>
inline constexpr bool kAccepted = !std::is_same_v<Row, SignatureOnly>;

template <class Params>
constexpr std::size_t accepted_count() {
    return std::apply(
        [](const auto&... row) {
            return (std::size_t{0} + ... + (kAccepted<std::decay_t<decltype(row)>> ? 1 : 0));
        },
        Params::parameters());
}

template <class Params>
constexpr auto accepted_names() {
    std::array<const char*, accepted_count<Params>()> names{};
    std::size_t i = 0;
    std::apply(
        [&](const auto&... row) {
            ((kAccepted<std::decay_t<decltype(row)>> ? void(names[i++] = row.name) : void()), ...);
        },
        Params::parameters());
    return names;
}

inline PyObject* default_to_python(const std::pair<double, double>& value) {
    Ref first = Ref(to_python(value.first));
    Ref second = Ref(to_python(value.second));
    PyObject* tuple = PyTuple_Pack(2, first.get(), second.get());
    if (tuple == nullptr) {
        throw_python_error();
    }
    return tuple;
}

template <class T>
PyObject* default_to_python(T value) {
    if constexpr (std::is_same_v<T, bool> || std::is_floating_point_v<T>) {
        return to_python(value);
    } else {
        static_assert(std::is_integral_v<T>);
        PyObject* number = PyLong_FromLongLong(static_cast<long long>(value));
        if (number == nullptr) {
            throw_python_error();
        }
        return number;
    }
}

}  // namespace detail

// The parameters of `Class(**kwargs)`: keywords in table order, each missing or None one taking
// the struct's default. `function` is the name shown in messages, e.g. "GraphDFS.__new__".
template <class Params>
Params parse_parameters(const char* function, PyObject* args, PyObject* kwargs) {
    static constexpr auto names = detail::accepted_names<Params>();
    const Signature<names.size()> signature{function, names, 0};
    const auto a = parse_args(signature, args, kwargs);
    const Params defaults;
    Params params;
    std::size_t i = 0;
    std::apply(
        [&](const auto&... row) {
            auto assign = [&](const auto& r) {
                if constexpr (detail::kAccepted<std::decay_t<decltype(r)>>) {
                    using T = std::decay_t<decltype(params.*r.field)>;
                    params.*r.field = convert_optional<T>(a[i++], r.name, defaults.*r.field);
                }
            };
            (assign(row), ...);
        },
        Params::parameters());
    return params;
}

// The class docstring holding the stored text signature: "Name(cls, a=None, b=None)\n--\n\n".
template <class Params>
std::string class_text_signature(const char* class_name) {
    std::string text = std::string(class_name) + "(cls";
    std::apply([&](const auto&... row) { ((text += std::string(", ") + row.name + "=None"), ...); },
               Params::parameters());
    return text + ")\n--\n\n";
}

// Points the Py_tp_doc slot of `slots` at `doc`, which outlives the type.
inline void set_doc_slot(PyType_Slot* slots, const std::string& doc) noexcept {
    for (; slots->slot != 0; ++slots) {
        if (slots->slot == Py_tp_doc) {
            slots->pfunc = const_cast<char*>(doc.c_str());
        }
    }
}

// ((name, default), ...) for every keyword the constructor takes, in order.
template <class Params>
PyObject* parameter_defaults() {
    const Params defaults;
    Ref rows = Ref(PyList_New(0));
    if (!rows) {
        throw_python_error();
    }
    auto append = [&](const auto& r) {
        if constexpr (detail::kAccepted<std::decay_t<decltype(r)>>) {
            Ref value = Ref(detail::default_to_python(defaults.*r.field));
            Ref row = Ref(Py_BuildValue("(sO)", r.name, value.get()));
            if (!row || PyList_Append(rows.get(), row.get()) != 0) {
                throw_python_error();
            }
        }
    };
    std::apply([&](const auto&... row) { (append(row), ...); }, Params::parameters());
    PyObject* tuple = PyList_AsTuple(rows.get());
    if (tuple == nullptr) {
        throw_python_error();
    }
    return tuple;
}

// Every constructor keyword's value, in table order: what a copy is built from.
template <class Params>
PyObject* parameter_values(const Params& params) {
    Ref values = Ref(PyList_New(0));
    if (!values) {
        throw_python_error();
    }
    auto append = [&](const auto& r) {
        if constexpr (detail::kAccepted<std::decay_t<decltype(r)>>) {
            using T = std::decay_t<decltype(params.*r.field)>;
            Ref value;
            if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
                value = Ref(std::is_signed_v<T>
                                ? PyLong_FromLongLong(static_cast<long long>(params.*r.field))
                                : PyLong_FromUnsignedLongLong(
                                      static_cast<unsigned long long>(params.*r.field)));
            } else {
                value = Ref(detail::default_to_python(params.*r.field));
            }
            if (!value || PyList_Append(values.get(), value.get()) != 0) {
                throw_python_error();
            }
        }
    };
    std::apply([&](const auto&... row) { (append(row), ...); }, Params::parameters());
    PyObject* tuple = PyList_AsTuple(values.get());
    if (tuple == nullptr) {
        throw_python_error();
    }
    return tuple;
}

// __reduce__ of a finder: its class (through a locator) and every constructor keyword's value,
// positionally in table order, so that pickles and copies are built like the original.
template <class Params>
PyObject* reduce_parameters(PyObject* self) {
    Ref arguments = Ref(parameter_values(unbox<Params>(self)));
    Ref locator = Ref(class_locator(Py_TYPE(self)));
    return PyTuple_Pack(2, locator.get(), arguments.get());
}

// ------------------------------------------------ tables of DocumentedParameter rows

namespace detail {

inline std::string repr_text(PyObject* object) {
    Ref text = Ref(PyObject_Repr(object));
    if (!text) {
        throw_python_error();
    }
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) {
        throw_python_error();
    }
    return utf8;
}

// A documented keyword's value: a real number (not a bool), finite and in its range; an
// unsigned count must be an integer that fits.
template <class T>
T checked_value(PyObject* object, const char* name, Range range) {
    const std::string prefix = std::string(name) + " must ";
    if constexpr (std::is_same_v<T, double>) {
        double value = -1.0;
        if (!PyBool_Check(object)) {
            value = PyFloat_AsDouble(object);
            if (value == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
                    throw_python_error();
                }
                PyErr_Clear();
            } else {
                const std::string shown = repr_text(Ref(to_python(value)).get());
                if (!std::isfinite(value)) {
                    raise(PyExc_ValueError, prefix + "be finite, got " + shown);
                }
                if (range == Range::Positive && !(value > 0.0)) {
                    raise(PyExc_ValueError, prefix + "be positive, got " + shown);
                }
                if (range == Range::NonNegative && value < 0.0) {
                    raise(PyExc_ValueError, prefix + "not be negative, got " + shown);
                }
                return value;
            }
        }
        raise(PyExc_TypeError, prefix + "be a number, not " + type_name(object));
    } else {
        static_assert(std::is_unsigned_v<T> && !std::is_same_v<T, bool>);
        if (PyBool_Check(object) || !PyIndex_Check(object)) {
            raise(PyExc_TypeError, prefix + "be an integer, not " + type_name(object));
        }
        Ref number = Ref(PyNumber_Index(object));
        if (!number) {
            throw_python_error();
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (value == -1 && overflow == 0 && PyErr_Occurred()) {
            throw_python_error();
        }
        constexpr auto most = std::numeric_limits<T>::max();
        if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) > most) {
            Ref text = Ref(PyObject_Str(number.get()));
            const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (shown == nullptr) {
                throw_python_error();
            }
            raise(PyExc_ValueError,
                  prefix + "be between 0 and " + std::to_string(most) + ", got " + shown);
        }
        return static_cast<T>(value);
    }
}

}  // namespace detail

// The parameters of `Class(**kwargs)` for a table of DocumentedParameter rows: keywords (or
// positions) in table order, each missing or None one taking the struct's default, each given
// one checked against its row.
template <class Params>
Params parse_documented_parameters(const char* function, PyObject* args, PyObject* kwargs) {
    static constexpr auto names = detail::accepted_names<Params>();
    const Signature<names.size()> signature{function, names, 0};
    const auto a = parse_args(signature, args, kwargs);
    Params params;
    std::size_t i = 0;
    std::apply(
        [&](const auto&... row) {
            auto assign = [&](const auto& r) {
                using T = std::decay_t<decltype(params.*r.field)>;
                PyObject* given = a[i++];
                if (given != nullptr && given != Py_None) {
                    params.*r.field = detail::checked_value<T>(given, r.name, r.range);
                }
            };
            (assign(row), ...);
        },
        Params::parameters());
    return params;
}

// "* ``name`` (unit, default value): meaning" for each row, one per line.
template <class Params>
std::string parameter_docs() {
    const Params defaults;
    std::string text;
    auto line = [&](const auto& r) {
        const std::string shown =
            detail::repr_text(Ref(detail::default_to_python(defaults.*r.field)).get());
        text += std::string("* ``") + r.name + "`` (" + r.unit + (r.unit[0] != '\0' ? ", " : "") +
                "default " + shown + "): " + r.doc + "\n";
    };
    std::apply([&](const auto&... row) { (line(row), ...); }, Params::parameters());
    return text;
}

}  // namespace trelmon::py
