#include "python/columns.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "python/args.hpp"

namespace trelmon::py {
namespace {

// A buffer view released on every path.
class BufferView {
  public:
    // False when the object has no buffer or refuses a strided, formatted view; no exception
    // stays set then.
    bool acquire(PyObject* object) {
        // Lists and tuples are sequences first; str has no buffer.
        if (PyList_Check(object) || PyTuple_Check(object) || !PyObject_CheckBuffer(object)) {
            return false;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    const Py_buffer& view() const { return view_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// The struct-module type code of a one-dimensional buffer of native-order scalars, or 0 when the
// buffer is anything else (several dimensions, byte-swapped, a record type).
char scalar_code(const Py_buffer& view) {
    if (view.ndim != 1 || view.format == nullptr || view.shape == nullptr ||
        view.strides == nullptr || view.suboffsets != nullptr) {
        return 0;
    }
    const char* format = view.format;
    if (*format == '@' || *format == '=' ||
        (*format == '<' && std::endian::native == std::endian::little)) {
        ++format;
    }
    if (format[0] == 0 || format[1] != 0) {
        return 0;
    }
    return format[0];
}

template <class Stored, class Out>
void copy_strided(const Py_buffer& view, std::vector<Out>& out) {
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const auto stride = view.strides[0];
    out.resize(n);
    const char* at = static_cast<const char*>(view.buf);
    if (stride == static_cast<Py_ssize_t>(sizeof(Stored)) && std::is_same_v<Stored, Out>) {
        if (n != 0) {
            std::memcpy(out.data(), at, n * sizeof(Out));
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i, at += stride) {
        Stored value;
        std::memcpy(&value, at, sizeof(Stored));
        out[i] = static_cast<Out>(value);
    }
}

template <class Stored>
bool copy_sizes(const Py_buffer& view, std::vector<std::size_t>& out) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Stored))) {
        return false;
    }
    copy_strided<Stored>(view, out);
    if constexpr (std::is_signed_v<Stored>) {
        // The values were widened bit for bit: a negative entry shows as a huge one.
        const char* at = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < out.size(); ++i, at += view.strides[0]) {
            Stored value;
            std::memcpy(&value, at, sizeof(Stored));
            if (value < 0) {
                raise(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
        }
    }
    return true;
}

// Integers of either signedness; the width comes from the item size, since "l" is 4 bytes in
// the standard sizes and 8 in the native ones.
template <class S8, class S16, class S32, class S64>
bool copy_integers(const Py_buffer& view, std::vector<std::size_t>& out) {
    switch (view.itemsize) {
        case 1:
            return copy_sizes<S8>(view, out);
        case 2:
            return copy_sizes<S16>(view, out);
        case 4:
            return copy_sizes<S32>(view, out);
        case 8:
            return copy_sizes<S64>(view, out);
        default:
            return false;
    }
}

bool read_floats(PyObject* object, std::vector<double>& out) {
    BufferView buffer;
    if (!buffer.acquire(object)) {
        return false;
    }
    const Py_buffer& view = buffer.view();
    const char code = scalar_code(view);
    if (code == 'd' && view.itemsize == 8) {
        copy_strided<double>(view, out);
        return true;
    }
    if (code == 'f' && view.itemsize == 4) {
        copy_strided<float>(view, out);
        return true;
    }
    return false;
}

bool read_sizes(PyObject* object, std::vector<std::size_t>& out) {
    BufferView buffer;
    if (!buffer.acquire(object)) {
        return false;
    }
    const Py_buffer& view = buffer.view();
    switch (scalar_code(view)) {
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'n':
            return copy_integers<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(view, out);
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
        case 'N':
            return copy_integers<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(view,
                                                                                            out);
        default:
            return false;
    }
}

// Whether a one-dimensional contiguous buffer holds exactly the scalars T is read as.
template <class T>
bool holds_exactly(const Py_buffer& view) {
    const char code = scalar_code(view);
    if (code == 0 || view.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
        view.strides[0] != static_cast<Py_ssize_t>(sizeof(T))) {
        return false;
    }
    if constexpr (std::is_same_v<T, double>) {
        return code == 'd';
    } else {
        static_assert(std::is_same_v<T, std::uint64_t>);
        return code == 'q' || code == 'Q' || code == 'l' || code == 'L' || code == 'n' ||
               code == 'N';
    }
}

}  // namespace

template <class T>
ColumnView<T>::ColumnView(PyObject* object) {
    // Lists and tuples are sequences first; str has no buffer.
    if (!PyList_Check(object) && !PyTuple_Check(object) && PyObject_CheckBuffer(object)) {
        auto view = std::make_unique<Py_buffer>();
        if (PyObject_GetBuffer(object, view.get(), PyBUF_RECORDS_RO) == 0) {
            if (holds_exactly<T>(*view)) {
                values_ = {static_cast<const T*>(view->buf),
                           static_cast<std::size_t>(view->shape[0])};
                view_ = std::move(view);
                return;
            }
            PyBuffer_Release(view.get());
        } else {
            PyErr_Clear();
        }
    }
    if constexpr (std::is_same_v<T, double>) {
        copy_ = float_column(object);
    } else {
        copy_ = size_column(object);
    }
    values_ = copy_;
}

template <class T>
ColumnView<T>::~ColumnView() {
    if (view_) {
        PyBuffer_Release(view_.get());
    }
}

template class ColumnView<double>;
template class ColumnView<std::uint64_t>;

// The buffer is released before falling back: the element conversions may run Python code
// that resizes the object.
std::vector<double> float_column(PyObject* object) {
    std::vector<double> out;
    if (read_floats(object, out)) {
        return out;
    }
    return convert<std::vector<double>>(object, nullptr);
}

std::vector<std::size_t> size_column(PyObject* object) {
    std::vector<std::size_t> out;
    if (read_sizes(object, out)) {
        return out;
    }
    return convert<std::vector<std::size_t>>(object, nullptr);
}

// ---- Batches of events as columns --------------------------------------------------------------

void forget_conversion_failure() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        throw PythonError{};
    }
    PyErr_Clear();
}

[[noreturn]] void refuse_column(const std::string& name, const char* what) {
    if (PyErr_Occurred()) {
        forget_conversion_failure();
    }
    raise(PyExc_ValueError, "\"" + name + "\" " + what);
}

template <class T>
std::unique_ptr<ColumnView<T>> exact_values(PyObject* object, const std::string& name) {
    constexpr const char* kind = std::is_same_v<T, double>
                                     ? "values must be a contiguous float64 array"
                                     : "values must be a contiguous 64-bit integer array";
    std::unique_ptr<ColumnView<T>> view;
    try {
        view = std::make_unique<ColumnView<T>>(object);
    } catch (const PythonError&) {
        refuse_column(name, kind);
    }
    if (!view->in_place()) {
        refuse_column(name, kind);
    }
    return view;
}

std::vector<std::size_t> checked_offsets(PyObject* object, const std::string& name,
                                         std::size_t count, std::size_t values) {
    std::vector<std::size_t> offsets;
    try {
        offsets = size_column(object);
    } catch (const PythonError&) {
        refuse_column(name, "offsets must be non-negative integers");
    }
    if (offsets.size() != count + 1) {
        raise(PyExc_ValueError, "\"" + name + "\" has " +
                                    std::to_string(offsets.size() == 0 ? 0 : offsets.size() - 1) +
                                    " entries, not " + std::to_string(count));
    }
    for (std::size_t e = 0; e < count; ++e) {
        if (offsets[e + 1] < offsets[e]) {
            raise(PyExc_ValueError,
                  "event " + std::to_string(e) + ": \"" + name + "\" offsets decrease");
        }
    }
    if (offsets.back() > values) {
        raise(PyExc_ValueError,
              "\"" + name + "\" offsets run past its " + std::to_string(values) + " values");
    }
    return offsets;
}

Ref column_tuple(PyObject* columns, const std::string& name, Py_ssize_t size, bool required) {
    PyObject* item = PyDict_GetItemString(columns, name.c_str());
    if (item == nullptr) {
        if (required) {
            raise(PyExc_ValueError, "no column \"" + name + "\"");
        }
        return Ref();
    }
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != size) {
        raise(PyExc_ValueError,
              "\"" + name + "\" must be a tuple of " + std::to_string(size) + " arrays");
    }
    return Ref::borrow(item);
}

template std::unique_ptr<ColumnView<double>> exact_values(PyObject*, const std::string&);
template std::unique_ptr<ColumnView<std::uint64_t>> exact_values(PyObject*, const std::string&);

}  // namespace trelmon::py
