// Python class Event: the native event plus the one Python object it keeps, "montecarlo".
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/columns.hpp"
#include "python/shared_classes.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

struct EventData {
    Event native;
    PyObject* montecarlo = nullptr;  // owned; cleared by the garbage collector on cycles
};

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
        PyObject* event = box(type, EventData{build_event(std::move(columns)), nullptr});
        unbox<EventData>(event).montecarlo = montecarlo.release();
        return event;
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
