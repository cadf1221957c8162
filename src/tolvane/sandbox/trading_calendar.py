"""沪深交易所的交易日历 (合成市场使用)。

工作日减去节假日: 元旦、春节一周、清明、劳动节、端午、中秋与国庆一周。农历节日按
内置的春节日期表推算, 2000-2035 年以外为近似。
"""

from __future__ import annotations

import datetime as _dt

import numpy as np

__all__ = ["holidays", "trading_days"]

# Gregorian date of the Spring Festival (lunar new year's day), 2000-2035.
_SPRING_FESTIVAL = {
    2000: (2, 5),
    2001: (1, 24),
    2002: (2, 12),
    2003: (2, 1),
    2004: (1, 22),
    2005: (2, 9),
    2006: (1, 29),
    2007: (2, 18),
    2008: (2, 7),
    2009: (1, 26),
    2010: (2, 14),
    2011: (2, 3),
    2012: (1, 23),
    2013: (2, 10),
    2014: (1, 31),
    2015: (2, 19),
    2016: (2, 8),
    2017: (1, 28),
    2018: (2, 16),
    2019: (2, 5),
    2020: (1, 25),
    2021: (2, 12),
    2022: (2, 1),
    2023: (1, 22),
    2024: (2, 10),
    2025: (1, 29),
    2026: (2, 17),
    2027: (2, 6),
    2028: (1, 26),
    2029: (2, 13),
    2030: (2, 3),
    2031: (1, 23),
    2032: (2, 11),
    2033: (1, 31),
    2034: (2, 19),
    2035: (2, 8),
}


def holidays(year: int) -> set[_dt.date]:
    """一年中的交易所休市日 (落在周末的也包括在内)。"""
    d = _dt.date
    td = _dt.timedelta
    out: set[_dt.date] = {d(year, 1, 1)}
    month, day = _SPRING_FESTIVAL.get(year, (2, 5))
    spring = d(year, month, day)
    out.update(spring + td(days=k) for k in range(-1, 6))  # eve .. sixth day
    out.update({d(year, 4, 4), d(year, 4, 5)})  # Qingming
    out.update(d(year, 5, k) for k in range(1, 6))  # Labour Day
    dragon_boat = spring + td(days=124)  # 5th day of 5th month (approx.)
    out.add(dragon_boat)
    mid_autumn = spring + td(days=213)  # 15th day of 8th month (approx.)
    out.add(mid_autumn)
    out.update(d(year, 10, k) for k in range(1, 8))  # National Day week
    return out


def trading_days(start, end) -> np.ndarray:
    """``start`` 到 ``end`` (含两端) 之间的交易日, ``datetime64[D]`` 数组。"""
    s, e = _as_day(start), _as_day(end)
    if e < s:
        return np.empty(0, dtype="datetime64[D]")
    days = np.arange(s, e + np.timedelta64(1, "D"), dtype="datetime64[D]")
    weekday = (days.astype("int64") + 3) % 7  # 1970-01-01 was a Thursday
    keep = weekday < 5
    first, last = days[0].astype(object).year, days[-1].astype(object).year
    hol = sorted(h for y in range(first, last + 1) for h in holidays(y))
    keep &= ~np.isin(days, np.array(hol, dtype="datetime64[D]"))
    return days[keep]


def _as_day(value) -> np.datetime64:
    if isinstance(value, np.datetime64):
        return value.astype("datetime64[D]")
    if isinstance(value, (_dt.date, _dt.datetime)):
        return (
            np.datetime64(value, "D")
            if not isinstance(value, _dt.datetime)
            else np.datetime64(value.date(), "D")
        )
    text = str(value).strip()
    if len(text) == 8 and text.isdigit():
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    return np.datetime64(text, "D")
