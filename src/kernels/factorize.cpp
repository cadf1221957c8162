#include "factorize.hpp"

#include <cstring>

namespace tolvane::kernels {

namespace {

template <typename Word>
inline Word load(const std::uint8_t *at) {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

inline bool is_valid(const ValueChunk &chunk, std::size_t element) {
    return !chunk.validity || ((chunk.validity[element >> 3] >> (element & 7)) & 1);
}

template <typename Offset>
inline Offset offset_at(const ValueChunk &chunk, std::size_t element) {
    return load<Offset>(chunk.offsets + element * sizeof(Offset));
}

inline std::uint64_t mixed(std::uint64_t hash) {
    hash = (hash ^ (hash >> 31)) * 0xbf58476d1ce4e5b9ULL;
    return hash ^ (hash >> 29);
}

// A text value: its bytes in the column's data.
struct Text {
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;

    // Inline for the short values of label columns (codes, names), where
    // calling memcmp costs more than the comparison.
    bool operator==(const Text &other) const {
        if (size != other.size)
            return false;
        const std::uint8_t *a = data, *b = other.data;
        if (size >= 8) {
            for (std::size_t at = 0; at + 8 < size; at += 8)
                if (load<std::uint64_t>(a + at) != load<std::uint64_t>(b + at))
                    return false;
            return load<std::uint64_t>(a + size - 8) == load<std::uint64_t>(b + size - 8);
        }
        if (size >= 4)
            return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
                   load<std::uint32_t>(a + size - 4) == load<std::uint32_t>(b + size - 4);
        for (std::size_t at = 0; at < size; ++at)
            if (a[at] != b[at])
                return false;
        return true;
    }
};

std::uint64_t hash_of(const Text &value) {
    std::uint64_t hash = 0x9e3779b97f4a7c15ULL ^ value.size;
    const std::uint8_t *at = value.data;
    std::size_t left = value.size;
    for (; left >= 8; at += 8, left -= 8)
        hash = mixed(hash ^ load<std::uint64_t>(at));
    if (left) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, left);
        hash = mixed(hash ^ word);
    }
    return mixed(hash);
}

// A value of fixed width (at most eight bytes), as the integer of its bytes.
std::uint64_t hash_of(std::uint64_t value) {
    return mixed(value ^ 0x9e3779b97f4a7c15ULL);
}

// The distinct values seen so far, by code, and an open-addressing table
// from value to code.
template <typename Value>
class Codebook {
  public:
    explicit Codebook(std::vector<std::int64_t> &first_rows) : first_rows_(first_rows) { resize(64); }

    // The code of `value`, which differs from the value of the previous row
    // (code `previous`, -1 for none), met first at `row` when it is new. The
    // rows of a column mostly follow the order of an earlier stretch (the
    // stocks of each day), so the code that followed `previous` last time is
    // tried before the table.
    std::int64_t code_after(std::int64_t previous, const Value &value, std::int64_t row) {
        if (previous >= 0) {
            const std::int64_t guess = successors_[previous];
            if (guess >= 0 && values_[guess] == value)
                return guess;
        }
        return looked_up(previous, value, row);
    }

  private:
    [[gnu::noinline]] std::int64_t looked_up(std::int64_t previous, const Value &value, std::int64_t row) {
        const std::int64_t code = lookup(value, row);
        if (previous >= 0)
            successors_[previous] = code;
        return code;
    }

    std::int64_t lookup(const Value &value, std::int64_t row) {
        std::size_t slot = hash_of(value) & mask_;
        for (; slots_[slot] >= 0; slot = (slot + 1) & mask_) {
            if (values_[slots_[slot]] == value)
                return slots_[slot];
        }
        const auto code = static_cast<std::int64_t>(values_.size());
        slots_[slot] = code;
        values_.push_back(value);
        successors_.push_back(-1);
        first_rows_.push_back(row);
        if (2 * values_.size() > slots_.size())
            resize(2 * slots_.size());
        return code;
    }

    void resize(std::size_t n_slots) {
        slots_.assign(n_slots, -1);
        mask_ = n_slots - 1;
        for (std::size_t code = 0; code < values_.size(); ++code) {
            std::size_t slot = hash_of(values_[code]) & mask_;
            while (slots_[slot] >= 0)
                slot = (slot + 1) & mask_;
            slots_[slot] = static_cast<std::int64_t>(code);
        }
    }

