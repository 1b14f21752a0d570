// The validator's reading of its Python arguments: event dictionaries into validator events.
// Shared by trelmon's Validator functions and trelmon_tools' truth tables, so that both see
// exactly the same particles, hits and failures.
#pragma once

#include "python/columns.hpp"
#include "python/ref.hpp"

#include <cstdint>
#include <memory>
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

namespace trelmon::py {

// Validator events read straight from the columns of a batch of events, with no Python object
// per cell. `columns` maps "module_prefix_sum", "x", "y" and "z" to (offsets, values) and each
// Monte Carlo column present to "mc_<name>": (named, offsets, values), "mc_hits" to (named,
// offsets, hit offsets, values). Offsets are integer arrays of one entry per event plus one
// (positions into values; hit offsets: one per particle plus one, into values); `named` is one
// byte per event, whether that event's table names the column. Values are contiguous
// native-order arrays: float64 for coordinates, p, pt, eta and phi, 64-bit integers for the
// rest. Everything is checked on construction: a ValueError names the first event whose
// columns do not fit. Each event then reads as the dictionary holding the same cells would.
class ColumnarValidatorInput {
  public:
    explicit ColumnarValidatorInput(PyObject* columns);
    ~ColumnarValidatorInput();
    ColumnarValidatorInput(const ColumnarValidatorInput&) = delete;
    ColumnarValidatorInput& operator=(const ColumnarValidatorInput&) = delete;

    std::size_t size() const noexcept { return events_; }
    // Touches no Python object: may run with the interpreter's lock released.
    ValidatorEvent event(std::size_t e) const;

    struct McColumn;

  private:
    struct Lists {
        std::vector<std::size_t> offsets;
        std::unique_ptr<ColumnView<double>> floats;
        std::unique_ptr<ColumnView<std::uint64_t>> integers;
    };
    // Construction in stages: each reads or checks what the ones before it filled.
    Lists read_lists(PyObject* columns, const char* name, bool floats);
    void check_hit_lists() const;
    std::unique_ptr<McColumn> read_mc_column(PyObject* columns, std::size_t c) const;
    void count_particles();

    std::size_t events_ = 0;
    Lists prefix_, x_, y_, z_;
    std::vector<std::unique_ptr<McColumn>> mc_;  // one per recognised column, null when absent
    std::vector<std::size_t> particles_;         // per event
};

}  // namespace trelmon::py
