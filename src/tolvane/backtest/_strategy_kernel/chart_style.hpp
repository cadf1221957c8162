// What the report charts share: the colour scheme, matplotlib set-up, page
// layouts, panel and table styling, the plot lock and the chart parameters.
//
// Everything is drawn through matplotlib, imported when a chart is drawn (the
// module itself loads without it). Both charts hold _MATPLOTLIB_PLOT_LOCK for
// their whole drawing because pyplot and rcParams are process-wide.
#pragma once

#include <array>
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel::charts {

using namespace nb::literals;

// ---------------------------------------------------------------------------
// Colours shared by both charts: strategy blue, benchmark near-black, excess red.

inline constexpr const char *strategy_blue = "#2563eb";
inline constexpr const char *strategy_drawdown_fill = "#bfdbfe";
inline constexpr const char *benchmark_black = "#111827";
inline constexpr const char *excess_red = "#ef4444";
inline constexpr const char *reference_line_grey = "#94a3b8";
inline constexpr const char *heading_ink = "#0f172a";
inline constexpr const char *rolling_purple = "#7c3aed";

// The Chinese-capable families every page lists first so that Chinese strategy
// names render (tolvane.backtest.chart_fonts keeps the Python copy).
inline constexpr std::array<const char *, 5> cjk_font_families{
    "Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS"};

// ---------------------------------------------------------------------------
// Python statements spelled out in C++

using glue::pandas::python_list;

// data.empty
bool is_empty(nb::handle data);

// The `:` of `frame.loc[:, column]`.
nb::object slice_all();

// The running sum made to start at 0 (0.0 for an empty series).
nb::object from_first_value(nb::handle running_sum);

// ---------------------------------------------------------------------------
// matplotlib set-up

struct Matplotlib {
    nb::object matplotlib;
    nb::object pyplot;
    nb::object max_n_locator;      // matplotlib.ticker.MaxNLocator
    nb::object percent_formatter;  // matplotlib.ticker.PercentFormatter
};

// import matplotlib; matplotlib.use("Agg"); import matplotlib.pyplot as plt;
// from matplotlib.ticker import MaxNLocator, PercentFormatter
Matplotlib import_matplotlib();

// The process-wide style of the report pages; the font list is the CJK
// families followed by the page's Latin fallbacks.
void apply_report_style(const mf::Call &call, const Matplotlib &mpl,
                        std::initializer_list<const char *> latin_fonts, bool bold_titles);

// ---------------------------------------------------------------------------
// Page layouts

// Cells [first_column, end_column) of one grid row.
struct Span {
    int row, first_column, end_column;
};

struct PageShape {
    double width, height;  // inches
    bool constrained;      // constrained layout
    int rows, columns;
    std::vector<double> height_ratios;
    std::vector<double> width_ratios;   // empty: equal widths
    double hspace = NAN, wspace = NAN;  // NaN: matplotlib's spacing
    double title_y;
    // Saving: a portrait page gets fixed margins and keeps its size; a
    // landscape page is cropped to a tight bounding box.
    bool tight;
    double dpi;
    std::array<double, 4> margins{};  // left, right, top, bottom (portrait only)
};

struct Page {
    nb::object figure, grid;
};

// The portrait ("long") page is chosen by exactly that image kind; every
// other kind gets the landscape page.
bool wants_portrait_page(const mf::Call &call);

Page new_page(const Matplotlib &mpl, const PageShape &shape);

nb::object add_axes(const Page &page, Span span, nb::handle sharex = nb::none());

void page_title(const Page &page, const PageShape &shape, const std::string &text, double font_size);

// "<title or strategy name> | Benchmark <code> | <chart name>"
std::string page_title_text(const mf::Call &call, const char *chart_name);

// Saves the page to `save_path` at the shape's resolution. A PNG file is
// written from the pixels savefig renders, with less of matplotlib's repeated
// measuring (see page_saving.cpp for why); other formats and file objects are
// saved by savefig itself.
void save_page(const mf::Call &call, const Matplotlib &mpl, const Page &page, const PageShape &shape,
               nb::handle save_path);

// Python's cyclic garbage collector paused while a page is drawn and saved.
// A page builds tens of thousands of container objects (artists, transforms,
// boxes, ticks), so the collector would run many times during one page and
// each older-generation pass walks every object of the process (pandas,
// numpy, matplotlib): about a tenth of a page's time. The page's garbage is
// collected by the first collection after the collector is back on. The
// collector is switched back on only when it was on before.
class CollectorPaused {
  public:
    CollectorPaused() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPaused() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused &) = delete;
    CollectorPaused &operator=(const CollectorPaused &) = delete;

  private:
    bool was_enabled_;
};