    std::vector<std::int64_t> &first_rows_;
    std::vector<Value> values_;
    std::vector<std::int64_t> successors_;  // per code: the code of the row after its latest row
    std::vector<std::int64_t> slots_;
    std::size_t mask_ = 0;
};

// Readers of one element of a chunk; false when a text value's offsets
// point outside the data or run backwards.
template <typename Offset>
struct TextReader {
    using Value = Text;
    bool operator()(const ValueChunk &chunk, std::size_t element, Text &value) const {
        const Offset start = offset_at<Offset>(chunk, element);
        const Offset end = offset_at<Offset>(chunk, element + 1);
        if (start < 0 || end < start || static_cast<std::uint64_t>(end) > chunk.data_size)
            return false;
        value = {chunk.data + start, static_cast<std::size_t>(end - start)};
        return true;
    }
};

template <typename Word>
struct FixedReader {
    using Value = std::uint64_t;
    bool operator()(const ValueChunk &chunk, std::size_t element, std::uint64_t &value) const {
        value = load<Word>(chunk.data + element * sizeof(Word));
        return true;
    }
};

// Consecutive rows mostly repeat a value (dates, factor names): the previous
// row's value is compared first, the codebook asked only on a change.
template <typename Reader>
bool factorize_with(const Reader &read, const ValueChunk *chunks, std::size_t n_chunks, std::int64_t *codes,
                    std::vector<std::int64_t> &first_rows) {
    using Value = typename Reader::Value;
    Codebook<Value> book(first_rows);
    std::int64_t row = 0, last_code = -1;
    Value last_value{};
    for (std::size_t k = 0; k < n_chunks; ++k) {
        const ValueChunk &chunk = chunks[k];
        const std::size_t end = chunk.offset + chunk.length;
        for (std::size_t element = chunk.offset; element < end; ++element, ++row) {
            if (!is_valid(chunk, element)) {
                codes[row] = -1;
                continue;
            }
            Value value;
            if (!read(chunk, element, value))
                return false;
            if (last_code < 0 || !(value == last_value)) {
                last_code = book.code_after(last_code, value, row);
                last_value = value;
            }
            codes[row] = last_code;
        }
    }
    return true;
}

template <typename Offset>
bool one_text_throughout(const ValueChunk *chunks, std::size_t n_chunks) {
    Text first;
    if (!TextReader<Offset>{}(chunks[0], chunks[0].offset, first))
        return false;
    const auto size = static_cast<std::int64_t>(first.size);
    for (std::size_t k = 0; k < n_chunks; ++k) {
        const ValueChunk &chunk = chunks[k];
        const std::int64_t start = offset_at<Offset>(chunk, chunk.offset);
        // Equal sizes, and data that repeats the first value all the way.
        for (std::size_t i = 1; i <= chunk.length; ++i)
            if (offset_at<Offset>(chunk, chunk.offset + i) != start + static_cast<std::int64_t>(i) * size)
                return false;
        const std::size_t spanned = chunk.length * first.size;
        if (start < 0 || static_cast<std::uint64_t>(start) + spanned > chunk.data_size)
            return false;
        const std::uint8_t *data = chunk.data + start;
        if (k > 0 && !(Text{data, first.size} == first))
            return false;
        if (spanned > first.size && std::memcmp(data + first.size, data, spanned - first.size) != 0)
            return false;
    }
    return true;
}

// The rows of `chunks` against the codes and distinct values, with values
// read by Reader.
template <typename Reader>
bool rows_match_with(const Reader &read, const ValueChunk *chunks, std::size_t n_chunks,
                     const std::int64_t *codes, const ValueChunk &distinct, std::size_t n_distinct) {
    using Value = typename Reader::Value;
    std::size_t row = 0;
    for (std::size_t k = 0; k < n_chunks; ++k) {
        const ValueChunk &chunk = chunks[k];
        const std::size_t end = chunk.offset + chunk.length;
        for (std::size_t element = chunk.offset; element < end; ++element, ++row) {
            const std::int64_t code = codes[row];
            if (!is_valid(chunk, element)) {
                if (code != -1)
                    return false;
                continue;
            }
            if (code < 0 || static_cast<std::uint64_t>(code) >= n_distinct)
                return false;
            Value value, known;
            if (!read(chunk, element, value) ||
                !read(distinct, distinct.offset + static_cast<std::size_t>(code), known) || !(value == known))
                return false;
        }
    }
    return true;
}

// Calls `use` with the reader of a column laid out as `layout`.
template <typename Use>
bool with_reader(const ValueChunk &layout, const Use &use) {
    if (layout.offsets)
        return layout.offset_width == sizeof(std::int64_t) ? use(TextReader<std::int64_t>{})
                                                           : use(TextReader<std::int32_t>{});
    return layout.width == sizeof(std::uint64_t) ? use(FixedReader<std::uint64_t>{})
                                                 : use(FixedReader<std::uint32_t>{});
}

}  // namespace

bool one_value_throughout(const ValueChunk *chunks, std::size_t n_chunks) {
    if (n_chunks == 0)
        return false;
    for (std::size_t k = 0; k < n_chunks; ++k)
        if (chunks[k].validity)
            return false;
    if (chunks[0].offsets)
        return chunks[0].offset_width == sizeof(std::int64_t)
                   ? one_text_throughout<std::int64_t>(chunks, n_chunks)
                   : one_text_throughout<std::int32_t>(chunks, n_chunks);
    const std::size_t width = chunks[0].width;
    const std::uint8_t *first = chunks[0].data + chunks[0].offset * width;
    for (std::size_t k = 0; k < n_chunks; ++k) {
        const std::uint8_t *data = chunks[k].data + chunks[k].offset * width;
        for (std::size_t i = 0; i < chunks[k].length; ++i)
            if (std::memcmp(data + i * width, first, width) != 0)
                return false;
    }
    return true;
}

bool rows_match_codes(const ValueChunk *chunks, std::size_t n_chunks, const std::int64_t *codes,
                      std::size_t n_rows, const ValueChunk &distinct, std::size_t n_distinct) {
    std::size_t rows = 0;
    for (std::size_t k = 0; k < n_chunks; ++k) {
        const ValueChunk &chunk = chunks[k];
        if (chunk.width != distinct.width || chunk.offset_width != distinct.offset_width ||
            !chunk.offsets != !distinct.offsets)
            return false;
        rows += chunk.length;
    }
    if (rows != n_rows || distinct.length < n_distinct)
        return false;
    return with_reader(distinct, [&](const auto &read) {
        return rows_match_with(read, chunks, n_chunks, codes, distinct, n_distinct);
    });
}

bool factorize_values(const ValueChunk *chunks, std::size_t n_chunks, std::int64_t *codes,
                      std::vector<std::int64_t> &first_rows) {
    first_rows.clear();
    if (n_chunks == 0)
        return true;
    // Every chunk of a column has the layout of the first.
    return with_reader(chunks[0], [&](const auto &read) {
        return factorize_with(read, chunks, n_chunks, codes, first_rows);
    });
}

}  // namespace tolvane::kernels
