// Checked arrays of the strategy kernel module as the kernels' matrix views.
#pragma once

#include <module_frame/arrays.hpp>

#include "strategy_engine.hpp"

namespace strategy_kernel {

// The view of a checked two-dimensional array, with its element strides.
template <typename T>
tolvane::kernels::MatrixView<T> matrix_view(const module_frame::KernelArray<T, 2> &array) {
    return {array.data(), static_cast<std::ptrdiff_t>(array.stride(0)),
            static_cast<std::ptrdiff_t>(array.stride(1))};
}

}  // namespace strategy_kernel
