#include "python/validator_input.hpp"

#include "python/args.hpp"
#include "python/columns.hpp"

#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
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

// A particle's flags, each read by flag(column, field): the same list for every reader.
template <class ReadFlag>
void read_flags(const ReadFlag& flag, MCParticle& m) {
    flag(kIsLong, m.isLong);
    flag(kIsDown, m.isDown);
    flag(kHasVelo, m.hasVelo);
    flag(kHasUT, m.hasUT);
    flag(kHasScifi, m.hasScifi);
    flag(kFromBeautyDecay, m.fromBeautyDecay);
    flag(kFromCharmDecay, m.fromCharmDecay);
    flag(kFromStrangeDecay, m.fromStrangeDecay);
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
        read_flags(flag, m);
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

// ---- Columns -----------------------------------------------------------------------------------

namespace trelmon::py {
namespace {

std::optional<std::int32_t> int32_value(std::int64_t value) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;  // as a cell out of range: the field keeps its default
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

struct ColumnarValidatorInput::McColumn {
    std::vector<std::size_t> named;  // nonzero: the event names the column
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> hit_offsets;  // the hits column only
    std::unique_ptr<ColumnView<double>> floats;
    std::unique_ptr<ColumnView<std::uint64_t>> integers;
};

ColumnarValidatorInput::ColumnarValidatorInput(PyObject* columns) {
    if (!PyDict_Check(columns)) {
        raise_cannot_convert(columns, "PyDict");
    }
    prefix_ = read_lists(columns, "module_prefix_sum", false);  // sets the number of events
    x_ = read_lists(columns, "x", true);
    y_ = read_lists(columns, "y", true);
    z_ = read_lists(columns, "z", true);
    check_hit_lists();
    mc_.resize(kColumnCount);
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        mc_[c] = read_mc_column(columns, c);
    }
    count_particles();
}

ColumnarValidatorInput::Lists ColumnarValidatorInput::read_lists(PyObject* columns,
                                                                 const char* name, bool floats) {
    const Ref held = column_tuple(columns, name, 2, true);
    PyObject* pair = held.get();
    Lists out;
    std::size_t values = 0;
    if (floats) {
        out.floats = exact_values<double>(PyTuple_GET_ITEM(pair, 1), name);
        values = out.floats->size();
    } else {
        out.integers = exact_values<std::uint64_t>(PyTuple_GET_ITEM(pair, 1), name);
        values = out.integers->size();
    }
    PyObject* offsets = PyTuple_GET_ITEM(pair, 0);
    if (std::string_view(name) == "module_prefix_sum") {
        // The first column sets the number of events.
        try {
            events_ = size_column(offsets).size();
        } catch (const PythonError&) {
            refuse_column(name, "offsets must be non-negative integers");
        }
        events_ = events_ == 0 ? 0 : events_ - 1;
    }
    out.offsets = checked_offsets(offsets, name, events_, values);
    return out;
}

// Prefix sums non-negative, and y and z as long as x in every event.
void ColumnarValidatorInput::check_hit_lists() const {
    const auto count = [](const Lists& l, std::size_t e) {
        return l.offsets[e + 1] - l.offsets[e];
    };
    for (std::size_t e = 0; e < events_; ++e) {
        for (std::size_t i = prefix_.offsets[e]; i < prefix_.offsets[e + 1]; ++i) {
            if (static_cast<std::int64_t>((*prefix_.integers)[i]) < 0) {
                raise(PyExc_ValueError, "event " + std::to_string(e) +
                                            ": \"module_prefix_sum\" holds a negative value");
            }
        }
        const std::pair<const Lists*, const char*> others[] = {{&y_, "y"}, {&z_, "z"}};
        for (const auto& [other, name] : others) {
            if (count(*other, e) != count(x_, e)) {
                raise(PyExc_ValueError, "event " + std::to_string(e) + ": \"" + name + "\" has " +
                                            std::to_string(count(*other, e)) +
                                            " values, \"x\" has " + std::to_string(count(x_, e)));
            }
        }
    }
}

// Monte Carlo column c, or null when the batch does not hold it.
std::unique_ptr<ColumnarValidatorInput::McColumn> ColumnarValidatorInput::read_mc_column(
    PyObject* columns, std::size_t c) const {
    const std::string name = "mc_" + std::string(kColumnNames[c]);
    const bool hits = c == kHits;
    const Ref held = column_tuple(columns, name, hits ? 4 : 3, false);
    PyObject* tuple = held.get();
    if (tuple == nullptr) {
        return nullptr;
    }
    auto column = std::make_unique<McColumn>();
    try {
        column->named = size_column(PyTuple_GET_ITEM(tuple, 0));
    } catch (const PythonError&) {
        refuse_column(name, "named must be one byte per event");
    }
    if (column->named.size() != events_) {
        refuse_column(name, "named must be one byte per event");
    }
    PyObject* values = PyTuple_GET_ITEM(tuple, hits ? 3 : 2);
    std::size_t cells = 0;
    const bool floats = c == kP || c == kPt || c == kEta || c == kPhi;
    if (floats) {
        column->floats = exact_values<double>(values, name);
        cells = column->floats->size();
    } else {
        column->integers = exact_values<std::uint64_t>(values, name);
        cells = column->integers->size();
    }
    if (hits) {
        try {
            column->hit_offsets = size_column(PyTuple_GET_ITEM(tuple, 2));
        } catch (const PythonError&) {
            refuse_column(name, "hit offsets must be non-negative integers");
        }
        for (std::size_t i = 1; i < column->hit_offsets.size(); ++i) {
            if (column->hit_offsets[i] < column->hit_offsets[i - 1]) {
                refuse_column(name, "hit offsets decrease");
            }
        }
        if (column->hit_offsets.empty() || column->hit_offsets.back() > cells) {
            refuse_column(name, "hit offsets run past its values");
        }
        cells = column->hit_offsets.size() - 1;
    }
    column->offsets = checked_offsets(PyTuple_GET_ITEM(tuple, 1), name, events_, cells);
    return column;
}

// Named columns must give every event one cell per particle.
void ColumnarValidatorInput::count_particles() {
    particles_.assign(events_, 0);
    for (std::size_t e = 0; e < events_; ++e) {
        std::size_t first = kColumnCount;
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            const McColumn* column = mc_[c].get();
            if (column == nullptr || column->named[e] == 0) {
                continue;
            }
            const std::size_t rows = column->offsets[e + 1] - column->offsets[e];
            if (first == kColumnCount) {
                first = c;
                particles_[e] = rows;
            } else if (rows != particles_[e]) {
                raise(PyExc_ValueError, "event " + std::to_string(e) + ": \"mc_" +
                                            std::string(kColumnNames[c]) + "\" has " +
                                            std::to_string(rows) + " values, \"mc_" +
                                            std::string(kColumnNames[first]) + "\" has " +
                                            std::to_string(particles_[e]));
            }
        }
    }
}

ColumnarValidatorInput::~ColumnarValidatorInput() = default;

ValidatorEvent ColumnarValidatorInput::event(std::size_t e) const {
    const auto copy = [e](const Lists& l) {
        const auto begin = l.floats->values().begin();
        return std::vector<double>(begin + static_cast<std::ptrdiff_t>(l.offsets[e]),
                                   begin + static_cast<std::ptrdiff_t>(l.offsets[e + 1]));
    };
    const auto prefix = prefix_.integers->values();
    std::vector<std::size_t> module_prefix_sum(
        prefix.begin() + static_cast<std::ptrdiff_t>(prefix_.offsets[e]),
        prefix.begin() + static_cast<std::ptrdiff_t>(prefix_.offsets[e + 1]));
    std::vector<double> x = copy(x_), y = copy(y_), z = copy(z_);
    std::vector<Hit> hits = validator_hits(x, y, z);

    ParticleTable table;
    const std::size_t rows = particles_[e];
    table.particles.resize(rows);
    table.hits_begin.reserve(rows + 1);
    const auto at = [&](std::size_t c) -> const McColumn* {
        const McColumn* column = mc_[c].get();
        return column != nullptr && column->named[e] != 0 ? column : nullptr;
    };
    for (std::size_t r = 0; r < rows; ++r) {
        MCParticle& m = table.particles[r];
        const auto cell = [&](const McColumn& column) { return column.offsets[e] + r; };
        if (const McColumn* c = at(kKey)) {
            m.key = (*c->integers)[cell(*c)];
        }
        const auto small = [&](Column column, std::int32_t& out) {
            if (const McColumn* c = at(column)) {
                const auto value = static_cast<std::int64_t>((*c->integers)[cell(*c)]);
                if (const auto v = int32_value(value)) {
                    out = *v;
                }
            }
        };
        const auto real = [&](Column column, double& out) {
            if (const McColumn* c = at(column)) {
                out = (*c->floats)[cell(*c)];
            }
        };
        const auto flag = [&](Column column, bool& out) {
            if (const McColumn* c = at(column)) {
                const auto value = static_cast<std::int64_t>((*c->integers)[cell(*c)]);
                if (const auto v = int32_value(value)) {
                    out = *v != 0;
                }
            }
        };
        small(kPid, m.pid);
        real(kP, m.p);
        real(kPt, m.pt);
        real(kEta, m.eta);
        real(kPhi, m.phi);
        small(kCharge, m.charge);
        if (const McColumn* c = at(kHits)) {
            const std::size_t particle = cell(*c);
            const std::size_t begin = c->hit_offsets[particle];
            const std::size_t end = c->hit_offsets[particle + 1];
            // The whole list or nothing, as for a list holding a negative position.
            bool valid = true;
            for (std::size_t i = begin; i < end; ++i) {
                valid = valid && static_cast<std::int64_t>((*c->integers)[i]) >= 0;
            }
            if (valid) {
                for (std::size_t i = begin; i < end; ++i) {
                    table.positions.push_back((*c->integers)[i]);
                }
            }
        }
        table.hits_begin.push_back(table.positions.size());
        read_flags(flag, m);
    }
    MonteCarlo montecarlo = build_montecarlo(std::move(table), hits);
    return make_validator_event(std::move(module_prefix_sum), std::move(x), std::move(y),
                                std::move(z), std::move(hits), std::move(montecarlo));
}

}  // namespace trelmon::py
