#include "png_rows.hpp"

#include <algorithm>

namespace tolvane::kernels {

namespace {
constexpr std::uint8_t up_filter = 2;
}

void png_up_filtered_rows(const std::uint8_t *pixels, std::size_t first_row, std::size_t rows,
                          std::size_t row_bytes, std::uint8_t *out) {
    for (std::size_t row = first_row; row < first_row + rows; ++row) {
        const std::uint8_t *now = pixels + row * row_bytes;
        std::uint8_t *filtered = out + (row - first_row) * (row_bytes + 1);
        *filtered++ = up_filter;
        if (row == 0) {
            std::copy(now, now + row_bytes, filtered);
            continue;
        }
        const std::uint8_t *above = now - row_bytes;
        for (std::size_t i = 0; i < row_bytes; ++i)
            filtered[i] = static_cast<std::uint8_t>(now[i] - above[i]);
    }
}

}  // namespace tolvane::kernels
