// The generator's hot loop: straight flights of particles through the 52 modules, where each
// line crosses a sensor, and where the line bent by the kicks of multiple scattering does. The
// random numbers stay in Python (each event draws its own); here runs the arithmetic, in
// numpy's order operation for operation (the build never fuses a multiply and an add), so an
// event comes out the same bit for bit as from whole-array numpy code.
#include "python/args.hpp"
#include "python/columns.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <algorithm>
#include <array>
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

// Per particle: origin, slopes and the sign of pz, which sets the order the modules are met in.
struct Lines {
    std::vector<double> ox, oy, oz, tx, ty, pz;

    std::size_t size() const { return ox.size(); }
};

// One particle's unbent line at each module, steps in flight order.
struct Flight {
    std::array<double, kModules> zp, dz, x, y;
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
        f.dz[s] = dz;
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

Lines lines_arg(PyObject* const* a) {
    Lines lines{float_column(a[0]), float_column(a[1]), float_column(a[2]),
                float_column(a[3]), float_column(a[4]), float_column(a[5])};
    for (const auto* column : {&lines.oy, &lines.oz, &lines.tx, &lines.ty, &lines.pz}) {
        if (column->size() != lines.size()) {
            raise(PyExc_ValueError, "ox, oy, oz, tx, ty and pz must have one entry per particle");
        }
    }
    return lines;
}

// A writable buffer numpy can view without a copy (np.frombuffer).
template <class T>
Ref column_bytes(const std::vector<T>& values) {
    Ref out(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                          static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    if (!out) {
        throw_python_error();
    }
    return out;
}

template <class... Columns>
PyObject* tuple_of(const Columns&... columns) {
    std::array<Ref, sizeof...(Columns)> items{column_bytes(columns)...};
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
        const Lines lines = lines_arg(a.data());
        const Geometry g = geometry_arg(a[6], a[7]);
        std::vector<std::int64_t> part, step;
        Flight f;
        for (std::size_t p = 0; p < lines.size(); ++p) {
            fly(g, lines, p, f);
            for (std::size_t s = 0; s < kModules; ++s) {
                if (on_sensor(g, f, s)) {
                    part.push_back(static_cast<std::int64_t>(p));
                    step.push_back(static_cast<std::int64_t>(s));
                }
            }
        }
        return tuple_of(part, step);
    });
}

// flight_hits(ox, oy, oz, tx, ty, pz, module_z, geometry, part, step, kick_x, kick_y)
PyObject* flight_hits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature<12> signature{"flight_hits",
                                             {"ox", "oy", "oz", "tx", "ty", "pz", "module_z",
                                              "geometry", "part", "step", "kick_x", "kick_y"},
                                             12};
        const auto a = parse_args(signature, args, nargs, kwnames);
        const Lines lines = lines_arg(a.data());
        const Geometry g = geometry_arg(a[6], a[7]);
        const std::vector<std::size_t> kicked = size_column(a[8]);
        const std::vector<std::size_t> kick_step = size_column(a[9]);
        const std::vector<double> kick_x = float_column(a[10]);
        const std::vector<double> kick_y = float_column(a[11]);
        const std::size_t kicks = kicked.size();
        if (kick_step.size() != kicks || kick_x.size() != kicks || kick_y.size() != kicks) {
            raise(PyExc_ValueError, "part, step, kick_x and kick_y must have one entry per kick");
        }
        for (std::size_t c = 0; c < kicks; ++c) {
            if (kicked[c] >= lines.size() || kick_step[c] >= kModules ||
                (c > 0 && (kicked[c] < kicked[c - 1] ||
                           (kicked[c] == kicked[c - 1] && kick_step[c] <= kick_step[c - 1])))) {
                raise(PyExc_ValueError,
                      "kicks must come in particle order, then step order, within range");
            }
        }

        // About as many hits as kicks: the bent lines cross where the straight ones did.
        std::vector<std::int64_t> part, step, module;
        std::vector<double> x, y, z, dz;
        for (auto* column : {&part, &step, &module}) {
            column->reserve(kicks);
        }
        for (auto* column : {&x, &y, &z, &dz}) {
            column->reserve(kicks);
        }
        std::vector<double> last_x(lines.size()), last_y(lines.size()), last_z(lines.size());
        std::vector<double> last_tx(lines.size()), last_ty(lines.size());
        Flight f;
        std::size_t c = 0;
        for (std::size_t p = 0; p < lines.size(); ++p) {
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
                    part.push_back(static_cast<std::int64_t>(p));
                    step.push_back(static_cast<std::int64_t>(s));
                    module.push_back(f.module[s]);
                    x.push_back(f.x[s]);
                    y.push_back(f.y[s]);
                    z.push_back(f.zp[s]);
                    dz.push_back(f.dz[s]);
                }
            }
            // The state after the last module, or the origin of a particle born beyond it.
            const bool past = f.ahead[kModules - 1];
            last_x[p] = past ? f.x[kModules - 1] : lines.ox[p];
            last_y[p] = past ? f.y[kModules - 1] : lines.oy[p];
            last_z[p] = past ? f.zp[kModules - 1] : lines.oz[p];
            last_tx[p] = lines.tx[p] + sx;
            last_ty[p] = lines.ty[p] + sy;
        }
        return tuple_of(part, step, module, x, y, z, dz, last_x, last_y, last_z, last_tx, last_ty);
    });
}

PyMethodDef functions[] = {
    {"flight_crossings", method(flight_crossings), METH_FASTCALL | METH_KEYWORDS,
     "flight_crossings(ox, oy, oz, tx, ty, pz, module_z, geometry)\n--\n\n"
     "Where each particle's straight line crosses a sensor: (part, step) as int64 bytes, in\n"
     "particle order, steps in flight order. geometry = (faces, inner_r2, outer_r2, overlap,\n"
     "face_offset)."},
    {"flight_hits", method(flight_hits), METH_FASTCALL | METH_KEYWORDS,
     "flight_hits(ox, oy, oz, tx, ty, pz, module_z, geometry, part, step, kick_x, kick_y)\n--\n\n"
     "The lines bent by a kick at each (part, step): where they cross a sensor, as bytes of\n"
     "part, step, module (int64), x, y, z, dz (float64), then per particle the state after the\n"
     "last module, x, y, z, tx, ty (float64)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* flight_functions() {
    return functions;
}

}  // namespace trelmon::py
