// Column sets handed to Python: {name: (numpy dtype string, raw little-endian bytes)}, which
// numpy.frombuffer turns into arrays without a copy per value.
#pragma once

#include "python/python_errors.hpp"
#include "python/ref.hpp"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace trelmon::py {

template <class T>
constexpr const char* column_dtype() noexcept {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return "<i4";
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return "<u8";
    } else if constexpr (std::is_same_v<T, double>) {
        return "<f8";
    } else {
        static_assert(std::is_same_v<T, std::uint8_t>);
        return "?";
    }
}

// {name: (numpy dtype string, raw little-endian bytes)}, in insertion order.
class ColumnDict {
  public:
    ColumnDict() : dict_(PyDict_New()) {
        if (!dict_) {
            throw_python_error();
        }
    }

    template <class T>
    void add(const std::string& name, const std::vector<T>& values) {
        Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                           static_cast<Py_ssize_t>(values.size() * sizeof(T))));
        if (!data) {
            throw_python_error();
        }
        Ref item(Py_BuildValue("(sO)", column_dtype<T>(), data.get()));
        if (!item || PyDict_SetItemString(dict_.get(), name.c_str(), item.get()) < 0) {
            throw_python_error();
        }
    }

    PyObject* release() noexcept { return dict_.release(); }

  private:
    Ref dict_;
};

}  // namespace trelmon::py
