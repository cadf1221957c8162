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

void raise_from(nb::handle exception_type, const std::string &message,
                const nb::python_error &cause) {
    nb::object exception =
        exception_type(nb::str(message.data(), message.size()));
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

}  // namespace module_frame
