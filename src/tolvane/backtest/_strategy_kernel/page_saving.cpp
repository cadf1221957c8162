// Saving a report page: savefig's work that changes no pixel is done once,
// and a PNG file is written from the pixels it renders.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>

#include <nanobind/ndarray.h>

#include "chart_style.hpp"
#include "png_rows.hpp"

namespace tolvane::strategy_kernel::charts {

namespace {

// ---------------------------------------------------------------------------
// Saving
//
// savefig spends much of a report's time on work that changes no pixel:
// - for a page cropped to its tight bounding box it runs the layout in a
//   first draw that renders nothing and then draws the whole page again;
// - its PNG writer (Pillow) picks a filter for every row by trying them and
//   compresses at zlib's level 6: about 0.4 s for a landscape page, against
//   0.1 s for one filter at the fastest level.
// So the landscape pages are laid out once before saving, and PNG files are
// written here from the pixels savefig renders (the same pixels; files about
// a fifth larger).

constexpr int png_compression_level = 1;

// matplotlib places an axis label below (or beside) the tick labels of every
// axes sharing that axis, measuring all of them at each layout pass and draw,
// even when the label is empty. The report panels label only some y axes;
// the empty labels get fixed coordinates, which spares that measuring.
void pin_empty_axis_labels(nb::handle figure) {
    for (nb::handle ax : figure.attr("axes")) {
        for (const char *name : {"xaxis", "yaxis"}) {
            nb::object axis = ax.attr(name);
            if (!mf::truthy(axis.attr("get_label_text")()))
                axis.attr("set_label_coords")(0.5, 0.5);
        }
    }
}

// Whether savefig would write `save_path` as a PNG file: a path (not a file
// object) whose extension is .png in any case.
bool names_png_file(nb::handle save_path) {
    nb::object path = nb::steal(PyOS_FSPath(save_path.ptr()));
    if (!path.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (!nb::isinstance<nb::str>(path))
        return false;
    nb::object extension = nb::module_::import_("os.path").attr("splitext")(path)[nb::int_(1)];
    return nb::cast<std::string>(extension.attr("lower")()) == ".png";
}

// Whether savefig, given the page's dpi, face colour and crop box, adds no
// cropping or layout of its own: the run-time configuration may crop every
// saved figure (savefig.bbox), turn a layout engine back on once the page's
// is switched off (figure.autolayout, figure.constrained_layout.use) or pad a
// crop by the layout's padding (savefig.pad_inches "layout"). Pages saved
// under such settings are left to savefig entirely.
bool savefig_adds_no_layout(const Matplotlib &mpl) {
    nb::object rc_params = mpl.matplotlib.attr("rcParams");
    return rc_params["savefig.bbox"].is_none() && !mf::truthy(rc_params["figure.autolayout"]) &&
           !mf::truthy(rc_params["figure.constrained_layout.use"]) &&
           !nb::isinstance<nb::str>(rc_params["savefig.pad_inches"]);
}

// savefig(bbox_inches="tight") lays out the page at the saving resolution,
// measures its tight bounding box and pads it by savefig.pad_inches. This
// does the same once and switches the layout engine off, so that savefig
// draws the page a single time in the returned box.
nb::object lay_out_before_saving(const Matplotlib &mpl, nb::handle figure, double dpi) {
    nb::object screen_dpi = figure.attr("get_dpi")();
    figure.attr("set_dpi")(dpi);
    figure.attr("get_layout_engine")().attr("execute")(figure);
    nb::object box = figure.attr("get_tightbbox")(figure.attr("canvas").attr("get_renderer")());
    figure.attr("set_dpi")(screen_dpi);
    figure.attr("set_layout_engine")(nb::none());
    nb::object pad = mpl.matplotlib.attr("rcParams")["savefig.pad_inches"];
    return box.attr("padded")(pad, pad);
}

// The pixels along one side of a page rendered at `dpi`, as matplotlib's
// Agg canvas counts them (a fraction of a pixel dropped).
std::size_t whole_pixels(double inches, double dpi) {
    return static_cast<std::size_t>(inches * dpi);
}

void append_big_endian(std::string &bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// One PNG chunk: length, type, data and the CRC-32 of type and data.
void write_png_chunk(nb::handle file, nb::handle zlib, std::string_view type, nb::bytes data) {
    std::string head;
    append_big_endian(head, static_cast<std::uint32_t>(data.size()));
    head.append(type);
    nb::bytes type_bytes(type.data(), type.size());
    nb::object crc = zlib.attr("crc32")(data, zlib.attr("crc32")(type_bytes));
    std::string tail;
    append_big_endian(tail, nb::cast<std::uint32_t>(crc));
    file.attr("write")(nb::bytes(head.data(), head.size()));
    file.attr("write")(data);
    file.attr("write")(nb::bytes(tail.data(), tail.size()));
}

// The pixels savefig renders for a page: its one write of raw RGBA, a view of
// the renderer's buffer that is kept rather than copied.
struct RenderedPixels {
    nb::list writes;
    nb::object sink;  // the file object savefig writes to
};

RenderedPixels pixel_sink() {
    RenderedPixels rendered;
    // savefig takes any object with write and seek as a file; it only ever
    // writes to this one (the raw format never seeks).
    rendered.sink = nb::module_::import_("types").attr("SimpleNamespace")(
        "write"_a = rendered.writes.attr("append"), "seek"_a = nb::none());
    return rendered;
}

using RgbaPixels = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

// Rows filtered and compressed per step: small enough to stay in cache
// between the filter and the compressor.
constexpr std::size_t rows_per_step_bytes = std::size_t{256} << 10;

// The zlib stream of a PNG file's pixel data: every row Up-filtered, a few
// rows at a time, and compressed at the fastest level.
nb::bytes compressed_rows(const RgbaPixels &pixels, std::size_t height, std::size_t row_bytes) {
    nb::object compressor = nb::module_::import_("zlib").attr("compressobj")(png_compression_level);
    const std::size_t filtered_row_bytes = row_bytes + 1;
    const std::size_t rows_per_step = std::max<std::size_t>(1, rows_per_step_bytes / filtered_row_bytes);
    std::vector<std::uint8_t> filtered(std::min(rows_per_step, height) * filtered_row_bytes);
    nb::list parts;
    for (std::size_t first = 0; first < height; first += rows_per_step) {
        const std::size_t rows = std::min(rows_per_step, height - first);
        {
            nb::gil_scoped_release no_gil;
            kernels::png_up_filtered_rows(pixels.data(), first, rows, row_bytes, filtered.data());
        }
        nb::object step = nb::steal(
            PyMemoryView_FromMemory(reinterpret_cast<char *>(filtered.data()),
                                    static_cast<Py_ssize_t>(rows * filtered_row_bytes), PyBUF_READ));
        if (!step.is_valid())
            throw nb::python_error();
        parts.append(compressor.attr("compress")(step));
    }
    parts.append(compressor.attr("flush")());
    return nb::borrow<nb::bytes>(nb::bytes("", 0).attr("join")(parts));
}

// Writes the page's 8-bit RGBA pixels (rows top first) as a PNG file with the
// metadata matplotlib gives its files: the resolution and the Software text.
void write_png(const Matplotlib &mpl, nb::handle save_path, nb::handle rendered, std::size_t width,
               std::size_t height, double dpi) {
    RgbaPixels pixels;
    if (!nb::try_cast(rendered, pixels) || pixels.shape(0) != height || pixels.shape(1) != width ||
        pixels.shape(2) != 4)
        mf::raise(PyExc_RuntimeError, "savefig 渲染出的像素不是 " + std::to_string(width) + " x " +
                                          std::to_string(height) + " 的 RGBA 页面");
    nb::bytes compressed = compressed_rows(pixels, height, width * 4);

    std::string header;
    append_big_endian(header, static_cast<std::uint32_t>(width));
    append_big_endian(header, static_cast<std::uint32_t>(height));
    header.append({8, 6, 0, 0, 0});  // 8 bits per sample, RGBA, deflate, no interlacing
    // Pixels per metre, as Pillow rounds them, in both directions.
    std::string resolution;
    const auto per_metre = static_cast<std::uint32_t>(dpi / 0.0254 + 0.5);
    append_big_endian(resolution, per_metre);
    append_big_endian(resolution, per_metre);
    resolution.push_back(1);
    std::string software = std::string("Software") + '\0' + "Matplotlib version" +
                           nb::cast<std::string>(mpl.matplotlib.attr("__version__")) +
                           ", https://matplotlib.org/";

    // Everything is ready before the file is opened, so a failure leaves no
    // half-written file behind.
    nb::object zlib = nb::module_::import_("zlib");
    nb::object file = nb::module_::import_("builtins").attr("open")(save_path, "wb");
    mf::with_context(file, [&](nb::handle opened) {
        const char signature[] = "\x89PNG\r\n\x1a\n";
        opened.attr("write")(nb::bytes(signature, 8));
        write_png_chunk(opened, zlib, "IHDR", nb::bytes(header.data(), header.size()));
        write_png_chunk(opened, zlib, "pHYs", nb::bytes(resolution.data(), resolution.size()));
        write_png_chunk(opened, zlib, "tEXt", nb::bytes(software.data(), software.size()));
        write_png_chunk(opened, zlib, "IDAT", compressed);
        write_png_chunk(opened, zlib, "IEND", nb::bytes("", 0));
    });
}

// ---------------------------------------------------------------------------
// Work matplotlib repeats for every layout pass and draw of a page
//
// A cropped page is measured in both passes of the constrained layout, again
// for its crop box, and once more while it is drawn. The helpers below give
// the same numbers as matplotlib's own methods, for the objects of a page
// being saved only (they are set on those objects, not on their classes).

// The measurement of one text, shared by the renderers of one page.
nb::object measured_text(mf::Call &call) {
    nb::handle measurements = call.arg("measurements");
    nb::object key = nb::make_tuple(call.arg("text"), call.arg("font").attr("copy")(), call.arg("ismath"),
                                    call.arg("dpi"));
    PyObject *known = PyDict_GetItemWithError(measurements.ptr(), key.ptr());
    if (known != nullptr)
        return nb::borrow(known);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object measured = call.arg("measure")(call.arg("text"), call.arg("font"), call.arg("ismath"));
    measurements[key] = measured;
    return measured;
}

const mf::FunctionDef measured_text_def{
    .name = "measured_text",
    .impl = measured_text,
    .params = {{.name = "measure"},
               {.name = "measurements"},
               {.name = "dpi"},
               {.name = "text"},
               {.name = "font"},
               {.name = "ismath"}},
};

// The canvas's renderer, measuring text through the page's shared table.
nb::object renderer_sharing_measurements(mf::Call &call) {
    nb::object renderer = call.arg("get_renderer")();
    constexpr const char *measure = "get_text_width_height_descent";
    if (!PyDict_Contains(renderer.attr("__dict__").ptr(), nb::str(measure).ptr())) {
        nb::object shared =
            nb::module_::import_("functools")
                .attr("partial")(call.make_function(measured_text_def), renderer.attr(measure),
                                 call.arg("measurements"), renderer.attr("dpi"));
        nb::setattr(renderer, measure, shared);
    }
    return renderer;
}

const mf::FunctionDef renderer_sharing_measurements_def{
    .name = "renderer_sharing_measurements",
    .impl = renderer_sharing_measurements,
    .params = {{.name = "get_renderer"}, {.name = "measurements"}},
};

// matplotlib keeps the text measurements of each renderer it meets. savefig
// draws a cropped page with a renderer of its own, so every text the layout
// measured would be measured again, glyph by glyph, at the same resolution.
// The renderers of the page's canvas share one table of measurements instead,
// keyed like matplotlib's (text, font, math mode) plus the resolution.
void share_text_measurements(const mf::Call &call, nb::handle figure) {
    nb::object canvas = figure.attr("canvas");
    nb::setattr(canvas, "get_renderer",
                nb::module_::import_("functools")
                    .attr("partial")(call.make_function(renderer_sharing_measurements_def),
                                     canvas.attr("get_renderer"), nb::dict()));
}

// The layout of one text: its box, its lines and their offsets from the
// text's anchor. matplotlib lays a text out again each time the text is
// measured or drawn (about four times per text while a cropped page is
// saved), and each time it looks up the text's font, reads the font's
// tables and rotates the box. The texts of a page being saved share one
// table of layouts instead, keyed by everything a layout is made of: the
// string, the font, the resolution, math and TeX handling, line spacing,
// alignment, rotation and the kind of renderer. Texts with the same key, such
// as equal tick labels, get equal layouts. A text that wraps, or whose
// rotation follows its transform, also depends on where it stands and is
// laid out by matplotlib each time.
nb::object shared_text_layout(mf::Call &call) {
    nb::handle text = call.arg("text");
    nb::handle renderer = call.arg("renderer");
    nb::handle lay_out = call.arg("lay_out");
    if (mf::truthy(text.attr("get_wrap")()) || mf::truthy(text.attr("get_transform_rotates_text")()))
        return lay_out(renderer);
    nb::object key = nb::make_tuple(
        text.attr("get_text")(), text.attr("get_fontproperties")().attr("copy")(),
        text.attr("get_figure")("root"_a = true).attr("dpi"), text.attr("get_usetex")(),
        text.attr("get_parse_math")(), text.attr("get_linespacing")(), text.attr("_get_multialignment")(),
        text.attr("get_horizontalalignment")(), text.attr("get_verticalalignment")(),
        text.attr("get_rotation")(), text.attr("get_rotation_mode")(), nb::handle(Py_TYPE(renderer.ptr())));
    nb::handle layouts = call.arg("layouts");
    PyObject *known = PyDict_GetItemWithError(layouts.ptr(), key.ptr());
    if (known == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object layout = lay_out(renderer);
        layouts[key] = layout;
        known = layout.ptr();
    }
    // A fresh box and line list for each caller, as matplotlib gives them.
    nb::tuple layout = nb::borrow<nb::tuple>(known);
    return nb::make_tuple(layout[0].attr("frozen")(), nb::list(layout[1]), layout[2]);
}

const mf::FunctionDef shared_text_layout_def{
    .name = "shared_text_layout",
    .impl = shared_text_layout,
    .params = {{.name = "layouts"}, {.name = "text"}, {.name = "lay_out"}, {.name = "renderer"}},
};

// Gives `text` the page's table of layouts (once per text).
void share_layout(nb::handle text, nb::handle layouts, nb::handle shared, nb::handle partial) {
    if (PyDict_Contains(text.attr("__dict__").ptr(), nb::str("_get_layout").ptr()))
        return;
    nb::setattr(text, "_get_layout", partial(shared, layouts, text, text.attr("_get_layout")));
}

// axis._get_tick(major): a new tick whose labels share the page's layouts.
nb::object tick_sharing_layouts(mf::Call &call) {
    nb::object tick = call.arg("get_tick")(call.arg("major"));
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object shared = call.make_function(shared_text_layout_def);
    for (const char *label : {"label1", "label2"})
        share_layout(tick.attr(label), call.arg("layouts"), shared, partial);
    return tick;
}

const mf::FunctionDef tick_sharing_layouts_def{
    .name = "tick_sharing_layouts",
    .impl = tick_sharing_layouts,
    .params = {{.name = "get_tick"}, {.name = "layouts"}, {.name = "major"}},
};

// Every text of the page shares one table of layouts: the page's and its
// panels' titles and texts, axis labels and offsets, the labels of the ticks
// the axes have and of those they make while the page is laid out, legend
// entries and table cells. (Artist.findobj would find most of them, but
// asking an axis for its children computes and makes its ticks anew.)
void share_text_layouts(const mf::Call &call, nb::handle figure) {
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object shared = call.make_function(shared_text_layout_def);
    nb::dict layouts;
    auto share = [&](nb::handle text) { share_layout(text, layouts, shared, partial); };
    for (nb::handle text : figure.attr("texts"))
        share(text);
    nb::object new_tick = call.make_function(tick_sharing_layouts_def);
    for (nb::handle ax : figure.attr("axes")) {
        share(ax.attr("title"));
        for (nb::handle text : ax.attr("texts"))
            share(text);
        nb::object legend = ax.attr("get_legend")();
        if (!legend.is_none()) {
            share(legend.attr("get_title")());
            for (nb::handle text : legend.attr("get_texts")())
                share(text);
        }
        for (nb::handle table : ax.attr("tables"))
            for (nb::handle cell : table.attr("get_celld")().attr("values")())
                share(cell.attr("get_text")());
        for (const char *name : {"xaxis", "yaxis"}) {
            nb::object axis = ax.attr(name);
            share(axis.attr("label"));
            share(axis.attr("offsetText"));
            for (const char *ticks : {"majorTicks", "minorTicks"})
                for (nb::handle tick : axis.attr(ticks))
                    for (const char *label : {"label1", "label2"})
                        share(tick.attr(label));
            nb::setattr(axis, "_get_tick", partial(new_tick, axis.attr("_get_tick"), layouts));
        }
    }
}

// The window extent of a table cell: the corners of the unit square under the
// cell's transform. matplotlib takes the extent of the cell's outline path,
// whose vertices it first sorts by their codes with numpy set operations, at
// about 0.1 ms a cell; a page's tables (up to ~90 cells) are measured about
// eight times while it is saved. A cell's outline always runs along that
// square, so the corners, transform and so the numbers are the same.
nb::object cell_window_extent(mf::Call &call) {
    constexpr std::array<double, 8> unit_square_corners{0, 0, 1, 0, 1, 1, 0, 1};
    nb::object corners =
        call.global("np").attr("array")(python_list(unit_square_corners)).attr("reshape")(4, 2);
    nb::object points = call.arg("cell").attr("get_transform")().attr("transform")(corners);
    nb::list lower_left_upper_right;
    lower_left_upper_right.append(points.attr("min")("axis"_a = 0));
    lower_left_upper_right.append(points.attr("max")("axis"_a = 0));
    return nb::module_::import_("matplotlib.transforms").attr("Bbox")(lower_left_upper_right);
}

const mf::FunctionDef cell_window_extent_def{
    .name = "cell_window_extent",
    .impl = cell_window_extent,
    .params = {{.name = "cell"}, {.name = "renderer", .default_value = mf::none_default}},
};

void measure_table_cells_directly(const mf::Call &call, nb::handle figure) {
    nb::object extent = call.make_function(cell_window_extent_def);
    nb::object method = nb::module_::import_("types").attr("MethodType");
    for (nb::handle ax : figure.attr("axes"))
        for (nb::handle table : ax.attr("tables"))
            for (nb::handle cell : table.attr("get_celld")().attr("values")())
                nb::setattr(cell, "get_window_extent", method(extent, cell));
}

// What a tick locator or formatter of `axis` can read while a page is saved:
// the axis's view and data limits, its axes' place on the page and the
// resolution (the tick space of a locator follows from the last two).
nb::object tick_inputs(nb::handle axis) {
    nb::object as_tuple = nb::module_::import_("builtins").attr("tuple");
    return nb::make_tuple(as_tuple(axis.attr("get_view_interval")().attr("tolist")()),
                          as_tuple(axis.attr("get_data_interval")().attr("tolist")()),
                          axis.attr("axes").attr("bbox").attr("bounds"),
                          axis.attr("axes").attr("figure").attr("dpi"));
}

// `compute()` once per change of `inputs`: the last inputs and result are
// kept in `memo` ([inputs, result]), so the locator or formatter behind
// `compute` was last run on the inputs the result came from, and whatever
// state it keeps (a date locator's unit, a formatter's offset) matches it.
nb::object last_result(nb::handle memo, nb::handle inputs, const std::function<nb::object()> &compute) {
    if (nb::len(memo) == 2 && mf::truthy(memo[nb::int_(0)].attr("__eq__")(inputs)))
        return memo[nb::int_(1)];
    nb::object result = compute();
    memo.attr("clear")();
    memo.attr("append")(inputs);
    memo.attr("append")(result);
    return result;
}

// axis.get_majorticklocs(), run again only when what its locator reads has
// changed; `memos` holds one memo per locator (shared axes share theirs).
nb::object repeated_tick_locations(mf::Call &call) {
    nb::object locator = call.arg("axis").attr("major").attr("locator");
    nb::object memo = call.arg("memos").attr("setdefault")(locator, nb::list());
    nb::object locations = last_result(memo, tick_inputs(locator.attr("axis")), [&] { return locator(); });
    return locations.attr("copy")();
}

const mf::FunctionDef repeated_tick_locations_def{
    .name = "repeated_tick_locations",
    .impl = repeated_tick_locations,
    .params = {{.name = "axis"}, {.name = "memos"}},
};

// formatter.format_ticks(values), run again only for new values or when what
// the formatter reads has changed.
nb::object repeated_tick_labels(mf::Call &call) {
    nb::handle formatter = call.arg("formatter");
    nb::handle values = call.arg("values");
    nb::object inputs =
        nb::make_tuple(nb::module_::import_("builtins")
                           .attr("tuple")(call.global("np").attr("asarray")(values).attr("tolist")()),
                       tick_inputs(formatter.attr("axis")));
    nb::object labels =
        last_result(call.arg("memo"), inputs, [&] { return call.arg("format_ticks")(values); });
    return labels.attr("copy")();
}

const mf::FunctionDef repeated_tick_labels_def{
    .name = "repeated_tick_labels",
    .impl = repeated_tick_labels,
    .params = {{.name = "formatter"}, {.name = "format_ticks"}, {.name = "memo"}, {.name = "values"}},
};

// Every layout pass, the crop box and the draw ask each axis for its ticks
// several times (the axis, each of its spines and the title placement), and
// each time the locator and formatter run again: date locators build their
// rules, formatters print every label. Each axis of the page gets its major
// ticks again only when something they depend on has changed.
void remember_major_ticks(const mf::Call &call, nb::handle figure) {
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object locations = call.make_function(repeated_tick_locations_def);
    nb::object labels = call.make_function(repeated_tick_labels_def);
    nb::dict locator_memos;
    nb::dict formatters_done;
    for (nb::handle ax : figure.attr("axes")) {
        for (const char *name : {"xaxis", "yaxis"}) {
            nb::object axis = ax.attr(name);
            nb::setattr(axis, "get_majorticklocs", partial(locations, axis, locator_memos));
            nb::object formatter = axis.attr("major").attr("formatter");
            nb::object id = nb::module_::import_("builtins").attr("id")(formatter);
            if (formatters_done.contains(id))
                continue;  // shared with an axis already done
            formatters_done[id] = formatter;
            nb::setattr(formatter, "format_ticks",
                        partial(labels, formatter, formatter.attr("format_ticks"), nb::list()));
        }
    }
}

}  // namespace

void save_page(const mf::Call &call, const Matplotlib &mpl, const Page &page, const PageShape &shape,
               nb::handle save_path) {
    nb::handle figure = page.figure;
    nb::object face_colour = figure.attr("get_facecolor")();
    pin_empty_axis_labels(figure);
    if (!shape.tight)
        figure.attr("subplots_adjust")("left"_a = shape.margins[0], "right"_a = shape.margins[1],
                                       "top"_a = shape.margins[2], "bottom"_a = shape.margins[3]);
    if (!names_png_file(save_path) || !savefig_adds_no_layout(mpl)) {
        nb::object crop = shape.tight ? nb::object(nb::str("tight")) : nb::none();
        figure.attr("savefig")(save_path, "dpi"_a = shape.dpi, "bbox_inches"_a = crop,
                               "facecolor"_a = face_colour);
        return;
    }

    share_text_measurements(call, figure);
    share_text_layouts(call, figure);
    measure_table_cells_directly(call, figure);
    remember_major_ticks(call, figure);
    nb::object crop = shape.tight ? lay_out_before_saving(mpl, figure, shape.dpi) : nb::none();
    RenderedPixels rendered = pixel_sink();
    figure.attr("savefig")(rendered.sink, "format"_a = "rgba", "dpi"_a = shape.dpi, "bbox_inches"_a = crop,
                           "facecolor"_a = face_colour);
    if (nb::len(rendered.writes) != 1)
        return;  // savefig rendered nothing (replaced by a stand-in)

    nb::object inches = crop.is_none() ? figure.attr("get_size_inches")() : crop.attr("size");
    write_png(mpl, save_path, rendered.writes[0],
              whole_pixels(nb::cast<double>(inches[nb::int_(0)]), shape.dpi),
              whole_pixels(nb::cast<double>(inches[nb::int_(1)]), shape.dpi), shape.dpi);
}

}  // namespace tolvane::strategy_kernel::charts
