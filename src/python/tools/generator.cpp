// The generator's hot loops. The flights of particles through the 52 modules: where each line
// crosses a sensor, and where the line bent by the kicks of multiple scattering does; and the
// layout of each event's hits, module by module. The random numbers stay in Python (each event
// draws its own); here runs the arithmetic, in numpy's order operation for operation (the build
// never fuses a multiply and an add), so an event comes out the same bit for bit as from
// whole-array numpy code.
#include "python/args.hpp"
#include "python/columns.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace trelmon::py {
namespace {

constexpr std::size_t kModules = 52;

struct Geometry {
    std::array<double, kModules> module_z{};
    bool two_faces = true;
    double inner_r2 = 0.0;
    double outer_r2 = 0.0;
    double overlap = 0.0;
    double face_offset = 0.0;
};

// Per particle: origin, slopes and the sign of pz, which sets the order the modules are met in;
// read in place from the caller's arrays.
struct Lines {
    explicit Lines(PyObject* const* a)
        : ox(a[0]), oy(a[1]), oz(a[2]), tx(a[3]), ty(a[4]), pz(a[5]) {
        for (const auto* column : {&oy, &oz, &tx, &ty, &pz}) {
            if (column->size() != ox.size()) {
                raise(PyExc_ValueError,
                      "ox, oy, oz, tx, ty and pz must have one entry per particle");
            }
        }
    }
    std::size_t size() const { return ox.size(); }

    ColumnView<double> ox, oy, oz, tx, ty, pz;
};

// One particle's unbent line at each module, steps in flight order.
struct Flight {
    std::array<double, kModules> zp, x, y;
    std::array<std::int64_t, kModules> module;
    std::array<bool, kModules> ahead;
};

// Steps `from` onwards of the flight.
void fly(const Geometry& g, const Lines& lines, std::size_t p, Flight& f, std::size_t from = 0) {
    const double ox = lines.ox[p], oy = lines.oy[p], oz = lines.oz[p];
    const double tx = lines.tx[p], ty = lines.ty[p];
    const bool forward = lines.pz[p] >= 0.0;
    for (std::size_t s = from; s < kModules; ++s) {
        const std::size_t m = forward ? s : kModules - 1 - s;
        double zp = g.module_z[m];
        if (g.two_faces) {
            // Half modules carry sensors on both faces: the side of the beam picks the face.
            zp = zp + (oy + ty * (zp - oz) >= 0.0 ? -g.face_offset : g.face_offset);
        }
        const double dz = zp - oz;
        f.zp[s] = zp;
        f.x[s] = ox + tx * dz;
        f.y[s] = oy + ty * dz;
        f.module[s] = static_cast<std::int64_t>(m);
        f.ahead[s] = forward ? dz > 0.0 : dz < 0.0;
    }
}

bool on_sensor(const Geometry& g, const Flight& f, std::size_t s) {
    const double x = f.x[s];
    const double y = f.y[s];
    double r2 = x * x;
    r2 += y * y;
    const bool even = f.module[s] % 2 == 0;
    // Without branches: which tests fail follows no pattern the processor could learn.
    return static_cast<bool>(
        static_cast<int>(r2 >= g.inner_r2) & static_cast<int>(r2 <= g.outer_r2) &
        static_cast<int>(even ? x < g.overlap : x > -g.overlap) & static_cast<int>(f.ahead[s]));
}

Geometry geometry_arg(PyObject* module_z, PyObject* settings) {
    Geometry g;
    const std::vector<double> z = float_column(module_z);
    if (z.size() != kModules) {
        raise(PyExc_ValueError, "module_z must hold " + std::to_string(kModules) + " values, not " +
                                    std::to_string(z.size()));
    }
    std::copy(z.begin(), z.end(), g.module_z.begin());
    const auto values = convert<std::vector<double>>(settings, "geometry");
    if (values.size() != 5) {
        raise(PyExc_ValueError,
              "geometry must be (faces, inner_r2, outer_r2, overlap, face_offset)");
    }
    if (values[0] != 1.0 && values[0] != 2.0) {
        raise(PyExc_ValueError, "geometry: faces must be 1 or 2");
    }
    g.two_faces = values[0] == 2.0;
    g.inner_r2 = values[1];
    g.outer_r2 = values[2];
    g.overlap = values[3];
    g.face_offset = values[4];
    return g;
}

// A column of results written straight into the bytearray numpy will view (np.frombuffer):
// sized for the most entries there can be, cut to those written. Pages never written are never
// touched, so the bound costs nothing.
template <class T>
class Output {
  public:
    explicit Output(std::size_t most)
        : bytes_(
              PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(most * sizeof(T)))) {
        if (!bytes_) {
            throw_python_error();
        }
        data_ = reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes_.get()));
    }
    void push(T value) { data_[size_++] = value; }
    // For results written out of order: all `most` entries count as written.
    T* fill_all(std::size_t most) {
        size_ = most;
        return data_;
    }
    Ref finish() {
        if (PyByteArray_Resize(bytes_.get(), static_cast<Py_ssize_t>(size_ * sizeof(T))) != 0) {
            throw_python_error();
        }
        return std::move(bytes_);
    }

  private:
    Ref bytes_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

