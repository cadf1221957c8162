// Module creation and execution with multi-phase initialisation.
//
// A module lives once per process: created in the first interpreter that
// imports it, handed back on re-import, refused in any other interpreter.
#include "internal.hpp"

#include <cstdio>
#include <cstring>

namespace module_frame {

const char *ModuleDef::short_name() const {
    const char *dot = std::strrchr(full_name, '.');
    return dot ? dot + 1 : full_name;
}

namespace {

// Each extension module links its own copy of the frame, so this is the one
// definition of the module this copy belongs to.
ModuleDef *the_module = nullptr;

bool check_single_interpreter(ModuleDef &def) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return false;
    if (def.interpreter_id == -1) {
        def.interpreter_id = current;
        return true;
    }
    if (def.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies a spec attribute onto the new module when the spec has a value.
bool copy_spec_attribute(nb::handle spec, nb::handle module, const char *from, const char *to) {
    nb::object value = nb::steal(PyObject_GetAttrString(spec.ptr(), from));
    if (!value.is_valid()) {
        PyErr_Clear();
        return true;
    }
    if (value.is_none())
        return true;
    return PyObject_SetAttrString(module.ptr(), to, value.ptr()) == 0;
}

PyObject *create_module(PyObject *spec, PyModuleDef *python_def) {
    (void)python_def;
    ModuleDef &def = *the_module;
    if (!check_single_interpreter(def))
        return nullptr;
    if (def.module_object)
        return Py_NewRef(def.module_object);

    nb::object name = nb::steal(PyObject_GetAttrString(spec, "name"));
    if (!name.is_valid())
        return nullptr;
    nb::object module = nb::steal(PyModule_NewObject(name.ptr()));
    if (!module.is_valid())
        return nullptr;
    if (!copy_spec_attribute(spec, module, "loader", "__loader__") ||
        !copy_spec_attribute(spec, module, "origin", "__file__") ||
        !copy_spec_attribute(spec, module, "parent", "__package__") ||
        !copy_spec_attribute(spec, module, "submodule_search_locations", "__path__"))
        return nullptr;
    return module.release().ptr();
}

// Runs the module's populate step; exceptions become the pending error with
// an "init <name>" traceback frame.
bool populate_module(ModuleDef &def, PyObject *module_object) {
    try {
        if (!nb::register_module(module_object))
            return false;
        nb::module_ module = nb::borrow<nb::module_>(module_object);
        if (def.doc)
            module.attr("__doc__") = nb::str(def.doc);
        ModuleBuilder builder(def, module);
        def.populate(builder);
        return true;
    } catch (...) {
        restore_current_exception();
    }
    std::string frame_name = std::string("init ") + def.full_name;
    add_traceback_frame(frame_name.c_str(), def.source_path, nullptr);
    return false;
}

int exec_module(PyObject *module_object) {
    ModuleDef &def = *the_module;
    if (def.module_object) {
        if (def.module_object == module_object)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation "
                     "is not supported.",
                     def.short_name());
        return -1;
    }
    if (check_binary_version(PY_MAJOR_VERSION, PY_MINOR_VERSION, def.full_name) < 0)
        return -1;
    def.module_object = Py_NewRef(module_object);
    if (populate_module(def, module_object))
        return 0;
    // A failed set-up leaves nothing behind, so a later import starts afresh.
    Py_CLEAR(def.module_object);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "init %s", def.full_name);
    return -1;
}

}  // namespace

const ModuleDef &module_definition() {
    return *the_module;
}

int check_binary_version(int compiled_major, int compiled_minor, const char *module_name) {
    const char *runtime = Py_GetVersion();
    // Runtime "3.13.0 (main, ...)": major and minor are the first two numbers.
    int runtime_major = 0, runtime_minor = 0;
    std::sscanf(runtime, "%d.%d", &runtime_major, &runtime_minor);
    if (runtime_major == compiled_major && runtime_minor == compiled_minor)
        return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  compiled_major, compiled_minor, module_name, "does not match", runtime_major,
                  runtime_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

PyObject *init_module(ModuleDef &def) {
    the_module = &def;
    if (def.slots.empty()) {
        def.slots.push_back({Py_mod_create, reinterpret_cast<void *>(create_module)});
        def.slots.push_back({Py_mod_exec, reinterpret_cast<void *>(exec_module)});
#if PY_VERSION_HEX >= 0x030C0000
        // Legacy sub-interpreters reach create, where the one-interpreter
        // check refuses them with our message.
        def.slots.push_back({Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED});
#endif
#if PY_VERSION_HEX >= 0x030D0000
        def.slots.push_back({Py_mod_gil, Py_MOD_GIL_USED});
#endif
        def.slots.push_back({0, nullptr});
        def.python_def = PyModuleDef{
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = def.full_name,
            .m_doc = def.doc,
            .m_size = 0,
            .m_slots = def.slots.data(),
        };
    }
    return PyModuleDef_Init(&def.python_def);
}

}  // namespace module_frame
