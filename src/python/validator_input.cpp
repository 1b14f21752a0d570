#include "python/validator_input.hpp"

#include "python/args.hpp"
#include "python/columns.hpp"

#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "validator/matching.hpp"

namespace trelmon::py {
namespace {

// ---- Monte Carlo table -------------------------------------------------------------------------

// The recognised columns, in the order a row is read.
enum Column : std::size_t {
    kKey,
    kPid,
    kP,
    kPt,
    kEta,
    kPhi,
    kCharge,
    kHits,
    kIsLong,
    kIsDown,
    kHasVelo,
    kHasUT,
    kHasScifi,
    kFromBeautyDecay,
    kFromCharmDecay,
    kFromStrangeDecay,
    kColumnCount,
};

constexpr std::array<std::string_view, kColumnCount> kColumnNames{
    "key",
    "pid",
    "p",
    "pt",
    "eta",
    "phi",
    "charge",
    "hits",
    "isLong",
    "isDown",
    "hasVelo",
    "hasUT",
    "hasScifi",
    "fromBeautyDecay",
    "fromCharmDecay",
    "fromStrangeDecay",
};

constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

// Clears the conversion failure of a cell that is not a number of the wanted kind; anything
// else (KeyboardInterrupt from an __index__, MemoryError) is not the cell's fault and goes on.
void forget_conversion_failure() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        throw PythonError{};
    }
    PyErr_Clear();
}

// A cell that does not convert leaves `out` at its default and no exception behind.
template <class T>
void read_cell(PyObject* cell, T& out) {
    try {
        out = Converter<T>::from(cell);
    } catch (const PythonError&) {
        forget_conversion_failure();
    }
}

void read_flag(PyObject* cell, bool& out) {
    std::int32_t value = 0;
    try {
        value = Converter<std::int32_t>::from(cell);
    } catch (const PythonError&) {
        forget_conversion_failure();
        return;
    }
    out = value != 0;
}

// The whole list or nothing: one element that does not convert leaves the row without hits.
void read_positions(PyObject* cell, std::vector<std::size_t>& positions) {
    const std::size_t start = positions.size();
    try {
        for_each_item(
            cell, [&](PyObject* item) { positions.push_back(Converter<std::size_t>::from(item)); });
    } catch (const PythonError&) {
        forget_conversion_failure();
        positions.resize(start);
    }
}

ParticleTable read_particle_table(PyObject* event) {
    Ref montecarlo = Ref::borrow(PyDict_GetItemString(event, "montecarlo"));
    if (!montecarlo) {
        raise(PyExc_KeyError, "montecarlo key missing");
    }
    if (!PyDict_Check(montecarlo.get())) {
        raise_cannot_convert(montecarlo.get(), "PyDict");
    }
    Ref description = Ref::borrow(PyDict_GetItemString(montecarlo.get(), "description"));
    if (!description) {
        raise(PyExc_KeyError, "description key missing in montecarlo");
    }
    const auto names = convert<std::vector<std::string>>(description.get(), nullptr);
    Ref particles = Ref::borrow(PyDict_GetItemString(montecarlo.get(), "particles"));
    if (!particles) {
        raise(PyExc_KeyError, "particles key missing in montecarlo");
    }
    // Every row is taken before any cell is read; cells are held, since reading one may run
    // Python code that edits the table.
    std::vector<Ref> cells;
    cells.reserve(length_hint(particles.get()) * names.size());
    std::vector<std::size_t> row_begin{0};
    row_begin.reserve(length_hint(particles.get()) + 1);
    for_each_item(particles.get(), [&](PyObject* row) {
        for_each_item(row, [&](PyObject* cell) { cells.push_back(Ref::borrow(cell)); });
        row_begin.push_back(cells.size());
    });

    std::array<std::size_t, kColumnCount> position;
    position.fill(kAbsent);
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            if (names[i] == kColumnNames[c]) {
                position[c] = i;  // a repeated name: the last position wins
            }
        }
    }

    ParticleTable table;
    const std::size_t rows = row_begin.size() - 1;
    table.particles.resize(rows);
    table.hits_begin.reserve(rows + 1);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t length = row_begin[r + 1] - row_begin[r];
        const auto cell = [&](Column column) -> PyObject* {
            return position[column] < length ? cells[row_begin[r] + position[column]].get()
                                             : nullptr;
        };
        MCParticle& m = table.particles[r];
        const auto read = [&](Column column, auto& out) {
            if (PyObject* value = cell(column)) {
                read_cell(value, out);
            }
        };
        const auto flag = [&](Column column, bool& out) {
            if (PyObject* value = cell(column)) {
                read_flag(value, out);
            }
        };
        read(kKey, m.key);
        read(kPid, m.pid);
        read(kP, m.p);
        read(kPt, m.pt);
        read(kEta, m.eta);
        read(kPhi, m.phi);
        read(kCharge, m.charge);
        if (PyObject* value = cell(kHits)) {
            read_positions(value, table.positions);
        }
        table.hits_begin.push_back(table.positions.size());
        flag(kIsLong, m.isLong);
        flag(kIsDown, m.isDown);
        flag(kHasVelo, m.hasVelo);
        flag(kHasUT, m.hasUT);
        flag(kHasScifi, m.hasScifi);
        flag(kFromBeautyDecay, m.fromBeautyDecay);
        flag(kFromCharmDecay, m.fromCharmDecay);
        flag(kFromStrangeDecay, m.fromStrangeDecay);
    }
    return table;
}

// "'{type}' object cannot be converted to 'PyDict' (event {position})": the position tells
// which of thousands of events is malformed.
[[noreturn]] void raise_type_error_at(PyObject* item, const char* target, std::size_t position) {
    raise(PyExc_TypeError, "'" + std::string(type_name(item)) +
                               "' object cannot be converted to '" + target + "' (event " +
                               std::to_string(position) + ")");
}

}  // namespace

ValidatorEvent load_validator_event(PyObject* event) {
    auto module_prefix_sum = size_column(required_item(event, "module_prefix_sum").get());
    auto x = float_column(required_item(event, "x").get());
    auto y = float_column(required_item(event, "y").get());
    auto z = float_column(required_item(event, "z").get());
    std::vector<Hit> hits = validator_hits(x, y, z);
    // An event without Monte Carlo data is legal: no particles, and maps without entries.
    MonteCarlo montecarlo;
    if (PyDict_GetItemString(event, "montecarlo") != nullptr) {
        montecarlo = build_montecarlo(read_particle_table(event), hits);
    } else {
        montecarlo.particle_hits = particle_hits_map({}, hits.size());
    }
    return make_validator_event(std::move(module_prefix_sum), std::move(x), std::move(y),
                                std::move(z), std::move(hits), std::move(montecarlo));
}

// The event dictionaries, held for the call.
std::vector<Ref> event_dicts(PyObject* object, const char* argument) {
    std::vector<Ref> events;
    try {
        for_each_item(object, [&](PyObject* item) {
            if (!PyDict_Check(item)) {
                raise_type_error_at(item, "PyDict", events.size());
            }
            events.push_back(Ref::borrow(item));
        });
    } catch (const PythonError&) {
        add_argument_name(argument);
        throw;
    }
    return events;
}

}  // namespace trelmon::py
