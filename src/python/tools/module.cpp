// Entry point of trelmon_tools._native, the companion package's native helpers. It is built from
// the same core and binding layer as trelmon and works on trelmon's own DetectorEvent classes,
// adopted from the imported module, so that its arguments and results are trelmon's instances.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/shared_classes.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include <cstring>

namespace trelmon::py {
namespace {

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "trelmon_tools._native",
    "",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr PyMethodDef* (*kFeatures[])() = {
    event_batch_functions,       // event_batch.cpp
    finder_parameter_functions,  // finder_parameters.cpp
    generator_functions,         // generator.cpp
    track_rebuild_functions,     // track_rebuild.cpp
    truth_table_functions,       // truth_tables.cpp
    validation_term_functions,   // validation_terms.cpp
    work_count_functions,        // work_counts.cpp
};

constexpr PyTypeObject* (*kClasses[])() = {
    scatter_window_following_type,  // scatter_window_following.cpp
};

Ref attribute(PyObject* object, const char* name) {
    Ref value(PyObject_GetAttrString(object, name));
    if (!value) {
        throw_python_error();
    }
    return value;
}

void adopt_detector_event_classes() {
    Ref trelmon(PyImport_ImportModule("trelmon"));
    if (!trelmon) {
        throw_python_error();
    }
    Ref classes = attribute(trelmon.get(), "DetectorEvent");
    adopt_class(SharedClass::Hit, attribute(classes.get(), "Hit").get(), "DetectorEvent.Hit");
    adopt_class(SharedClass::Track, attribute(classes.get(), "Track").get(), "DetectorEvent.Track");
    adopt_class(SharedClass::Module, attribute(classes.get(), "Module").get(),
                "DetectorEvent.Module");
    adopt_class(SharedClass::Event, attribute(classes.get(), "Event").get(), "DetectorEvent.Event");
    // The first lookup of each checks its layout, so a mismatch fails the import, not a call.
    hit_type();
    track_type();
    module_type();
    event_type();
}

PyObject* build_module() {
    adopt_detector_event_classes();
    Ref module(PyModule_Create(&native_module));
    if (!module) {
        throw_python_error();
    }
    Ref name(PyUnicode_FromString(PyModule_GetName(module.get())));
    if (!name) {
        throw_python_error();
    }
    for (const auto functions : kFeatures) {
        for (PyMethodDef* definition = functions(); definition->ml_name != nullptr; ++definition) {
            Ref function(PyCFunction_NewEx(definition, nullptr, name.get()));
            if (!function) {
                throw_python_error();
            }
            register_member(module.get(), definition->ml_name, function.get());
        }
    }
    for (const auto type : kClasses) {
        PyTypeObject* made = type();
        const char* dot = std::strrchr(made->tp_name, '.');
        register_member(module.get(), dot != nullptr ? dot + 1 : made->tp_name,
                        reinterpret_cast<PyObject*>(made));
    }
    return module.release();
}

}  // namespace
}  // namespace trelmon::py

PyMODINIT_FUNC PyInit__native() {
    return trelmon::py::guarded(trelmon::py::build_module);
}
