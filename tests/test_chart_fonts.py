"""Chinese chart text on a machine whose matplotlib font cache was written
before the Chinese font was installed, on one without any Chinese font, and
the script that installs one for `make demo` and CI."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest import chart_fonts

ROOT = Path(__file__).resolve().parents[1]

# Draws the weekly chart with a Chinese strategy name in a fresh interpreter
# under the default warning filters (glyph warnings go to stderr) and prints
# what ensure_cjk_font returned.
DRAW = """
import sys
import numpy as np, pandas as pd
from tolvane.backtest import chart_fonts
import tolvane.backtest._strategy_kernel as kernel
if sys.argv[1] == "no-fonts":
    chart_fonts._fontconfig_files = lambda: []
    chart_fonts._KNOWN_FONT_FILES = ()
family = None
if sys.argv[1] != "without-helper":
    family = chart_fonts.ensure_cjk_font()
    chart_fonts.ensure_cjk_font()  # a second call says nothing more
days = pd.bdate_range("2022-01-03", periods=300).strftime("%Y%m%d")
daily = pd.Series(np.random.default_rng(1).normal(0.001, 0.01, len(days)), index=days)
kernel.plot_weekly_net_value(daily, daily.cumsum() + 1, daily * 0.5, strategy_name="动量策略",
                             save_path=sys.argv[2])
