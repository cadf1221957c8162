// The pieces both report charts are built from; see chart_style.hpp.
#include "chart_style.hpp"

namespace tolvane::strategy_kernel::charts {

bool is_empty(nb::handle data) {
    return mf::truthy(data.attr("empty"));
}

nb::object slice_all() {
    return nb::slice(nb::none(), nb::none(), nb::none());
}

nb::object from_first_value(nb::handle running_sum) {
    nb::object first =
        nb::len(running_sum) > 0 ? nb::object(running_sum.attr("iloc")[0]) : nb::object(nb::float_(0.0));
    return running_sum - first;
}

Matplotlib import_matplotlib() {
    nb::object matplotlib = nb::module_::import_("matplotlib");
    matplotlib.attr("use")("Agg");
    nb::object pyplot = nb::module_::import_("matplotlib.pyplot");
    nb::object ticker = nb::module_::import_("matplotlib.ticker");
    return {matplotlib, pyplot, ticker.attr("MaxNLocator"), ticker.attr("PercentFormatter")};
}

nb::object quiet_weight_fallback() {
    return nb::module_::import_("tolvane.backtest.chart_fonts").attr("quiet_weight_fallback")();
}

nb::object title_height() {
    nb::object height = nb::module_::import_("matplotlib").attr("rcParams")["axes.titley"];
    return height.is_none() ? nb::float_(1.0) : height;
}

void apply_report_style(const mf::Call &call, const Matplotlib &mpl,
                        std::initializer_list<const char *> latin_fonts, bool bold_titles) {
    // A matplotlib without this style still draws the charts, in its defaults.
    nb::object suppress_errors = call.global("contextlib").attr("suppress")(call.global("Exception"));
    mf::with_context(suppress_errors,
                     [&](nb::handle) { mpl.pyplot.attr("style").attr("use")("seaborn-v0_8-whitegrid"); });

    nb::object rc_params = mpl.pyplot.attr("rcParams");
    nb::list fonts = python_list(cjk_font_families);
    for (const char *font : latin_fonts)
        fonts.append(font);
    rc_params["font.sans-serif"] = fonts;
    rc_params["axes.unicode_minus"] = false;
    if (bold_titles)
        rc_params["axes.titleweight"] = "bold";
    rc_params["figure.facecolor"] = "white";
    rc_params["axes.facecolor"] = "#fbfbfd";
}

bool wants_portrait_page(const mf::Call &call) {
    return nb::cast<std::string>(call.arg("image_kind")) == "long";
}

Page new_page(const Matplotlib &mpl, const PageShape &shape) {
    nb::object figure = mpl.pyplot.attr("figure")("figsize"_a = nb::make_tuple(shape.width, shape.height),
                                                  "constrained_layout"_a = shape.constrained);
    nb::dict grid_options;
    grid_options["height_ratios"] = python_list(shape.height_ratios);
    if (!shape.width_ratios.empty())
        grid_options["width_ratios"] = python_list(shape.width_ratios);
    if (!std::isnan(shape.hspace))
        grid_options["hspace"] = shape.hspace;
    if (!std::isnan(shape.wspace))
        grid_options["wspace"] = shape.wspace;
    nb::object grid = figure.attr("add_gridspec")(shape.rows, shape.columns, **grid_options);
    return {figure, grid};
}

nb::object add_axes(const Page &page, Span span, nb::handle sharex) {
    nb::slice columns(span.first_column, span.end_column);
    nb::object cell = page.grid[nb::make_tuple(span.row, columns)];
    return page.figure.attr("add_subplot")(cell, "sharex"_a = sharex);
}

void page_title(const Page &page, const PageShape &shape, const std::string &text, double font_size) {
    page.figure.attr("suptitle")(text, "fontsize"_a = font_size, "fontweight"_a = "bold",
                                 "color"_a = benchmark_black, "y"_a = shape.title_y);
}

std::string page_title_text(const mf::Call &call, const char *chart_name) {
    nb::handle plot_title = call.arg("plot_title");
    nb::handle title = mf::truthy(plot_title) ? plot_title : call.arg("strategy_name");
    return nb::cast<std::string>(title) + " | Benchmark " +
           nb::cast<std::string>(call.arg("benchmark_name")) + " | " + chart_name;
}

void reference_line(nb::handle ax, double level, double width) {
    ax.attr("axhline")(level, "color"_a = reference_line_grey, "linewidth"_a = width);
}

void zero_line(nb::handle ax) {
    reference_line(ax, 0.0, 0.8);
}

void percent_ticks(const Matplotlib &mpl, nb::handle ax) {
    ax.attr("yaxis").attr("set_major_formatter")(mpl.percent_formatter(1.0));
}

void centred_note(nb::handle ax, const char *text) {
    ax.attr("text")(0.5, 0.5, text, "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
}

void merged_legend(nb::handle ax, nb::handle twin, const char *loc) {
    nb::tuple own = nb::borrow<nb::tuple>(ax.attr("get_legend_handles_labels")());
    nb::tuple twins = nb::borrow<nb::tuple>(twin.attr("get_legend_handles_labels")());
    ax.attr("legend")(own[0] + twins[0], own[1] + twins[1], "loc"_a = loc, "frameon"_a = true,
                      "framealpha"_a = 0.92);
}

void style_plot_panel(nb::handle ax) {
    ax.attr("grid")(true, "color"_a = "#e5e7eb", "linewidth"_a = 0.75, "alpha"_a = 0.84);
    ax.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("spines")["right"].attr("set_visible")(false);
}

void style_report_table(nb::handle table, ColumnColour body_text_colour) {
    for (nb::handle item : table.attr("get_celld")().attr("items")()) {
        nb::tuple position = nb::borrow<nb::tuple>(item[0]);
        nb::handle cell = item[1];
        long row = nb::cast<long>(position[0]);
        long column = nb::cast<long>(position[1]);
        cell.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = heading_ink);
            cell.attr("set_facecolor")("#eef2ff");
            continue;
        }
        cell.attr("set_facecolor")(row % 2 ? "white" : "#f8fafc");
        if (const char *colour = body_text_colour ? body_text_colour(column) : nullptr)
            cell.attr("set_text_props")("color"_a = colour);
    }
}

