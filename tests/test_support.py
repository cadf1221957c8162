"""Support modules: dates and the service singleton."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest

import tolvane
from tolvane import singleton
from tolvane.dates import normalize_date
from tolvane.exceptions import NotInitializedError, TolvaneError


@pytest.mark.parametrize(
    "value",
    [
        20240105,
        "20240105",
        "2024-01-05",
        " 2024-1-5 ",
        dt.date(2024, 1, 5),
        dt.datetime(2024, 1, 5, 15, 30),
        pd.Timestamp("2024-01-05 09:30"),
    ],
)
def test_normalize_date_forms(value):
    assert normalize_date(value) == "2024-01-05"


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (20241305, ValueError),
        ("2024/01/05", ValueError),
        ("20240230", ValueError),
        (pd.NaT, ValueError),
        (None, TypeError),
        (True, TypeError),
        (20240105.0, TypeError),
        (240105, ValueError),
    ],
)
def test_normalize_date_rejects(value, error):
    with pytest.raises(error):
        normalize_date(value)


def test_singleton_life_cycle():
    singleton.reset()
    with pytest.raises(NotInitializedError, match="tolvane.init") as caught:
        tolvane.get_instance()
    assert isinstance(caught.value, TolvaneError)
    first = tolvane.init("ak", "sk", base_url="http://127.0.0.1:9")
    assert tolvane.get_instance() is first and first.http.base_url == "http://127.0.0.1:9"
    second = tolvane.init("ak", "sk", base_url="http://127.0.0.1:10/")
    assert tolvane.get_instance() is second and second.http.base_url == "http://127.0.0.1:10"
    singleton.reset()
    with pytest.raises(NotInitializedError):
        singleton.get_instance()