print(family)
"""


@pytest.fixture(scope="module")
def stale_font_cache(tmp_path_factory):
    """A matplotlib configuration folder whose font cache lacks every listed Chinese font."""
    folder = tmp_path_factory.mktemp("mplconfig")
    environment = {**os.environ, "MPLCONFIGDIR": str(folder)}
    subprocess.run([sys.executable, "-c", "import matplotlib.font_manager"], env=environment, check=True)
    (cache,) = folder.glob("fontlist-*.json")
    fonts = json.loads(cache.read_text())
    fonts["ttflist"] = [
        font for font in fonts["ttflist"] if font["name"] not in chart_fonts.CJK_FONT_FAMILIES
    ]
    cache.write_text(json.dumps(fonts))
    return environment


def draw(environment: dict, mode: str, image: Path) -> tuple[str, str]:
    """(the family ensure_cjk_font found, stderr) of one drawing."""
    done = subprocess.run(
        [sys.executable, "-c", DRAW, mode, str(image)],
        env=environment,
        capture_output=True,
        text=True,
        check=True,
    )
    return done.stdout.strip(), done.stderr


def listed_font_installed() -> bool:
    return bool(chart_fonts._fontconfig_files()) or any(
        Path(path).is_file() for path in chart_fonts._KNOWN_FONT_FILES
    )


@pytest.mark.skipif(not listed_font_installed(), reason="no listed Chinese font is installed here")
def test_an_installed_font_draws_even_when_the_cache_predates_it(stale_font_cache, tmp_path):
    _, stderr = draw(stale_font_cache, "without-helper", tmp_path / "before.png")
    assert "missing from font" in stderr, "the stale cache should hide the font"

    family, stderr = draw(stale_font_cache, "with-helper", tmp_path / "after.png")
    assert family in chart_fonts.CJK_FONT_FAMILIES
    assert "missing from font" not in stderr and "findfont" not in stderr


def test_without_any_chinese_font_one_line_replaces_the_glyph_warnings(stale_font_cache, tmp_path):
    family, stderr = draw(stale_font_cache, "no-fonts", tmp_path / "boxes.png")
    assert family == "None"
    assert stderr.splitlines() == [chart_fonts._NO_CJK_FONT.format(", ".join(chart_fonts.CJK_FONT_FAMILIES))]
    assert (tmp_path / "boxes.png").stat().st_size > 0


# Draws both report pages in a fresh interpreter as a user would, without
# ensure_cjk_font, then prints the filters left on matplotlib's font logger.
REPORT = """
import logging, sys
import numpy as np, pandas as pd
import tolvane.backtest._strategy_kernel as kernel
days = pd.bdate_range("2022-01-03", periods=300).strftime("%Y%m%d")
daily = pd.Series(np.random.default_rng(1).normal(0.001, 0.01, len(days)), index=days)
series = (daily, daily.cumsum() + 1, daily * 0.5)
kernel.plot_strategy_performance(*series, {}, strategy_name="momentum", save_path=sys.argv[1])
kernel.plot_weekly_net_value(*series, strategy_name="momentum", save_path=sys.argv[2])
print(len(logging.getLogger("matplotlib.font_manager").filters))
"""


def test_drawing_a_report_writes_nothing_to_stderr(tmp_path):
    # The pages ask for bold titles, cards and table headers; a first listed
    # font without a bold face (WenQuanYi Micro Hei) drew them regular with
    # a warning per font size. The quieting ends with the drawing.
    environment = {**os.environ, "MPLCONFIGDIR": str(tmp_path / "mplconfig")}
    subprocess.run([sys.executable, "-c", "import matplotlib.font_manager"], env=environment, check=True)
    done = subprocess.run(
        [sys.executable, "-c", REPORT, str(tmp_path / "main.png"), str(tmp_path / "weekly.png")],
        env=environment,
        capture_output=True,
        text=True,
        check=True,
    )
    assert done.stderr == ""
    assert done.stdout.split() == ["0"]
    assert (tmp_path / "main.png").stat().st_size > 0 and (tmp_path / "weekly.png").stat().st_size > 0


# The rc settings a report page's style decides.
STYLE_KEYS = (
    "font.sans-serif",
    "axes.unicode_minus",
    "axes.titleweight",
    "figure.facecolor",
    "axes.facecolor",
)


def test_factor_charts_style_their_pages_like_the_strategy_report(tmp_path):
    """The strategy report is styled in native code and the factor charts in
    Python; both must list the same fonts in the same order and share the look."""
    import matplotlib.pyplot as plt

    import tolvane.backtest._strategy_kernel as kernel
    from tolvane.backtest import _chart_look

    days = pd.bdate_range("2023-01-02", periods=40).strftime("%Y%m%d")
    daily = pd.Series(np.linspace(-0.01, 0.01, len(days)), index=days)
    with plt.rc_context():
        kernel.plot_weekly_net_value(
            daily, daily.cumsum() + 1, daily * 0.5, save_path=tmp_path / "weekly.png"
        )
        weekly_fonts = list(plt.rcParams["font.sans-serif"])
    with plt.rc_context():
        kernel.plot_strategy_performance(
            daily, daily.cumsum(), daily * 0.5, {}, save_path=tmp_path / "report.png"
        )
        native = {key: plt.rcParams[key] for key in STYLE_KEYS}
    with plt.rc_context():
        _chart_look.apply_report_style(plt)
        python = {key: plt.rcParams[key] for key in STYLE_KEYS}

    cjk = list(chart_fonts.CJK_FONT_FAMILIES)
    assert weekly_fonts[: len(cjk)] == cjk and native["font.sans-serif"][: len(cjk)] == cjk
    assert python == native


def fake_command(folder: Path, name: str, script: str) -> None:
    path = folder / name
    path.write_text("#!/bin/sh\n" + script + "\n")
    path.chmod(0o755)


@pytest.mark.parametrize(
    "families, uid, installs",
    [
        ("", "0", True),
        ("DejaVu Sans\nWenQuanYi Micro Hei,文泉驿微米黑\n", "0", False),
        ("Noto Sans CJK SC,Noto Sans CJK SC Regular\n", "0", False),
        ("", "1000", False),
    ],
)
def test_the_font_script_installs_only_when_missing_and_root(families, uid, installs, tmp_path):
    calls = tmp_path / "apt-calls"
    fake_command(tmp_path, "fc-list", f"printf '{families}'")
    fake_command(tmp_path, "id", f"echo {uid}")
    fake_command(tmp_path, "apt-get", f'echo "$*" >> {calls}')
    done = subprocess.run(
        [str(ROOT / "tools" / "ensure-cjk-font")],
        capture_output=True,
        text=True,
        env={**os.environ, "PATH": f"{tmp_path}:{os.environ['PATH']}"},
    )
    assert done.returncode == 0
    if installs:
        assert "install -y -qq --no-install-recommends fonts-wqy-microhei fontconfig" in calls.read_text()
    else:
        assert not calls.exists() and done.stdout == ""
