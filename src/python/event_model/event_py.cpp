// Python class Event: the native event plus the one Python object it keeps, "montecarlo".
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/columns.hpp"
#include "python/pickling.hpp"
#include "python/shared_classes.hpp"
#include "python/types.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace trelmon::py {
namespace {

struct EventData {
    Event native;
    PyObject* montecarlo = nullptr;  // owned; cleared by the garbage collector on cycles
};

}  // namespace

PyObject* new_event(PyTypeObject* type, Event native, PyObject* montecarlo) {
    PyObject* event = box(type, EventData{std::move(native), nullptr});
    unbox<EventData>(event).montecarlo = Ref::borrow(montecarlo).release();
    return event;
}

namespace {

PyObject* event_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<1> signature{"Event.__new__", {"json_data"}, 1};
        PyObject* data = parse_args(signature, args, kwargs)[0];
        if (!PyDict_Check(data)) {
            raise_cannot_convert(data, "PyDict", "json_data");
        }
        // Items are held while converting: a conversion may run Python code that edits the dict.
        EventColumns columns;
        columns.description =
            convert<std::string>(required_item(data, "description").get(), nullptr);
        Ref montecarlo = required_item(data, "montecarlo");
        columns.module_prefix_sum = size_column(required_item(data, "module_prefix_sum").get());
        Ref times = Ref::borrow(PyDict_GetItemString(data, "t"));
        columns.x = float_column(required_item(data, "x").get());
        columns.y = float_column(required_item(data, "y").get());
        columns.z = float_column(required_item(data, "z").get());
        if (times) {
            columns.t = float_column(times.get());
        }
        return new_event(type, build_event(std::move(columns)), montecarlo.get());
    });
}

int event_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(unbox<EventData>(self).montecarlo);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int event_clear(PyObject* self) {
    Py_CLEAR(unbox<EventData>(self).montecarlo);
    return 0;
}

void event_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    event_clear(self);
    box_dealloc<EventData>(self);
}

const Event& native(PyObject* self) {
    return unbox<EventData>(self).native;
}

PyObject* event_description(PyObject* self, void*) {
    return guarded([&] { return to_python(native(self).description); });
}

PyObject* event_montecarlo(PyObject* self, void*) {
    PyObject* montecarlo = unbox<EventData>(self).montecarlo;
    return Ref::borrow(montecarlo != nullptr ? montecarlo : Py_None).release();
}

PyObject* event_module_prefix_sum(PyObject* self, void*) {
    return guarded([&] { return to_python(native(self).module_prefix_sum); });
}

PyObject* event_number_of_hits(PyObject* self, void*) {
    return guarded([&] { return to_python(native(self).number_of_hits); });
}

PyObject* event_module_zs(PyObject* self, void*) {
    return guarded([&] { return to_python(native(self).module_zs); });
}

PyObject* event_hits(PyObject* self, void*) {
    return guarded([&] { return to_python(*native(self).hits); });
}

PyObject* event_modules(PyObject* self, void*) {
    return guarded([&] {
        const auto& modules = native(self).modules;
        Ref list(PyList_New(static_cast<Py_ssize_t>(modules.size())));
        if (!list) {
            throw_python_error();
        }
        for (std::size_t i = 0; i < modules.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), box(module_type(), modules[i]));
        }
        return list.release();
    });
}

// ---- Pickling and copying ----------------------------------------------------------------------
// __reduce__ gives (Event, (placeholder,), state): the placeholder is an event dictionary without
// hits whose "montecarlo" stands for the Event class itself, a mark no real event carries (the
// class once unpickled, its locator when copied), and the state
// holds the coordinate columns as raw float64 bytes. __setstate__ fills only such a placeholder,
// so an event that other threads may be reading never changes.

Ref new_bytes(const void* data, std::size_t size) {
    Ref bytes(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        throw_python_error();
    }
    return bytes;
}

template <class T>
Ref bytes_of(const std::vector<T>& values) {
    return new_bytes(values.data(), values.size() * sizeof(T));
}

template <class T>
std::vector<T> from_bytes(PyObject* object, const char* what) {
    if (!PyBytes_Check(object) || PyBytes_GET_SIZE(object) % sizeof(T) != 0) {
        raise(PyExc_ValueError, std::string("Event state: '") + what + "' is not a column");
    }
    std::vector<T> values(static_cast<std::size_t>(PyBytes_GET_SIZE(object)) / sizeof(T));
    if (!values.empty()) {  // an empty vector's data() may be null, which memcpy never takes
        std::memcpy(values.data(), PyBytes_AS_STRING(object), values.size() * sizeof(T));
    }
    return values;
}

