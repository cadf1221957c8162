// Image rows laid out for the compressed data of a PNG file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane::kernels {

// Writes rows [first_row, first_row + rows) of the image `pixels` (each row
// `row_bytes` long, top row first) to `out`, which holds rows * (row_bytes + 1)
// bytes, with PNG filter type 2 ("Up"): each row becomes its type byte
// followed by its bytes minus those of the row above, modulo 256 (the top row
// of the image minus zeros, so unchanged). Chart pages repeat most rows almost
// unchanged, so the result compresses well even at zlib's fastest level.
// Filtering a few rows at a time keeps them in cache for the compressor.
void png_up_filtered_rows(const std::uint8_t *pixels, std::size_t first_row, std::size_t rows,
                          std::size_t row_bytes, std::uint8_t *out);

}  // namespace tolvane::kernels
