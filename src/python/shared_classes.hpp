// The DetectorEvent classes are made once per process, by the trelmon extension. Another
// extension built from the same sources (trelmon_tools._native) adopts trelmon's type objects
// instead of making its own, so that what it reads and returns are trelmon's instances:
// isinstance holds and every trelmon function accepts them.
#pragma once

#include "python/ref.hpp"

#include <cstddef>

namespace trelmon::py {

enum class SharedClass : unsigned { Hit, Track, Module, Event };
inline constexpr std::size_t kSharedClassCount = 4;

// The type of `id`: the adopted one, otherwise the one `make` builds on first use, kept for the
// life of the process. An adopted type is checked on its first lookup: ImportError unless its
// instances are `basicsize` bytes, the size this build gives them.
PyTypeObject* shared_class(SharedClass id, std::size_t basicsize, PyTypeObject* (*make)());

// Takes `type` (borrowed; a reference is kept) as the class `id`, which must not have been made
// or adopted yet in this extension. ImportError unless `type` is a type named `name`.
void adopt_class(SharedClass id, PyObject* type, const char* name);

}  // namespace trelmon::py