bool is_placeholder(PyObject* self) {
    const EventData& data = unbox<EventData>(self);
    return stands_for(data.montecarlo, Py_TYPE(self)) && data.native.hits->empty() &&
           data.native.description.empty();
}

PyObject* event_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const Event& event = native(self);
        // Columns as long as the ranges read; a hit's id is its position in them.
        std::size_t length = event.module_prefix_sum[kNumberOfModules];
        bool with_t = false;
        for (const Hit& hit : *event.hits) {
            length = std::max(length, static_cast<std::size_t>(hit.id) + 1);
            with_t = with_t || hit.with_t;
        }
        std::vector<double> x(length, 0.0);
        std::vector<double> y(length, 0.0);
        std::vector<double> z(length, 0.0);
        std::vector<double> t(with_t ? length : 0, 0.0);
        for (const Hit& hit : *event.hits) {
            const auto i = static_cast<std::size_t>(hit.id);
            x[i] = hit.x;
            y[i] = hit.y;
            z[i] = hit.z;
            if (with_t) {
                t[i] = hit.t;
            }
        }
        const std::vector<std::uint64_t> prefix(event.module_prefix_sum.begin(),
                                                event.module_prefix_sum.end());
        PyObject* montecarlo = unbox<EventData>(self).montecarlo;
        Ref state(Py_BuildValue("(NONNNNN)", to_python(event.description),
                                montecarlo != nullptr ? montecarlo : Py_None,
                                bytes_of(prefix).release(), bytes_of(x).release(),
                                bytes_of(y).release(), bytes_of(z).release(),
                                with_t ? bytes_of(t).release() : Ref::borrow(Py_None).release()));
        if (!state) {
            throw_python_error();
        }
        Ref placeholder(Py_BuildValue("{s:s,s:O,s:N,s:[],s:[],s:[]}", "description", "",
                                      "montecarlo", locator.get(), "module_prefix_sum",
                                      to_python(std::vector<std::uint64_t>(kNumberOfModules + 1)),
                                      "x", "y", "z"));
        if (!placeholder) {
            throw_python_error();
        }
        return Py_BuildValue("O(O)O", locator.get(), placeholder.get(), state.get());
    });
}

PyObject* event_setstate(PyObject* self, PyObject* state) {
    return guarded([&] {
        if (!is_placeholder(self)) {
            raise(PyExc_TypeError, "Event.__setstate__ only fills an event being unpickled");
        }
        if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 7) {
            raise(PyExc_ValueError, "Event state must be a tuple of 7 items");
        }
        const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
        EventColumns columns;
        columns.description = convert<std::string>(item(0), nullptr);
        const auto prefix = from_bytes<std::uint64_t>(item(2), "module_prefix_sum");
        columns.module_prefix_sum.assign(prefix.begin(), prefix.end());
        columns.x = from_bytes<double>(item(3), "x");
        columns.y = from_bytes<double>(item(4), "y");
        columns.z = from_bytes<double>(item(5), "z");
        if (item(6) != Py_None) {
            columns.t = from_bytes<double>(item(6), "t");
        }
        Event event = build_event(std::move(columns));
        EventData& data = unbox<EventData>(self);
        data.native = std::move(event);
        PyObject* previous = data.montecarlo;
        data.montecarlo = Ref::borrow(item(1)).release();
        Py_XDECREF(previous);
        return Ref::borrow(Py_None).release();
    });
}

PyMethodDef event_methods[] = {
    {"__reduce__", event_reduce, METH_NOARGS, nullptr},
    {"__setstate__", event_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef event_getset[] = {
    {"description", event_description, nullptr, nullptr, nullptr},
    {"montecarlo", event_montecarlo, nullptr, nullptr, nullptr},
    {"module_prefix_sum", event_module_prefix_sum, nullptr, nullptr, nullptr},
    {"number_of_hits", event_number_of_hits, nullptr, nullptr, nullptr},
    {"module_zs", event_module_zs, nullptr, "For each module, a vector of unique z values.",
     nullptr},
    {"hits", event_hits, nullptr, nullptr, nullptr},
    {"modules", event_modules, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(event_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(event_clear)},
    {Py_tp_getset, event_getset},
    {Py_tp_methods, event_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* event_type() {
    return shared_class(SharedClass::Event, sizeof(Box<EventData>), [] {
        return make_type<EventData>("DetectorEvent.Event", kImmutableTypeFlags | Py_TPFLAGS_HAVE_GC,
                                    event_slots);
    });
}

const Event& event_arg(PyObject* object, const char* argument) {
    if (!PyObject_TypeCheck(object, event_type())) {
        raise_cannot_convert(object, "Event", argument);
    }
    return native(object);
}

}  // namespace trelmon::py
