"""What a reader sees in the report images: Chinese text drawn with a real
font whenever one of the charts' fonts is installed; the page title, panel
titles, KPI cards and tables of every layout inside the page and clear of
each other, apart from the overlaps the layouts' fixed sizes produce; and the
same pages as matplotlib draws and saves them with its own defaults."""

from __future__ import annotations

import shutil
import subprocess
import warnings

import numpy as np
import pandas as pd
import pytest

import tolvane.backtest._strategy_kernel as sk

from reference.chart_saving import matplotlib_own_saving
from reference.strategy_stats import SAMPLE_STATS as STATS

STRATEGY_NAME = "动量策略 top50"
BENCHMARK_NAME = "中证1000"
CHINESE_TEXT = "".join(ch for ch in STRATEGY_NAME + BENCHMARK_NAME if ord(ch) > 0x2E80)


# Overlaps that follow from the sizes the layouts fix, so no drawing change can
# remove them: the ten statistics rows at 9.4 pt scaled 1.28 are taller than
# the statistics panel and cover its title; the landscape weekly page puts its
# title at a fixed height that constrained layout does not keep free.
FIXED_OVERLAPS = {
    ("performance", "long"): {("panel title 'Statistics'", "table 'Statistics'")},
    ("performance", "large"): {("panel title 'Statistics'", "table 'Statistics'")},
    ("weekly", "long"): set(),
    ("weekly", "large"): {("page title", "panel title 'Weekly Net Value'")},
}


def six_years_of_returns():
    days = pd.bdate_range("2018-01-02", periods=1500)
    rng = np.random.default_rng(8)
    benchmark = pd.Series(rng.normal(0.0004, 0.011, len(days)), index=days.strftime("%Y%m%d"))
    daily = benchmark + rng.normal(0.0006, 0.004, len(days))
    return daily, daily.cumsum() + 1, benchmark


def page_elements(fig, renderer) -> list[tuple[str, object]]:
    """(label, box in pixels) of what a reader looks for first on the page."""
    elements = [("page title", fig._suptitle.get_window_extent(renderer))]
    for ax in fig.axes:
        title = ax.get_title()
        if title:
            elements.append((f"panel title '{title}'", ax.title.get_window_extent(renderer)))
        for table in ax.tables:
            elements.append((f"table '{title}'", table.get_window_extent(renderer)))
    cards = fig.axes[0]
    if not cards.get_title() and cards.texts:  # the performance page's KPI strip
        elements += [
            (f"card text '{text.get_text()}'", text.get_window_extent(renderer)) for text in cards.texts
        ]
    return elements


@pytest.fixture(scope="module")
def rendered(tmp_path_factory):
    """Each chart in each layout, saved for real with Chinese names: the
    warnings drawing raised and the boxes of the page's main elements."""
    from matplotlib.figure import Figure

    save = Figure.savefig
    boxes = []

    def save_and_measure(fig, *args, **kwargs):
        save(fig, *args, **kwargs)
        renderer = fig.canvas.get_renderer()
        boxes.append((fig.bbox, page_elements(fig, renderer)))

    folder = tmp_path_factory.mktemp("charts")
    series = six_years_of_returns()
    names = {"strategy_name": STRATEGY_NAME, "benchmark_name": BENCHMARK_NAME}
    pages = {}
    Figure.savefig = save_and_measure
    try:
        for kind in ("long", "large"):
            for chart in ("performance", "weekly"):
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    if chart == "performance":
                        sk.plot_strategy_performance(
                            *series, STATS, image_kind=kind, **names, save_path=folder / f"{chart}_{kind}.png"
                        )
                    else:
                        sk.plot_weekly_net_value(
                            *series, image_kind=kind, **names, save_path=folder / f"{chart}_{kind}.png"
                        )
                page_box, elements = boxes.pop()
                pages[chart, kind] = (caught, page_box, elements)
    finally:
        Figure.savefig = save
    return pages


def installed_fonts() -> dict[str, str]:
    """Family name -> font file of the fonts installed on the machine, read
    from fontconfig rather than from matplotlib's (possibly stale) cache."""
    if shutil.which("fc-list") is None:
        from matplotlib import font_manager
        from matplotlib.ft2font import FT2Font

        return {FT2Font(path).family_name: path for path in font_manager.findSystemFonts()}
    listing = subprocess.run(
        ["fc-list", "--format", "%{family}\t%{file}\n"], capture_output=True, text=True, check=True
    ).stdout
    fonts = {}
    for line in listing.splitlines():
        families, _, path = line.partition("\t")
        for family in families.split(","):
            fonts.setdefault(family.strip(), path)
    return fonts


