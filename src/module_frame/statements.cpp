// Small Python statements that module code needs in C++, written once.
#include "internal.hpp"

namespace module_frame {

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth == 1;
}

bool contains(nb::handle container, nb::handle key) {
    int found = PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

double to_double(nb::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

void raise_from(nb::handle exception_type, const std::string &message, const nb::python_error &cause,
                const std::string &note) {
    nb::object exception = exception_type(nb::str(message.data(), message.size()));
    if (!note.empty())
        exception.attr("add_note")(nb::str(note.data(), note.size()));
    // Both setters take over a reference of their own.
    PyException_SetContext(exception.ptr(), nb::borrow(cause.value()).release().ptr());
    PyException_SetCause(exception.ptr(), nb::borrow(cause.value()).release().ptr());
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release().ptr());
#else
    nb::object type = nb::borrow(exception.type());
    nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
    PyErr_Restore(type.release().ptr(), exception.release().ptr(), traceback.release().ptr());
#endif
    throw nb::python_error();
}

void unpack(nb::handle iterable, nb::object *values, std::size_t count) {
    nb::object iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
    if (!iterator.is_valid())
        throw nb::python_error();
    for (std::size_t index = 0; index < count; ++index) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                         static_cast<Py_ssize_t>(index), index == 1 ? "" : "s");
            throw nb::python_error();
        }
        values[index] = nb::steal(item);
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(count));
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

}  // namespace module_frame
