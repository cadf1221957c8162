"""合成市场的指数: 成分股与市值加权的日线行情。

规模指数 (沪深 300、中证 500、中证 1000、国证 2000、中证 2000) 按过去 20 个交易日的
平均总市值排名, 每年 6 月与 12 月调整成分; 上证综指包含全部上市的沪市股票, 深证
成指与创业板指取各自范围内市值较大的一半。指数点位按除权参考价乘以股本加权。

这里的函数读取 :class:`~tolvane.sandbox.market.SyntheticMarket` 模拟出的数组,
由市场对象调用并缓存结果。
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .market import SyntheticMarket

__all__ = ["INDEX_CODES", "COMPONENT_FACTORS", "index_membership", "index_bars"]

#: Index codes with daily bars, and their level on the market's first day.
INDEX_CODES: dict[str, float] = {
    "000001.XSHG": 3200.0,  # SSE Composite: every listed Shanghai stock
    "000300.XSHG": 3800.0,  # CSI 300: the largest ~6% by capitalisation
    "000905.XSHG": 6000.0,  # CSI 500: the next ~10%
    "000852.XSHG": 6500.0,  # CSI 1000: the next ~20%
    "399001.XSHE": 10500.0,  # SZSE Component: larger half of Shenzhen stocks
    "399006.XSHE": 2200.0,  # ChiNext: larger half of ChiNext stocks
    "399303.XSHE": 5200.0,  # CNI 2000: ranks 20%-60%
    "932000.INDX": 2300.0,  # CSI 2000: ranks 36%-76%
}

# Capitalisation-rank bands (fractions of eligible stocks) of the size indices.
_RANK_BANDS = {
    "000300.XSHG": (0.00, 0.06),
    "000905.XSHG": (0.06, 0.16),
    "000852.XSHG": (0.16, 0.36),
    "399303.XSHE": (0.20, 0.60),
    "932000.INDX": (0.36, 0.76),
}

#: Index-membership factor name -> index code.
COMPONENT_FACTORS: dict[str, str] = {
    f"rq_index_components_new_{code}": code
    for code in ("000300.XSHG", "000905.XSHG", "000852.XSHG", "399303.XSHE", "932000.INDX")
}


def _rebalance_days(m: SyntheticMarket) -> np.ndarray:
    """The first day and the first trading day from each Jun 15 and Dec 15."""
    days = [0]
    years = sorted({int(str(d)[:4]) for d in m.dates})
    for y in years:
        for month in (6, 12):
            pos = int(np.searchsorted(m.dates, np.datetime64(f"{y}-{month:02d}-15")))
            if 0 < pos < m.n_days:
                days.append(pos)
    return np.array(sorted(set(days)))


def index_membership(m: SyntheticMarket, code: str) -> np.ndarray:
    """``(n_days, n_stocks)`` boolean matrix: the index's members on each day."""
    alive = m._alive
    if code == "000001.XSHG":
        return alive & m._is_shanghai[None, :]
    if code in _RANK_BANDS:
        universe = np.ones(m.n_stocks, bool)
        lo, hi = _RANK_BANDS[code]
    elif code == "399001.XSHE":
        universe, lo, hi = ~m._is_shanghai, 0.0, 0.5
    else:  # 399006.XSHE
        universe, lo, hi = m._is_chinext, 0.0, 0.5
    rebal = _rebalance_days(m)
    cap = m._close * m._shares
    picks = np.zeros((len(rebal), m.n_stocks), bool)
    for k, r in enumerate(rebal):
        window = cap[max(0, r - 20) : r] if r > 0 else cap[:1]
        valid = ~np.isnan(window)
        count = valid.sum(axis=0)
        with np.errstate(invalid="ignore", divide="ignore"):
            avg = np.where(valid, window, 0.0).sum(axis=0) / count
        seasoned = (m._list_idx <= max(r - 60, 0)) & alive[r] & universe & ~np.isnan(avg)
        cand = np.nonzero(seasoned)[0]
        if len(cand) == 0:
            continue
        order = cand[np.argsort(-avg[cand], kind="stable")]
        n = len(order)
        a, b = int(math.floor(lo * n)), int(math.floor(hi * n))
        if b <= a:
            b = min(a + 1, n)
        picks[k, order[a:b]] = True
    seg = np.searchsorted(rebal, np.arange(m.n_days), side="right") - 1
    return picks[seg] & alive


def index_bars(m: SyntheticMarket, member: np.ndarray, base_level: float) -> dict[str, np.ndarray]:
    """Read-only daily bars of the index with the given members, starting at ``base_level``."""
    traded = member & ~m._suspended
    ref = m._ref
    prev_cap = np.empty_like(m._close)
    prev_cap[0] = ref[0] * m._shares[0]
    # Weight by the reference price (ex-rights previous close) times shares.
    prev_cap[1:] = ref[1:] * m._shares[1:]
    w = np.where(member & ~np.isnan(prev_cap), prev_cap, 0.0)
    total = w.sum(axis=1)
    safe_total = np.where(total > 0, total, 1.0)

    def weighted(price):
        rel = np.where(traded, price / ref - 1.0, 0.0)
        rel = np.nan_to_num(rel, nan=0.0, posinf=0.0, neginf=0.0)
        return np.where(total > 0, (w * rel).sum(axis=1) / safe_total, 0.0)

    r_close = weighted(m._close)
    r_close[0] = 0.0
    level_prev = base_level * np.concatenate([[1.0], np.cumprod(1.0 + r_close[1:])])
    prev = np.concatenate([[base_level], level_prev[:-1]])
    bars = {
        "open": np.round(prev * (1.0 + weighted(m._open)), 3),
        "high": np.round(prev * (1.0 + weighted(m._high)), 3),
        "low": np.round(prev * (1.0 + weighted(m._low)), 3),
        "close": np.round(level_prev, 3),
        "volume": np.where(member, np.nan_to_num(m._volume), 0.0).sum(axis=1),
    }
    bars["open"][0] = bars["close"][0]
    bars["high"][0] = max(bars["high"][0], bars["close"][0])
    bars["low"][0] = min(bars["low"][0], bars["close"][0])
    bars["high"] = np.maximum(np.maximum(bars["high"], bars["open"]), bars["close"])
    bars["low"] = np.minimum(np.minimum(bars["low"], bars["open"]), bars["close"])
    for v in bars.values():
        v.setflags(write=False)
    return bars
