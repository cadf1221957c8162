// The per-call error boundary: C++ exceptions become the pending Python error,
// and a traceback entry names the native function and its module's source.
#include "internal.hpp"

#include <frameobject.h>

#include <new>

namespace module_frame {

void raise(PyObject *type, const std::string &message) {
    throw Error(type, message);
}

std::string shown_type_name(nb::handle value) {
    return std::string(Py_TYPE(value.ptr())->tp_name).substr(0, 200);
}

void expect_type(nb::handle value, PyTypeObject *type, bool or_none) {
    if (Py_IS_TYPE(value.ptr(), type) || (or_none && value.is_none()))
        return;
    throw Error(PyExc_TypeError,
                std::string("Expected ") + type->tp_name + ", got " + shown_type_name(value));
}

namespace {

PyObject *builtin_exception_type(const nb::builtin_exception &e) {
    switch (e.type()) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
    }
}

}  // namespace

void restore_current_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const Error &e) {
        PyErr_SetString(e.type(), e.what());
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(builtin_exception_type(e), e.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

nb::python_error current_python_error() {
    restore_current_exception();
    return nb::python_error();
}

nb::object traceback_or_none(const nb::python_error &error) {
    nb::object traceback = error.traceback();
    return traceback.is_valid() ? traceback : nb::none();
}

void add_traceback_frame(const char *name, const char *file, PyObject *globals) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
#endif
    PyObject *frame = nullptr;
    PyCodeObject *code = PyCode_NewEmpty(file, name, 1);
    // PyFrame_New needs __builtins__ in the globals it is given (3.11).
    PyObject *frame_globals = PyDict_New();
    if (code && frame_globals &&
        PyDict_SetItemString(frame_globals, "__builtins__", PyEval_GetBuiltins()) == 0) {
        if (globals) {
            PyObject *module_name = PyDict_GetItemString(globals, "__name__");
            if (module_name)
                PyDict_SetItemString(frame_globals, "__name__", module_name);
        }
        frame = reinterpret_cast<PyObject *>(PyFrame_New(PyThreadState_Get(), code, frame_globals, nullptr));
    }
    // Whatever failed while building the frame must not mask the real error.
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, traceback);
#endif
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame));
    Py_XDECREF(frame);
    Py_XDECREF(frame_globals);
    Py_XDECREF(code);
}

}  // namespace module_frame
