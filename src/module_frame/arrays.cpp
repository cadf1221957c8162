// The out-of-line parts of the kernel array checks: copies and messages.
#include <module_frame/arrays.hpp>

#include <cstring>

namespace module_frame::detail {

using namespace nb::literals;

namespace {

nb::object numpy() {
    return nb::module_::import_("numpy");
}

std::string dimensions_text(std::size_t ndim) {
    if (ndim == 1)
        return "一维";
    if (ndim == 2)
        return "二维";
    return std::to_string(ndim) + " 维";
}

std::string shape_text(const std::size_t *shape, std::size_t ndim) {
    std::string text = "(";
    for (std::size_t axis = 0; axis < ndim; ++axis)
        text += (axis ? ", " : "") + std::to_string(shape[axis]);
    return text + (ndim == 1 ? ",)" : ")");
}

// What was given instead: a numpy array by its dimensions and dtype, anything
// else by its type.
std::string described(nb::handle array) {
    if (!nb::isinstance(array, numpy().attr("ndarray")))
        return shown_type_name(array);
    nb::object shape = array.attr("shape"), dtype = array.attr("dtype");
    return dimensions_text(nb::len(shape)) + " " + nb::str(nb::handle(dtype)).c_str() + " 数组";
}

}  // namespace

nb::object fresh_copy(nb::handle array, const char *dtype) {
    nb::object wanted = dtype ? nb::object(nb::str(dtype)) : nb::none();
    return numpy().attr("array")(array, "dtype"_a = wanted, "copy"_a = true);
}

void raise_wrong_array(const std::string &label, const char *dtype, std::size_t ndim, nb::handle array) {
    raise(PyExc_TypeError,
          label + " 必须是" + dimensions_text(ndim) + " " + dtype + " 数组, 得到 " + described(array));
}

void check_extents(const std::string &label, const std::size_t *shape, const std::size_t *extents,
                   std::size_t ndim) {
    std::vector<std::size_t> wanted(extents, extents + ndim);
    bool matches = true;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        if (wanted[axis] == any_extent)
            wanted[axis] = shape[axis];
        matches = matches && wanted[axis] == shape[axis];
    }
    if (!matches) {
        raise(PyExc_ValueError,
              label + " 的形状为 " + shape_text(shape, ndim) + ", 应为 " + shape_text(wanted.data(), ndim));
    }
}

}  // namespace module_frame::detail

namespace module_frame {

ObjectArrayView::ObjectArrayView(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &buffer_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return;
    }
    held_ = true;
    const bool object_pointers = buffer_.ndim == 1 && buffer_.format != nullptr &&
                                 std::strcmp(buffer_.format, "O") == 0 &&
                                 buffer_.itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *));
    size_ = object_pointers ? static_cast<std::size_t>(buffer_.shape[0]) : 0;
}

ObjectArrayView::~ObjectArrayView() {
    if (held_)
        PyBuffer_Release(&buffer_);
}

PyObject *ObjectArrayView::operator[](std::size_t index) const {
    PyObject *object;
    std::memcpy(&object,
                static_cast<const char *>(buffer_.buf) + static_cast<Py_ssize_t>(index) * buffer_.strides[0],
                sizeof object);
    return object;
}

}  // namespace module_frame
