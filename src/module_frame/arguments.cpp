// Argument binding from a declarative parameter list.
//
// Checks run in a fixed order (too many positionals, bad keywords, missing
// arguments, then conversions in parameter order) and report with the texts
// that users of these modules see.
#include "internal.hpp"

namespace module_frame {

namespace {

void raise_count_error(const char *name, const BoundSignature &signature, size_t given) {
    size_t minimum = signature.n_required_positional;
    size_t maximum = signature.n_positional;
    size_t expected;
    const char *more_or_less;
    if (given < minimum) {
        expected = minimum;
        more_or_less = "at least";
    } else {
        expected = maximum;
        more_or_less = "at most";
    }
    if (minimum == maximum)
        more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 more_or_less, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s",
                 static_cast<Py_ssize_t>(given));
}

void raise_incorrect_type(const Param &param, const char *expected, PyObject *value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.name, expected, Py_TYPE(value)->tp_name);
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t find_parameter(const BoundSignature &signature, PyObject *keyword) {
    const size_t count = signature.names.size();
    for (size_t i = 0; i < count; ++i)
        if (signature.names[i].ptr() == keyword)
            return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < count; ++i) {
        int equal = PyUnicode_Compare(signature.names[i].ptr(), keyword);
        if (equal == 0)
            return static_cast<Py_ssize_t>(i);
    }
    PyErr_Clear();
    return -1;
}

bool check_exact(const Param &param, PyObject *value, PyTypeObject *type, const char *expected) {
    if (Py_IS_TYPE(value, type))
        return true;
    raise_incorrect_type(param, expected, value);
    return false;
}

// Converts `value` (an owned reference, replaced in place) for `param`.
bool convert_argument(const Param &param, PyObject *&value) {
    if (param.or_none && value == Py_None)
        return true;
    PyObject *converted = nullptr;
    switch (param.convert) {
    case Convert::Object: return true;
    case Convert::Dict: return check_exact(param, value, &PyDict_Type, "dict");
    case Convert::List: return check_exact(param, value, &PyList_Type, "list");
    case Convert::Str: return check_exact(param, value, &PyUnicode_Type, "str");
    case Convert::Bytes: return check_exact(param, value, &PyBytes_Type, "bytes");
    case Convert::Int:
        if (PyLong_CheckExact(value))
            return true;
        if (!PyNumber_Check(value)) {
            raise_incorrect_type(param, "int", value);
            return false;
        }
        converted = PyNumber_Long(value);
        break;
    case Convert::Float: {
        double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred())
            return false;
        converted = PyFloat_FromDouble(number);
        break;
    }
    case Convert::Bool: {
        int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        converted = Py_NewRef(truth ? Py_True : Py_False);
        break;
    }
    }
    if (!converted)
        return false;
    Py_SETREF(value, converted);
    return true;
}

}  // namespace

bool bind_arguments(const BoundSignature &signature, const char *name, PyObject *const *args, size_t nargs,
                    PyObject *kwnames, PyObject **values) {
    const size_t count = signature.names.size();
    if (nargs > signature.n_positional) {
        raise_count_error(name, signature, nargs);
        return false;
    }
    for (size_t i = 0; i < nargs; ++i)
        values[i] = Py_NewRef(args[i]);

    const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        Py_ssize_t index = find_parameter(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
            return false;
        }
        if (values[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name,
                         keyword);
            return false;
        }
        values[index] = Py_NewRef(args[nargs + k]);
    }

    for (size_t i = 0; i < count; ++i) {
        if (values[i])
            continue;
        if (signature.defaults[i].is_valid()) {
            values[i] = Py_NewRef(signature.defaults[i].ptr());
            continue;
        }
        if (i < signature.n_positional)
            raise_count_error(name, signature, i);
        else
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", name,
                         signature.names[i].ptr());
        return false;
    }

    // Defaults are valid as declared (a None default is accepted like a
    // passed None); everything else is converted in parameter order.
    for (size_t i = 0; i < count; ++i)
        if (values[i] != signature.defaults[i].ptr() &&
            !convert_argument(signature.def->params[i], values[i]))
            return false;
    return true;
}

}  // namespace module_frame