template <class... Outputs>
PyObject* tuple_of(Outputs&... outputs) {
    std::array<Ref, sizeof...(Outputs)> items{outputs.finish()...};
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        throw_python_error();
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple.release();
}

// flight_crossings(ox, oy, oz, tx, ty, pz, module_z, geometry)
PyObject* flight_crossings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<8> signature{
            "flight_crossings", {"ox", "oy", "oz", "tx", "ty", "pz", "module_z", "geometry"}, 8};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Lines lines(a.data());
        const Geometry g = geometry_arg(a[6], a[7]);
        Output<std::int64_t> part(lines.size() * kModules), step(lines.size() * kModules);
        Flight f;
        for (std::size_t p = 0; p < lines.size(); ++p) {
            fly(g, lines, p, f);
            for (std::size_t s = 0; s < kModules; ++s) {
                if (on_sensor(g, f, s)) {
                    part.push(static_cast<std::int64_t>(p));
                    step.push(static_cast<std::int64_t>(s));
                }
            }
        }
        return tuple_of(part, step);
    });
}

// flight_hits(ox, oy, oz, tx, ty, pz, module_z, geometry, part, step, kick_x, kick_y, slope2,
//             inv_speed, ot)
PyObject* flight_hits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<15> signature{
            "flight_hits",
            {"ox", "oy", "oz", "tx", "ty", "pz", "module_z", "geometry", "part", "step", "kick_x",
             "kick_y", "slope2", "inv_speed", "ot"},
            15};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Lines lines(a.data());
        const Geometry g = geometry_arg(a[6], a[7]);
        const ColumnView<std::uint64_t> kicked(a[8]);
        const ColumnView<std::uint64_t> kick_step(a[9]);
        const ColumnView<double> kick_x(a[10]);
        const ColumnView<double> kick_y(a[11]);
        // Per particle: 1 + tx^2 + ty^2, 1 / speed and the time at the origin, for the hit times.
        const ColumnView<double> slope2(a[12]);
        const ColumnView<double> inv_speed(a[13]);
        const ColumnView<double> ot(a[14]);
        if (slope2.size() != lines.size() || inv_speed.size() != lines.size() ||
            ot.size() != lines.size()) {
            raise(PyExc_ValueError, "slope2, inv_speed and ot must have one entry per particle");
        }
        const std::size_t kicks = kicked.size();
        if (kick_step.size() != kicks || kick_x.size() != kicks || kick_y.size() != kicks) {
            raise(PyExc_ValueError, "part, step, kick_x and kick_y must have one entry per kick");
        }
        // A bent line can cross a sensor at any module from its first kick on.
        std::size_t most = 0;
        for (std::size_t c = 0; c < kicks; ++c) {
            const bool first = c == 0 || kicked[c] != kicked[c - 1];
            if (kicked[c] >= lines.size() || kick_step[c] >= kModules ||
                (!first && kick_step[c] <= kick_step[c - 1]) ||
                (c > 0 && kicked[c] < kicked[c - 1])) {
                raise(PyExc_ValueError,
                      "kicks must come in particle order, then step order, within range");
            }
            most += first ? kModules - kick_step[c] : 0;
        }

        Output<std::int64_t> part(most), step(most), module(most);
        Output<double> x(most), y(most), z(most), t(most);
        const std::size_t n = lines.size();
        Output<double> last_x(n), last_y(n), last_z(n), last_tx(n), last_ty(n);
        Flight f;
        std::size_t c = 0;
        for (std::size_t p = 0; p < n; ++p) {
            std::array<double, kModules> vx{}, vy{};
            const std::size_t first = c;
            for (; c < kicks && kicked[c] == p; ++c) {
                vx[kick_step[c]] = kick_x[c];
                vy[kick_step[c]] = kick_y[c];
            }
            // Up to its first kick a line is straight and crosses no sensor (the first kick is at
            // its first crossing); a line without kicks matters only for its state at the end.
            const std::size_t start = c == first ? kModules - 1 : kick_step[first];
            fly(g, lines, p, f, start);
            // A later crossing moves by kick * (z_later - z_kick): the running sum of the kicks
            // met before it times its z, less the running sum of kick * z.
            double sx = vx[start], sy = vy[start];
            double szx = vx[start] * f.zp[start], szy = vy[start] * f.zp[start];
            for (std::size_t s = start + 1; s < kModules; ++s) {
                double shift_x = sx * f.zp[s];
                shift_x -= szx;
                double shift_y = sy * f.zp[s];
                shift_y -= szy;
                f.x[s] = f.x[s] + shift_x;
                f.y[s] = f.y[s] + shift_y;
                sx = sx + vx[s];
                sy = sy + vy[s];
                szx = szx + vx[s] * f.zp[s];
                szy = szy + vy[s] * f.zp[s];
            }
            for (std::size_t s = c == first ? kModules : start; s < kModules; ++s) {
                if (on_sensor(g, f, s)) {
                    part.push(static_cast<std::int64_t>(p));
                    step.push(static_cast<std::int64_t>(s));
                    module.push(f.module[s]);
                    x.push(f.x[s]);
                    y.push(f.y[s]);
                    z.push(f.zp[s]);
                    // The flight time along the straight line to the module.
                    const double path = std::abs(f.zp[s] - lines.oz[p]) * std::sqrt(slope2[p]);
                    t.push(ot[p] + path * inv_speed[p]);
                }
            }
            // The state after the last module, or the origin of a particle born beyond it.
            const bool past = f.ahead[kModules - 1];
            last_x.push(past ? f.x[kModules - 1] : lines.ox[p]);
            last_y.push(past ? f.y[kModules - 1] : lines.oy[p]);
            last_z.push(past ? f.zp[kModules - 1] : lines.oz[p]);
            last_tx.push(lines.tx[p] + sx);
            last_ty.push(lines.ty[p] + sy);
        }
        return tuple_of(part, step, module, x, y, z, t, last_x, last_y, last_z, last_tx, last_ty);
    });
}

