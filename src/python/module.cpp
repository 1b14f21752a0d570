// The module's entry point: builds trelmon and its three submodules.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/types.hpp"

#include <cstring>

namespace trelmon::py {

// The Validator functions in registration order, ending in an empty entry (validator_py.cpp).
PyMethodDef* validator_functions();

namespace {

PyModuleDef trelmon_module = {
    PyModuleDef_HEAD_INIT, "trelmon", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void add_class(PyObject* module, PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    register_member(module, dot != nullptr ? dot + 1 : type->tp_name,
                    reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* definition) {
    Ref name(PyUnicode_FromString(PyModule_GetName(module)));
    if (!name) {
        throw_python_error();
    }
    Ref function(PyCFunction_NewEx(definition, nullptr, name.get()));
    if (!function) {
        throw_python_error();
    }
    register_member(module, definition->ml_name, function.get());
}

// A submodule is a plain module object named without its parent and kept out of sys.modules.
Ref new_submodule(const char* name) {
    Ref module(PyModule_New(name));
    if (!module) {
        throw_python_error();
    }
    return module;
}

PyObject* build_module() {
    // The native state is per process; a second interpreter must not share it half-built.
    static bool initialised = false;
    if (initialised) {
        raise(PyExc_ImportError, "trelmon can be initialised only once per process");
    }
    initialised = true;

    Ref trelmon(PyModule_Create(&trelmon_module));
    if (!trelmon) {
        throw_python_error();
    }

    Ref algorithms = new_submodule("ReconstructionAlgorithms");
    add_class(algorithms.get(), track_following_type());
    add_class(algorithms.get(), graph_dfs_type());
    add_class(algorithms.get(), search_by_triplet_trie_type());
    register_member(trelmon.get(), "ReconstructionAlgorithms", algorithms.get());

    Ref validator = new_submodule("Validator");
    for (PyMethodDef* function = validator_functions(); function->ml_name != nullptr; ++function) {
        add_function(validator.get(), function);
    }
    register_member(trelmon.get(), "Validator", validator.get());

    Ref detector_event = new_submodule("DetectorEvent");
    add_class(detector_event.get(), hit_type());
    add_class(detector_event.get(), track_type());
    add_class(detector_event.get(), module_type());
    add_class(detector_event.get(), event_type());
    register_member(trelmon.get(), "DetectorEvent", detector_event.get());

    return trelmon.release();
}

}  // namespace
}  // namespace trelmon::py

PyMODINIT_FUNC PyInit_trelmon() {
    return trelmon::py::guarded(trelmon::py::build_module);
}