// tolvane.backtest.chart_fonts.quiet_weight_fallback(): the pages ask for
// bold text, which a Chinese font without a bold face (WenQuanYi Micro Hei)
// draws in its regular face; inside, matplotlib does so without a warning
// per font size on standard error.
nb::object quiet_weight_fallback();

// Draws on the page's figure and closes it afterwards, also after a failure,
// so that a failed chart leaves no open figure behind in pyplot.
template <typename Draw>
void draw_and_close(const Matplotlib &mpl, const Page &page, Draw &&draw) {
    try {
        mf::with_context(quiet_weight_fallback(), [&](nb::handle) { draw(); });
    } catch (...) {
        mpl.pyplot.attr("close")(page.figure);
        throw;
    }
    mpl.pyplot.attr("close")(page.figure);
}

// ---------------------------------------------------------------------------
// Panel drawing

template <typename... Style>
void plot_line(nb::handle ax, nb::handle series, Style &&...style) {
    ax.attr("plot")(series.attr("index"), series, std::forward<Style>(style)...);
}

// The area between the series and 0.
template <typename... Style>
void fill_to_zero(nb::handle ax, nb::handle series, Style &&...style) {
    ax.attr("fill_between")(series.attr("index"), series, 0, std::forward<Style>(style)...);
}

// ax.set_title(text, y=<the height matplotlib would use>, **style)
// for a panel whose y axes (its own and its twins') show percentages or no
// axis at all. Such axes never carry an offset text ("1e6") above them, so
// the title's automatic placement always leaves it at that height; giving
// the height spares matplotlib measuring every y tick label of the panel and
// its twins again at each layout pass and draw, which it does to keep a
// title clear of an offset text.
nb::object title_height();

template <typename... Style>
void title_over_offset_free_axes(nb::handle ax, const char *text, Style &&...style) {
    ax.attr("set_title")(text, "y"_a = title_height(), std::forward<Style>(style)...);
}

void reference_line(nb::handle ax, double level, double width);

void zero_line(nb::handle ax);

// Tick labels in percent of 1.0.
void percent_ticks(const Matplotlib &mpl, nb::handle ax);

void centred_note(nb::handle ax, const char *text);

template <typename... Options>
void framed_legend(nb::handle ax, const char *loc, Options &&...options) {
    ax.attr("legend")("loc"_a = loc, "frameon"_a = true, "framealpha"_a = 0.92,
                      std::forward<Options>(options)...);
}

// One legend on `ax` with its own entries followed by those of its twin.
void merged_legend(nb::handle ax, nb::handle twin, const char *loc);

void style_plot_panel(nb::handle ax);

// Header row bold on a light indigo fill, body rows alternating white and
// slate; `body_text_colour(column)` may colour a body column (nullptr: default).
using ColumnColour = const char *(*)(long column);

void style_report_table(nb::handle table, ColumnColour body_text_colour);

// ---------------------------------------------------------------------------
// The public chart functions and their lock-free twins

// Runs the lock-free twin of a chart under _MATPLOTLIB_PLOT_LOCK, passing
// every chart argument of this call by keyword.
void draw_under_plot_lock(const mf::Call &call, const char *unlocked_name, bool with_stats);

// The three data series, `stats` when the chart shows statistics, then the
// options; `save_path` defaults to the chart's own file name. In the
// lock-free twins (`with_defaults` false) only benchmark_name keeps its default.
std::vector<mf::Param> chart_params(bool with_stats, const char *default_save_path, bool with_defaults);

}  // namespace tolvane::strategy_kernel::charts
