// Frame internals shared by its translation units; not for module code.
#pragma once

#include <module_frame/frame.hpp>

namespace module_frame {

// Turns the C++ exception being handled into the pending Python error.
// Call only from inside a catch block.
void restore_current_exception();

// Adds a traceback entry "name" in "file" to the pending exception.
// `globals` may be null.
void add_traceback_frame(const char *name, const char *file, PyObject *globals);

// The definition of the module this copy of the frame belongs to.
const ModuleDef &module_definition();

// Creates a native function object for `def` in `module`.
nb::object new_function(const FunctionDef &def, const ModuleDef &module_def, nb::handle module);

// Binds the arguments of one call into `values` (one slot per parameter,
// owned references), applying defaults and conversions. Returns false with an
// exception set on failure.
struct BoundSignature {
    const FunctionDef *def = nullptr;
    std::vector<nb::object> names;     // interned parameter names
    std::vector<nb::object> defaults;  // per parameter; invalid when required
    size_t n_positional = 0;           // positional-or-keyword parameters
    size_t n_required_positional = 0;
};
bool bind_arguments(const BoundSignature &signature, const char *name, PyObject *const *args, size_t nargs,
                    PyObject *kwnames, PyObject **values);

}  // namespace module_frame
