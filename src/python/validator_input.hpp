// The validator's reading of its Python arguments: event dictionaries into validator events.
// Shared by trelmon's Validator functions and trelmon_tools' truth tables, so that both see
// exactly the same particles, hits and failures.
#pragma once

#include "python/ref.hpp"

#include <vector>

#include "validator/event.hpp"

namespace trelmon::py {

// The validator event of an event dictionary, Monte Carlo table included; the Python exception
// of the first key or table part that does not convert.
ValidatorEvent load_validator_event(PyObject* event);

// The event dictionaries of a sequence, held for the call. A non-dict is a TypeError naming
// its position; `argument` prefixes every TypeError.
std::vector<Ref> event_dicts(PyObject* object, const char* argument);

}  // namespace trelmon::py
