"""The report charts as matplotlib saves them with its own defaults.

The chart functions save a PNG page in as few passes as possible: they pin
the coordinates of empty axis labels and give offset-free panels their title
height, lay a cropped page out once before saving, and write the PNG file
from the rendered pixels themselves. `matplotlib_own_saving` undoes all of
that for the charts drawn inside it: labels and titles are placed
automatically, and the page goes to savefig through a file object, which
savefig lays out, crops and encodes (Pillow, zlib level 6) as it always does.
"""

from __future__ import annotations

import contextlib
from pathlib import Path


@contextlib.contextmanager
def matplotlib_own_saving():
    """Inside: chart functions draw as plain matplotlib would. Yields
    `target(path)`, the save_path to pass so that savefig writes `path`."""
    from matplotlib.axes import Axes
    from matplotlib.axis import Axis

    set_title = Axes.set_title
    set_label_coords = Axis.set_label_coords

    def automatic_title(ax, label, *args, y=None, **kwargs):
        return set_title(ax, label, *args, **kwargs)

    files = []

    def target(path):
        files.append(open(Path(path), "wb"))
        return files[-1]

    Axes.set_title = automatic_title
    Axis.set_label_coords = lambda axis, *args, **kwargs: None
    try:
        yield target
    finally:
        Axes.set_title = set_title
        Axis.set_label_coords = set_label_coords
        for file in files:
            file.close()
