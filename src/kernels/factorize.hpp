// Factorisation of a column held in Arrow's memory layout: an integer code
// per row for its value, codes numbered in the order values first occur, as
// pandas.factorize numbers them. Values are told apart by their bytes, which
// for text and for whole-day dates is telling them apart by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::kernels {

// One chunk of a column: `length` values from element `offset` on. A value
// is missing where the validity bitmap (least significant bit first) has a
// zero bit; no bitmap means none is missing. Text values lie in `data`
// between consecutive offsets (`offset_width` bytes each: 4 or 8, as Arrow's
// string and large_string types hold them, read without assuming alignment);
// other values (`offsets` null) are `width` bytes each, 4 or 8. Every chunk
// of a column has the same layout.
struct ValueChunk {
    const std::uint8_t *validity;
    std::size_t offset;
    std::size_t length;
    const std::uint8_t *offsets;
    std::size_t offset_width;
    const std::uint8_t *data;
    std::size_t data_size;  // bytes in `data`, for text values
    std::size_t width;      // bytes per value, for values of fixed width
};

// Writes the code of every row of the chunks (in order) to `codes`, -1 for a
// missing value, and the row where each code first occurs to `first_rows`.
// The caller sees to it that every bitmap, offset and fixed-width value lies
// within its buffer; false, with `codes` unspecified, when a text value's
// offsets point outside `data` or run backwards.
bool factorize_values(const ValueChunk *chunks, std::size_t n_chunks, std::int64_t *codes,
                      std::vector<std::int64_t> &first_rows);

}  // namespace tolvane::kernels