// hit_layout(event, module, key, offsets)
// Hits of many events laid out module by module: each event's hits in key order (key[k] is the
// key of the k-th hit of its event, in hit order), then sorted by module, keeping that order
// within a module. Counting sorts, so the order is the one numpy's stable sorts give.
PyObject* hit_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<4> signature{"hit_layout", {"event", "module", "key", "offsets"}, 4};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const ColumnView<std::uint64_t> event(a[0]);
        const ColumnView<std::uint64_t> module(a[1]);
        const ColumnView<std::uint64_t> key(a[2]);
        const ColumnView<std::uint64_t> offsets(a[3]);
        const std::size_t n = event.size();
        if (module.size() != n || key.size() != n) {
            raise(PyExc_ValueError, "event, module and key must have one entry per hit");
        }
        if (offsets.size() == 0 || offsets[0] != 0 || offsets[offsets.size() - 1] != n) {
            raise(PyExc_ValueError, "offsets must run from 0 to the number of hits");
        }
        const std::size_t events = offsets.size() - 1;
        for (std::size_t e = 0; e < events; ++e) {
            if (offsets[e + 1] < offsets[e]) {
                raise(PyExc_ValueError, "offsets must not decrease");
            }
        }
        // The hits of each event in hit order, then in key order.
        std::vector<std::size_t> next(offsets.values().begin(), offsets.values().end() - 1);
        std::vector<std::size_t> grouped(n);
        for (std::size_t j = 0; j < n; ++j) {
            if (event[j] >= events || module[j] >= kModules ||
                next[event[j]] == offsets[event[j] + 1]) {
                raise(PyExc_ValueError, "hit " + std::to_string(j) +
                                            ": event or module out of range, or more hits than "
                                            "its event's offsets hold");
            }
            grouped[next[event[j]]++] = j;
        }
        constexpr std::size_t kUnset = static_cast<std::size_t>(-1);
        std::vector<std::size_t> by_key(n, kUnset);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t e = event[grouped[k]];
            const std::size_t slot = offsets[e] + key[k];
            if (key[k] >= offsets[e + 1] - offsets[e] || by_key[slot] != kUnset) {
                raise(PyExc_ValueError, "the keys of an event must be a permutation of its hits");
            }
            by_key[slot] = grouped[k];
        }
        // Stable counting sort of that sequence by (event, module).
        std::vector<std::size_t> start(events * kModules + 1, 0);
        for (std::size_t j = 0; j < n; ++j) {
            ++start[event[j] * kModules + module[j] + 1];
        }
        for (std::size_t b = 1; b < start.size(); ++b) {
            start[b] += start[b - 1];
        }
        Output<std::int64_t> order_out(n), position_out(n);
        std::int64_t* order = order_out.fill_all(n);
        std::int64_t* position = position_out.fill_all(n);
        for (const std::size_t h : by_key) {
            order[start[event[h] * kModules + module[h]]++] = static_cast<std::int64_t>(h);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const auto h = static_cast<std::size_t>(order[i]);
            position[h] = static_cast<std::int64_t>(i - offsets[event[h]]);
        }
        return tuple_of(order_out, position_out);
    });
}

