// Arrays handed to native kernels. A kernel reads raw memory without the GIL,
// so every array is checked against the sizes the kernel will use first, read
// in place only when its elements are properly aligned, and kept alive until
// the kernel is done.
#pragma once

#include <module_frame/frame.hpp>
#include <nanobind/ndarray.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace module_frame {

// A read-only view of an array in host memory whose elements are T.
template <typename T, std::size_t Ndim>
using KernelArray = nb::ndarray<const T, nb::ndim<Ndim>, nb::device::cpu>;

// An extent that a checked array may have at any size.
inline constexpr std::size_t any_extent = static_cast<std::size_t>(-1);

// What happens to an array whose elements are not T: converted to T (a
// copy), or refused with TypeError.
enum class Dtype : std::uint8_t { Exact, Convert };

namespace detail {

template <typename T>
constexpr const char *dtype_name() {
    if constexpr (std::is_same_v<T, double>)
        return "float64";
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return "int64";
    else if constexpr (std::is_same_v<T, bool>)
        return "bool";
    else
        static_assert(sizeof(T) == 0, "no dtype name for this element type");
}

// numpy.array(array, dtype=dtype, copy=True): a fresh, aligned, C-ordered
// array (of its own element type when `dtype` is null).
nb::object fresh_copy(nb::handle array, const char *dtype);

[[noreturn]] void raise_wrong_array(const std::string &label, const char *dtype, std::size_t ndim,
                                    nb::handle array);

void check_extents(const std::string &label, const std::size_t *shape, const std::size_t *extents,
                   std::size_t ndim);

}  // namespace detail

// The arrays one call hands to its kernels.
class KernelArrays {
  public:
    // A view of `array` with elements of type T and the given extents. An
    // array that cannot be read in place (elements of another type, unaligned
    // data, strides that are not whole elements) is copied once; `label`
    // names the array in the errors: TypeError when it is not an Ndim
    // dimensional array of T (after conversion, with Dtype::Convert), and
    // ValueError when its shape differs from `extents`. The view stays valid
    // as long as this object lives.
    template <typename T, std::size_t Ndim>
    KernelArray<T, Ndim> add(nb::handle array, const std::string &label,
                             const std::array<std::size_t, Ndim> &extents, Dtype dtype = Dtype::Exact) {
        KernelArray<T, Ndim> view;
        if (!readable_in_place(array, view)) {
            nb::object copy =
                detail::fresh_copy(array, dtype == Dtype::Convert ? detail::dtype_name<T>() : nullptr);
            if (!readable_in_place(copy, view))
                detail::raise_wrong_array(label, detail::dtype_name<T>(), Ndim, array);
        }
        std::array<std::size_t, Ndim> shape;
        for (std::size_t axis = 0; axis < Ndim; ++axis)
            shape[axis] = view.shape(axis);
        detail::check_extents(label, shape.data(), extents.data(), Ndim);
        held_.emplace_back(view);
        return view;
    }

  private:
    template <typename View>
    static bool readable_in_place(nb::handle array, View &view) {
        return nb::try_cast(array, view, false) &&
               reinterpret_cast<std::uintptr_t>(view.data()) % alignof(typename View::Scalar) == 0;
    }

    std::vector<nb::ndarray<>> held_;
};

// The elements of a one-dimensional array of Python objects (a numpy array
// of dtype object), read in place: borrowed pointers, valid while this view
// lives (it keeps the array's buffer). Empty when `array` exports no such
// buffer.
class ObjectArrayView {
  public:
    explicit ObjectArrayView(nb::handle array);
    ~ObjectArrayView();
    ObjectArrayView(const ObjectArrayView &) = delete;
    ObjectArrayView &operator=(const ObjectArrayView &) = delete;

    std::size_t size() const { return size_; }
    PyObject *operator[](std::size_t index) const;

  private:
    Py_buffer buffer_{};
    bool held_ = false;
    std::size_t size_ = 0;
};

// A new C-ordered numpy array of the given shape with elements of T for a
// kernel to fill; `data` receives its memory, which the array owns.
template <typename T, std::size_t Ndim>
nb::object new_numpy_array(const std::array<std::size_t, Ndim> &shape, T *&data) {
    std::size_t length = 1;
    for (std::size_t extent : shape)
        length *= extent;
    auto memory = std::make_unique_for_overwrite<T[]>(length);
    nb::capsule owner(memory.get(), [](void *p) noexcept { delete[] static_cast<T *>(p); });
    data = memory.release();
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<Ndim>>(data, Ndim, shape.data(), owner));
}

template <typename T>
nb::object new_numpy_vector(std::size_t length, T *&data) {
    return new_numpy_array<T, 1>({length}, data);
}

}  // namespace module_frame
