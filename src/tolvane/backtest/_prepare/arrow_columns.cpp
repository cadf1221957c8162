// Label columns of a factor answer read straight from Arrow memory: the
// buffers of each chunk are checked against the rows they must hold, then
// native kernels factorise a column, check that it holds one value
// throughout, or check that it holds the rows of codes kept from another
// column, without converting the rows to Python.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <module_frame/arrays.hpp>

#include "factorize.hpp"
#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

namespace {

// A read-only view of one Arrow buffer (any object exporting a buffer),
// held while the kernel reads it.
class HeldBuffer {
  public:
    explicit HeldBuffer(nb::handle buffer) {
        if (PyObject_GetBuffer(buffer.ptr(), &view_, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;

    const std::uint8_t *data() const { return static_cast<const std::uint8_t *>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

// How the values of a column's type lie in its buffers.
struct Layout {
    std::size_t offset_width;  // 4 or 8 for text, 0 for values of fixed width
    std::size_t width;         // bytes per value of fixed width
};

// The layout of `type` (a pyarrow DataType) when the kernel reads its
// values: text and whole-day dates.
bool layout_of(nb::handle type, Layout &layout) {
    nb::module_ pa = nb::module_::import_("pyarrow");
    if (mf::truthy(type.attr("equals")(pa.attr("string")())))
        layout = {sizeof(std::int32_t), 0};
    else if (mf::truthy(type.attr("equals")(pa.attr("large_string")())))
        layout = {sizeof(std::int64_t), 0};
    else if (mf::truthy(type.attr("equals")(pa.attr("date32")())))
        layout = {0, sizeof(std::int32_t)};
    else
        return false;
    return true;
}

[[noreturn]] void raise_bad_buffers() {
    mf::raise(PyExc_ValueError, "因子数据转换失败: Arrow 数据的缓冲区与行数不符");
}

// The buffer of `buffers` at `index`, held in `held`; null for a missing one.
const HeldBuffer *hold(nb::handle buffers, std::size_t index,
                       std::vector<std::unique_ptr<HeldBuffer>> &held) {
    nb::object buffer = buffers[nb::int_(index)];
    if (buffer.is_none())
        return nullptr;
    held.push_back(std::make_unique<HeldBuffer>(buffer));
    return held.back().get();
}

// One chunk (a pyarrow Array of the layout) as the kernel reads it, after
// checking that its buffers hold every value its offset and length name.
kernels::ValueChunk chunk_view(nb::handle chunk, const Layout &layout,
                               std::vector<std::unique_ptr<HeldBuffer>> &held) {
    const std::size_t offset = nb::cast<std::size_t>(chunk.attr("offset"));
    const std::size_t length = nb::len(chunk);
    const std::size_t end = offset + length;
    nb::object buffers = chunk.attr("buffers")();
    if (nb::len(buffers) != (layout.offset_width ? 3 : 2))
        raise_bad_buffers();
    // A chunk without missing values is read without its bitmap.
    const HeldBuffer *validity =
        nb::cast<std::size_t>(chunk.attr("null_count")) == 0 ? nullptr : hold(buffers, 0, held);
    if (validity && validity->size() < (end + 7) / 8)
        raise_bad_buffers();
    kernels::ValueChunk view{
        validity ? validity->data() : nullptr, offset, length, nullptr, 0, nullptr, 0, 0};
    if (layout.offset_width) {
        const HeldBuffer *offsets = hold(buffers, 1, held);
        const HeldBuffer *data = hold(buffers, 2, held);
        if (!offsets || offsets->size() / layout.offset_width < end + 1)
            raise_bad_buffers();
        view.offsets = offsets->data();
        view.offset_width = layout.offset_width;
        view.data = data ? data->data() : nullptr;
        view.data_size = data ? data->size() : 0;
    } else {
        const HeldBuffer *data = hold(buffers, 1, held);
        if (!data || data->size() / layout.width < end)
            raise_bad_buffers();
        view.data = data->data();
        view.width = layout.width;
    }
    return view;
}

// The chunks of a column as the kernels read them, with the buffers and
// chunk objects they come from held.
struct ColumnView {
    Layout layout;
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::vector<nb::object> arrays;
    std::vector<kernels::ValueChunk> chunks;
    std::size_t n_rows = 0;

    explicit ColumnView(nb::handle column) {
        if (!layout_of(column.attr("type"), layout))
            mf::raise(PyExc_TypeError, "因子数据转换失败: 这一列的 Arrow 类型不能直接编码");
        for (nb::handle chunk : column.attr("chunks")) {
            if (nb::len(chunk) == 0)
                continue;
            arrays.push_back(nb::borrow(chunk));
            chunks.push_back(chunk_view(chunk, layout, held));
            n_rows += chunks.back().length;
        }
        if (n_rows != nb::len(column))
            raise_bad_buffers();
    }
};

}  // namespace

bool arrow_codes_readable(nb::handle column) {
    Layout layout;
    return layout_of(column.attr("type"), layout);
}

void factorize_arrow_column(nb::handle column, nb::object &codes, nb::object &distinct) {
    const ColumnView view(column);
    std::int64_t *code_data;
    codes = mf::new_numpy_vector(view.n_rows, code_data);
    std::vector<std::int64_t> first_rows;
    bool offsets_valid;
    {
        nb::gil_scoped_release unlocked;
        offsets_valid =
            kernels::factorize_values(view.chunks.data(), view.chunks.size(), code_data, first_rows);
    }
    if (!offsets_valid)
        raise_bad_buffers();

    // Each distinct value taken from the chunk it first occurs in (first rows
    // ascend, so the pieces come in code order); taking from the whole column
    // would first join its chunks.
    nb::list pieces;
    std::size_t next = 0, chunk_start = 0;
    for (std::size_t k = 0; k < view.chunks.size(); ++k) {
        const std::size_t chunk_end = chunk_start + view.chunks[k].length;
        std::size_t last = next;
        while (last < first_rows.size() && static_cast<std::size_t>(first_rows[last]) < chunk_end)
            ++last;
        if (last > next) {
            std::int64_t *position_data;
            nb::object positions = mf::new_numpy_vector(last - next, position_data);
            for (std::size_t code = next; code < last; ++code)
                position_data[code - next] = first_rows[code] - static_cast<std::int64_t>(chunk_start);
            pieces.append(view.arrays[k].attr("take")(positions));
        }
        next = last;
        chunk_start = chunk_end;
    }
    distinct = nb::module_::import_("pyarrow")
                   .attr("chunked_array")(pieces, "type"_a = column.attr("type"))
                   .attr("combine_chunks")();
}

bool arrow_one_value_throughout(nb::handle column) {
    const ColumnView view(column);
    nb::gil_scoped_release unlocked;
    return kernels::one_value_throughout(view.chunks.data(), view.chunks.size());
}

bool arrow_rows_match_codes(nb::handle column, nb::handle codes, nb::handle distinct) {
    if (!mf::truthy(column.attr("type").attr("equals")(distinct.attr("type"))))
        return false;
    const ColumnView view(column);
    // Of the column's type, checked above.
    std::vector<std::unique_ptr<HeldBuffer>> held;
    const kernels::ValueChunk distinct_view = chunk_view(distinct, view.layout, held);
    mf::KernelArrays arrays;
    const auto code_view = arrays.add<std::int64_t, 1>(codes, "codes", {mf::any_extent});
    if (code_view.shape(0) != view.n_rows)
        return false;
    nb::gil_scoped_release unlocked;
    return kernels::rows_match_codes(view.chunks.data(), view.chunks.size(), code_view.data(), view.n_rows,
                                     distinct_view, distinct_view.length);
}

}  // namespace tolvane::prepare