def listed_fonts_that_draw(text: str) -> list[str]:
    """The charts' fonts that are installed and hold a glyph for every character of `text`."""
    import matplotlib.pyplot as plt
    from matplotlib.ft2font import FT2Font

    fonts = installed_fonts()
    usable = []
    for family in plt.rcParams["font.sans-serif"]:
        path = fonts.get(family)
        if path and all(ord(ch) in FT2Font(path).get_charmap() for ch in text):
            usable.append(family)
    return usable


@pytest.mark.parametrize("chart", ["performance", "weekly"])
@pytest.mark.parametrize("kind", ["long", "large"])
def test_chinese_text_has_its_glyphs_when_a_listed_font_is_installed(rendered, chart, kind):
    caught, _, _ = rendered[chart, kind]
    usable = listed_fonts_that_draw(CHINESE_TEXT)
    if not usable:
        pytest.skip("none of the charts' fonts with Chinese glyphs is installed here")
    missing = [str(w.message) for w in caught if "missing from font" in str(w.message)]
    assert missing == [], f"{usable[0]} is installed, yet the page drew empty boxes"


@pytest.mark.parametrize("chart", ["performance", "weekly"])
@pytest.mark.parametrize("kind", ["long", "large"])
def test_titles_cards_and_tables_sit_inside_the_page_and_apart(rendered, chart, kind):
    _, page, elements = rendered[chart, kind]
    outside = [
        label
        for label, box in elements
        if box.x0 < page.x0 or box.y0 < page.y0 or box.x1 > page.x1 or box.y1 > page.y1
    ]
    assert outside == []
    overlapping = {
        (first, second)
        for k, (first, box) in enumerate(elements)
        for second, other in elements[k + 1 :]
        if box.overlaps(other)
    }
    assert overlapping <= FIXED_OVERLAPS[chart, kind]
    labels = [label for label, _ in elements]
    assert labels.count("table 'Yearly Strategy & Excess Metrics'") == 1
    if chart == "performance":
        assert sum(label.startswith("card text") for label in labels) == 18


def pixels(path) -> np.ndarray:
    from PIL import Image

    with Image.open(path) as image:
        return np.asarray(image.convert("RGBA"), dtype=np.int16)


@pytest.mark.parametrize("kind", ["large", "long"])
def test_pages_match_what_matplotlib_saves_with_its_own_defaults(tmp_path, kind):
    from PIL import Image

    series = six_years_of_returns()
    names = {"strategy_name": STRATEGY_NAME, "benchmark_name": BENCHMARK_NAME, "image_kind": kind}

    def draw(main, weekly):
        sk.plot_strategy_performance(*series, STATS, save_path=main, **names)
        sk.plot_weekly_net_value(*series, save_path=weekly, **names)

    draw(tmp_path / "main.png", str(tmp_path / "weekly.png"))
    with matplotlib_own_saving() as target:
        draw(target(tmp_path / "main_plain.png"), target(tmp_path / "weekly_plain.png"))

    for page in ("main", "weekly"):
        ours, plain = pixels(tmp_path / f"{page}.png"), pixels(tmp_path / f"{page}_plain.png")
        assert ours.shape == plain.shape
        # A reader cannot tell two pages apart whose pixels differ by less
        # than a tenth of the colour range, bar one pixel in a thousand.
        difference = np.abs(ours - plain).max(axis=2)
        assert (difference > 25).mean() <= 0.001 and difference.mean() < 0.1
        with (
            Image.open(tmp_path / f"{page}.png") as image,
            Image.open(tmp_path / f"{page}_plain.png") as plain_image,
        ):
            assert image.info["Software"] == plain_image.info["Software"]
            assert image.info["dpi"] == pytest.approx(plain_image.info["dpi"], abs=0.01)


@pytest.mark.parametrize(("name", "start"), [("page.PNG", b"\x89PNG\r\n\x1a\n"), ("page.svg", b"<?xml")])
def test_the_file_format_follows_the_extension(tmp_path, name, start):
    daily, cumulative, benchmark = (part.iloc[:60] for part in six_years_of_returns())
    sk.plot_weekly_net_value(daily, cumulative, benchmark, save_path=tmp_path / name)
    assert (tmp_path / name).read_bytes().startswith(start)
