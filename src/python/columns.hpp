// Event columns from objects with the buffer protocol (numpy arrays, Arrow buffers, memoryview),
// read in one pass; everything else through the element-by-element conversions.
#pragma once

#include "python/ref.hpp"

#include <cstddef>
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

}  // namespace trelmon::py