PyMethodDef functions[] = {
    {"flight_crossings", method(flight_crossings), METH_FASTCALL | METH_KEYWORDS,
     "flight_crossings(ox, oy, oz, tx, ty, pz, module_z, geometry)\n--\n\n"
     "Where each particle's straight line crosses a sensor: (part, step) as int64 bytes, in\n"
     "particle order, steps in flight order. geometry = (faces, inner_r2, outer_r2, overlap,\n"
     "face_offset)."},
    {"flight_hits", method(flight_hits), METH_FASTCALL | METH_KEYWORDS,
     "flight_hits(ox, oy, oz, tx, ty, pz, module_z, geometry, part, step, kick_x, kick_y, slope2,\n"
     "inv_speed, ot)\n--\n\n"
     "The lines bent by a kick at each (part, step): where they cross a sensor, as bytes of\n"
     "part, step, module (int64), x, y, z, t (float64), then per particle the state after the\n"
     "last module, x, y, z, tx, ty (float64)."},
    {"hit_layout", method(hit_layout), METH_FASTCALL | METH_KEYWORDS,
     "hit_layout(event, module, key, offsets)\n--\n\n"
     "Hits of many events laid out module by module, each event's hits of one module in key\n"
     "order: (order, position) as int64 bytes, the hits in layout order and each hit's place\n"
     "within its event."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* generator_functions() {
    return functions;
}

}  // namespace trelmon::py
