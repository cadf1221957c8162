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

}  // namespace module_frame