void draw_under_plot_lock(const mf::Call &call, const char *unlocked_name, bool with_stats) {
    nb::dict arguments;
    for (const mf::Param &param : chart_params(with_stats, "", false))
        arguments[param.name] = call.arg(param.name);
    mf::with_context(call.global("_MATPLOTLIB_PLOT_LOCK"),
                     [&](nb::handle) { call.global(unlocked_name)(**arguments); });
}

namespace {

// The parameters after the data series (and stats).
std::vector<mf::Param> chart_options(const char *default_save_path, bool with_defaults) {
    auto or_required = [&](mf::DefaultValue value) { return with_defaults ? value : mf::required; };
    return {
        {.name = "strategy_name",
         .annotation = "str",
         .convert = mf::Convert::Str,
         .default_value = or_required(mf::str_default("strategy"))},
        {.name = "plot_title",
         .annotation = "str | None",
         .convert = mf::Convert::Str,
         .or_none = true,
         .default_value = or_required(mf::none_default)},
        {.name = "save_path",
         .annotation = "str | Path",
         .default_value = or_required(mf::str_default(default_save_path))},
        {.name = "image_kind",
         .annotation = "str",
         .convert = mf::Convert::Str,
         .default_value = or_required(mf::str_default("large"))},
        {.name = "benchmark_name",
         .annotation = "str",
         .convert = mf::Convert::Str,
         .default_value = mf::str_default("000852")},
    };
}

}  // namespace

std::vector<mf::Param> chart_params(bool with_stats, const char *default_save_path, bool with_defaults) {
    std::vector<mf::Param> params{
        {.name = "daily_return"},
        {.name = "cumulative_return"},
        {.name = "benchmark_daily_return"},
    };
    if (with_stats)
        params.push_back({.name = "stats", .annotation = "dict", .convert = mf::Convert::Dict});
    for (mf::Param &option : chart_options(default_save_path, with_defaults))
        params.push_back(option);
    return params;
}

}  // namespace tolvane::strategy_kernel::charts
