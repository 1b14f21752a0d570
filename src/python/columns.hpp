// Event columns from objects with the buffer protocol (numpy arrays, Arrow buffers, memoryview),
// read in one pass; everything else through the element-by-element conversions.
#pragma once

#include "python/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace trelmon::py {

// A column of floats: a one-dimensional buffer of native-order float64 or float32 is copied
// through the buffer, any stride; any other object (lists, other dtypes) is converted element
// by element exactly as a list would be.
std::vector<double> float_column(PyObject* object);

// A column of unsigned sizes: a one-dimensional buffer of native-order integers of any width is
// read through the buffer (a negative entry raises the conversion's OverflowError); anything
// else is converted element by element.
std::vector<std::size_t> size_column(PyObject* object);

// A column read in place: a one-dimensional, contiguous, native-order buffer of exactly T
// (float64 for double; 8-byte integers of either signedness for std::uint64_t, a negative one
// showing as a huge value) is viewed without a copy and held while the view lives; anything
// else is copied, as float_column or size_column would.
template <class T>
class ColumnView {
  public:
    explicit ColumnView(PyObject* object);
    ~ColumnView();
    ColumnView(const ColumnView&) = delete;
    ColumnView& operator=(const ColumnView&) = delete;

    std::span<const T> values() const { return values_; }
    std::size_t size() const { return values_.size(); }
    const T& operator[](std::size_t i) const { return values_[i]; }
    // Whether the values are the object's own buffer rather than a converted copy.
    bool in_place() const noexcept { return view_ != nullptr; }

  private:
    std::unique_ptr<Py_buffer> view_;
    std::vector<T> copy_;
    std::span<const T> values_;
};

extern template class ColumnView<double>;
extern template class ColumnView<std::uint64_t>;

// ---- Batches of events as columns: {name: (offsets, values, ...)} dictionaries --------------

// Clears the conversion failure of a cell that is not a number of the wanted kind; anything
// else (KeyboardInterrupt from an __index__, MemoryError) is not the cell's fault and goes on.
void forget_conversion_failure();

// A column's conversion failure as the ValueError of a malformed column `name`.
[[noreturn]] void refuse_column(const std::string& name, const char* what);

// The values of column `name` viewed in place: a contiguous native-order float64 array for
// double, 64-bit integers for std::uint64_t; ValueError otherwise.
template <class T>
std::unique_ptr<ColumnView<T>> exact_values(PyObject* object, const std::string& name);

// Offsets of any integer type, non-decreasing, `count` + 1 of them, inside `values` entries;
// ValueError naming the column otherwise.
std::vector<std::size_t> checked_offsets(PyObject* object, const std::string& name,
                                         std::size_t count, std::size_t values);

// The tuple of `size` items under `name`, or null when `columns` lacks it and it is optional;
// held, since converting its items may run Python code that edits `columns`.
Ref column_tuple(PyObject* columns, const std::string& name, Py_ssize_t size, bool required);

}  // namespace trelmon::py
