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

// Whether every row of the chunks holds a value and all hold the same one
// (false as well where a text value's offsets leave `data` or run
// backwards): a column that tells no rows apart, such as the factor names of
// an answer for one factor.
bool one_value_throughout(const ValueChunk *chunks, std::size_t n_chunks);

// Whether the rows of a column are those a factorisation coded as `codes`
// (`n_rows` of them) with the distinct values `distinct` (one chunk of the
// same layout, `n_distinct` values): each row missing where its code is -1,
// else holding the bytes of the distinct value of its code. False, not a
// guess, whenever a row differs, a code lies outside the distinct values or
// offsets leave their data.
bool rows_match_codes(const ValueChunk *chunks, std::size_t n_chunks, const std::int64_t *codes,
                      std::size_t n_rows, const ValueChunk &distinct, std::size_t n_distinct);

}  // namespace tolvane::kernels
