#include "python/args.hpp"

#include <cstring>
#include <limits>

#include "python/types.hpp"

namespace trelmon::py {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    raise(PyExc_TypeError, message);
}

std::string quoted(const char* name) {
    return "'" + std::string(name) + "'";
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter words it.
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += quoted(names[i]);
    }
    return out;
}

void check_positional_count(const char* function, std::size_t count, std::size_t required,
                            std::size_t given) {
    if (given <= count) {
        return;
    }
    std::string message = std::string(function) + "() takes ";
    if (required < count) {
        message += "from " + std::to_string(required) + " to " + std::to_string(count);
    } else {
        message += std::to_string(count);
    }
    message += count == 1 && required == count ? " positional argument" : " positional arguments";
    message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(message);
}

void place_keyword(const char* function, std::span<const char* const> names, PyObject* key,
                   PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        raise_type_error(std::string(function) + "() keywords must be strings");
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) {
        throw_python_error();
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (std::strcmp(names[i], text) == 0 &&
            std::strlen(names[i]) == static_cast<std::size_t>(length)) {
            if (out[i] != nullptr) {
                raise_type_error(std::string(function) + "() got multiple values for argument " +
                                 quoted(names[i]));
            }
            out[i] = value;
            return;
        }
    }
    raise_type_error(std::string(function) + "() got an unexpected keyword argument " +
                     quoted(text));
}

void check_required(const char* function, std::span<const char* const> names, std::size_t required,
                    PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            missing.push_back(names[i]);
        }
    }
    if (missing.empty()) {
        return;
    }
    raise_type_error(std::string(function) + "() missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     name_list(missing));
}

// The exact int behind an object with __index__ (bools included), as a new reference.
Ref index_of(PyObject* object) {
    if (PyLong_CheckExact(object)) {
        return Ref::borrow(object);
    }
    Ref index(PyNumber_Index(object));
    if (!index) {
        throw_python_error();
    }
    return index;
}

[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

template <class Signed>
Signed signed_from(PyObject* object) {
    Ref index = index_of(object);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw_python_error();
    }
    if (overflow != 0 || value < std::numeric_limits<Signed>::min() ||
        value > std::numeric_limits<Signed>::max()) {
        raise_out_of_range();
    }
    return static_cast<Signed>(value);
}

template <class Unsigned>
Unsigned unsigned_from(PyObject* object) {
    Ref index = index_of(object);
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) {
        throw_python_error();
    }
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        raise_out_of_range();
    }
    unsigned long long value = static_cast<unsigned long long>(small);
    if (overflow > 0) {
        value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_out_of_range();
        }
    }
    if (value > std::numeric_limits<Unsigned>::max()) {
        raise_out_of_range();
    }
    return static_cast<Unsigned>(value);
}

}  // namespace

namespace detail {

void parse_vector(const char* function, std::span<const char* const> names, std::size_t required,
                  PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** out) {
    check_positional_count(function, names.size(), required, nargs);
    for (std::size_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            place_keyword(function, names, PyTuple_GET_ITEM(kwnames, k),
                          args[nargs + static_cast<std::size_t>(k)], out);
        }
    }
    check_required(function, names, required, out);
}

void parse_tuple(const char* function, std::span<const char* const> names, std::size_t required,
                 PyObject* args, PyObject* kwargs, PyObject** out) {
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    check_positional_count(function, names.size(), required, nargs);
    for (std::size_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            place_keyword(function, names, key, value, out);
        }
    }
    check_required(function, names, required, out);
}

}  // namespace detail

void raise_cannot_convert(PyObject* object, const char* target, const char* argument) {
    std::string message =
        quoted(type_name(object)) + " object cannot be converted to " + quoted(target);
    if (argument != nullptr) {
        message = "argument " + quoted(argument) + ": " + message;
    }
    raise_type_error(message);
}

const char* type_name(PyObject* object) noexcept {
    const char* name = Py_TYPE(object)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

Ref required_item(PyObject* dict, const char* key) {
    PyObject* value = PyDict_GetItemString(dict, key);
    if (value == nullptr) {
        Ref name(PyUnicode_FromString(key));
        if (name) {
            PyErr_SetObject(PyExc_KeyError, name.get());
        }
        throw_python_error();
    }
    return Ref::borrow(value);
}

void add_argument_name(const char* name) noexcept {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);  // a TypeError subclass keeps its own message
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref text(value != nullptr ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (message == nullptr) {
        PyErr_Clear();
        message = "";
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message);
}

std::size_t length_hint(PyObject* sequence) noexcept {
    if (PyList_Check(sequence)) {
        return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
    }
    if (PyTuple_Check(sequence)) {
        return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
    }
    return 0;
}

double Converter<double>::from(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        throw_python_error();
    }
    return value;
}

bool Converter<bool>::from(PyObject* object) {
    if (object == Py_True) {
        return true;
    }
    if (object == Py_False) {
        return false;
    }
    raise_cannot_convert(object, "PyBool");
}

std::int32_t Converter<std::int32_t>::from(PyObject* object) {
    return signed_from<std::int32_t>(object);
}

std::uint8_t Converter<std::uint8_t>::from(PyObject* object) {
    return unsigned_from<std::uint8_t>(object);
}

std::uint32_t Converter<std::uint32_t>::from(PyObject* object) {
    return unsigned_from<std::uint32_t>(object);
}

std::uint64_t Converter<std::uint64_t>::from(PyObject* object) {
    return unsigned_from<std::uint64_t>(object);
}

std::string Converter<std::string>::from(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) {
        throw_python_error();
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::pair<double, double> Converter<std::pair<double, double>>::from(PyObject* object) {
    if (!PyTuple_Check(object)) {
        raise_cannot_convert(object, "PyTuple");
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 2) {
        raise(PyExc_ValueError,
              "expected tuple of length 2, but got tuple of length " + std::to_string(length));
    }
    return {Converter<double>::from(PyTuple_GET_ITEM(object, 0)),
            Converter<double>::from(PyTuple_GET_ITEM(object, 1))};
}

PyObject* to_python(bool value) {
    return Ref::borrow(value ? Py_True : Py_False).release();
}

namespace {
PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        throw_python_error();
    }
    return object;
}
}  // namespace

PyObject* to_python(std::int32_t value) {
    return checked(PyLong_FromLong(value));
}
PyObject* to_python(std::uint32_t value) {
    return checked(PyLong_FromUnsignedLong(value));
}
PyObject* to_python(std::uint64_t value) {
    return checked(PyLong_FromUnsignedLongLong(value));
}
PyObject* to_python(double value) {
    return checked(PyFloat_FromDouble(value));
}
PyObject* to_python(const std::string& value) {
    return checked(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

}  // namespace trelmon::py
