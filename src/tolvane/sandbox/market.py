"""确定性的合成 A 股行情。

:class:`SyntheticMarket` 由种子、股票数与日期区间生成一个规模不大但足够逼真的
A 股市场: 三个输入相同, 在任何机器上每次得到的数据逐位相同 (NumPy 的 PCG64
生成器, 不读取时钟)。

市场的内容
----------
* 交易日历: 工作日减去沪深交易所节假日 (元旦、春节一周、清明、劳动节、端午、
  中秋与国庆一周; 农历节日按内置的春节日期表推算, 2000-2035 年以外为近似)。
* 带交易所后缀的六位股票代码: 上证主板 (60xxxx.XSHG)、科创板 (688xxx.XSHG)、
  深证主板 (00xxxx.XSHE) 与创业板 (300xxx/301xxx.XSHE)。部分股票在区间内上市,
  少数退市; 上市之前与退市之后没有任何数据行。
* 对数正态价格: 由市场因子、行业因子、厚尾的个股扰动、偶发的消息跳跃与缓慢变化的
  预期收益 (研究因子 ``alpha1`` 观测的就是它) 驱动。价格取 0.01 元最小变动价位,
  受每日涨跌停限制 (参考价的 10%, 300xxx/301xxx/688xxx 为 20%); 部分涨跌停日为
  "一字板" (全天以涨跌停价开盘、成交并收盘, 两个早盘 VWAP 都等于涨跌停价)。
* 停牌、现金分红与送转股, 除权除息日按除权参考价计算涨跌停与价格变动。
* 指数成分 (沪深 300、中证 500、中证 1000、国证 2000、中证 2000) 按总市值排名
  每年 6 月与 12 月调整; 这些指数与几只宽基指数的市值加权日线行情。

每个因子都是 ``(交易日数, 股票数)`` 的 float64 矩阵, NaN 表示"没有这一行":
数据服务只发送有值的单元格。各因子的含义与单位写在下面对应 ``_f_*`` 方法的
文档字符串里, 也可通过 :meth:`SyntheticMarket.factor_info` 取得。
"""

from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

__all__ = [
    "SyntheticMarket",
    "FactorInfo",
    "INDEX_CODES",
    "COMPONENT_FACTORS",
    "trading_days",
    "holidays",
]

# ---------------------------------------------------------------------------
# Calendar
# ---------------------------------------------------------------------------

# Gregorian date of the Spring Festival (lunar new year's day), 2000-2035.
_SPRING_FESTIVAL = {
    2000: (2, 5), 2001: (1, 24), 2002: (2, 12), 2003: (2, 1), 2004: (1, 22),
    2005: (2, 9), 2006: (1, 29), 2007: (2, 18), 2008: (2, 7), 2009: (1, 26),
    2010: (2, 14), 2011: (2, 3), 2012: (1, 23), 2013: (2, 10), 2014: (1, 31),
    2015: (2, 19), 2016: (2, 8), 2017: (1, 28), 2018: (2, 16), 2019: (2, 5),
    2020: (1, 25), 2021: (2, 12), 2022: (2, 1), 2023: (1, 22), 2024: (2, 10),
    2025: (1, 29), 2026: (2, 17), 2027: (2, 6), 2028: (1, 26), 2029: (2, 13),
    2030: (2, 3), 2031: (1, 23), 2032: (2, 11), 2033: (1, 31), 2034: (2, 19),
    2035: (2, 8),
}


def holidays(year: int) -> set[_dt.date]:
    """一年中的交易所休市日 (落在周末的也包括在内)。"""
    d = _dt.date
    td = _dt.timedelta
    out: set[_dt.date] = {d(year, 1, 1)}
    month, day = _SPRING_FESTIVAL.get(year, (2, 5))
    spring = d(year, month, day)
    out.update(spring + td(days=k) for k in range(-1, 6))   # eve .. sixth day
    out.update({d(year, 4, 4), d(year, 4, 5)})               # Qingming
    out.update(d(year, 5, k) for k in range(1, 6))           # Labour Day
    dragon_boat = spring + td(days=124)                       # 5th day of 5th month (approx.)
    out.add(dragon_boat)
    mid_autumn = spring + td(days=213)                        # 15th day of 8th month (approx.)
    out.add(mid_autumn)
    out.update(d(year, 10, k) for k in range(1, 8))          # National Day week
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
        return np.datetime64(value, "D") if not isinstance(value, _dt.datetime) else np.datetime64(value.date(), "D")
    text = str(value).strip()
    if len(text) == 8 and text.isdigit():
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    return np.datetime64(text, "D")


# ---------------------------------------------------------------------------
# Index vocabulary
# ---------------------------------------------------------------------------

#: Index codes with daily bars, and their level on the market's first day.
INDEX_CODES: dict[str, float] = {
    "000001.XSHG": 3200.0,   # SSE Composite: every listed Shanghai stock
    "000300.XSHG": 3800.0,   # CSI 300: the largest ~6% by capitalisation
    "000905.XSHG": 6000.0,   # CSI 500: the next ~10%
    "000852.XSHG": 6500.0,   # CSI 1000: the next ~20%
    "399001.XSHE": 10500.0,  # SZSE Component: larger half of Shenzhen stocks
    "399006.XSHE": 2200.0,   # ChiNext: larger half of ChiNext stocks
    "399303.XSHE": 5200.0,   # CNI 2000: ranks 20%-60%
    "932000.INDX": 2300.0,   # CSI 2000: ranks 36%-76%
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

_N_INDUSTRIES = 28
_BOARDS = (  # name, code range, probability, limit
    ("sh_main", (600000, 606000), 0.40, 0.10),
    ("star", (688000, 689000), 0.10, 0.20),
    ("sz_main", (1, 4000), 0.35, 0.10),
    ("chinext", (300001, 302000), 0.15, 0.20),
)


@dataclass(frozen=True)
class FactorInfo:
    """一个因子的说明: 名称、单位、含义与类别。"""

    name: str
    unit: str
    description: str
    category: str


def _round_tick(x: np.ndarray) -> np.ndarray:
    """把价格四舍五入到 0.01 元最小变动价位。"""
    return np.floor(x * 100.0 + 0.5 + 1e-7) / 100.0


def _zscore_rows(x: np.ndarray) -> np.ndarray:
    """按行做截面 z-score, 忽略 NaN (有效值少于 2 个的行为 NaN)。"""
    with np.errstate(invalid="ignore", divide="ignore"):
        count = np.sum(~np.isnan(x), axis=1, keepdims=True)
        mean = np.nansum(x, axis=1, keepdims=True) / np.maximum(count, 1)
        dev = np.where(np.isnan(x), 0.0, x - mean)
        std = np.sqrt(np.sum(dev * dev, axis=1, keepdims=True) / np.maximum(count - 1, 1))
        z = (x - mean) / std
    z[np.broadcast_to(count < 2, z.shape)] = np.nan
    return z


# Factor registry: name -> (unit, category, method name)
_FACTORS: dict[str, tuple[str, str, str]] = {}


def _factor(name: str, unit: str, category: str) -> Callable:
    def deco(fn):
        _FACTORS[name] = (unit, category, fn.__name__)
        return fn
    return deco


class SyntheticMarket:
    """确定性的合成 A 股市场。

    Args:
        seed: 随机种子; 种子、股票数与日期区间相同, 生成的市场就完全相同。
        n_stocks: 股票数 (至少 1)。
        start, end: 区间的首尾日历日 (``numpy.datetime64`` 能读的文本、
            ``YYYYMMDD`` 文本或整数、date 对象)。

    Attributes:
        dates: 交易日, 长度为 ``n_days`` 的 ``datetime64[D]`` 数组。
        codes: 带交易所后缀的股票代码, 已排序, 长度为 ``n_stocks``。
        industry: 每只股票的行业代码 (1..28)。
        limit_ratio: 每只股票的涨跌停幅度 (0.1 或 0.2)。
    """

    def __init__(self, seed: int = 7, n_stocks: int = 300,
                 start="2019-01-01", end="2024-12-31") -> None:
        if int(n_stocks) < 1:
            raise ValueError("n_stocks 至少为 1")
        self.seed = int(seed)
        self.n_stocks = int(n_stocks)
        self.dates = trading_days(start, end)
        if len(self.dates) < 2:
            raise ValueError("日期区间内至少要有两个交易日")
        self.start = str(self.dates[0])
        self.end = str(self.dates[-1])
        self._cache: dict[str, np.ndarray] = {}
        self._index_cache: dict[str, dict[str, np.ndarray]] = {}
        self._simulate()

    # ------------------------------------------------------------------ API
    @property
    def n_days(self) -> int:
        """交易日数。"""
        return len(self.dates)

    @staticmethod
    def factor_names() -> list[str]:
        """市场提供的全部因子名。"""
        return list(_FACTORS)

    @classmethod
    def factor_info(cls, name: str) -> FactorInfo:
        """因子的单位与含义 (未知因子名抛出 ``KeyError``)。"""
        unit, category, method = _FACTORS[name]
        doc = " ".join((getattr(cls, method).__doc__ or "").split())
        return FactorInfo(name, unit, doc, category)

    def factor(self, name: str) -> np.ndarray:
        """因子的 ``(n_days, n_stocks)`` 矩阵, NaN 表示"没有这一行"。

        返回的数组只读且被共享; 需要修改时请先复制。
        """
        arr = self._cache.get(name)
        if arr is None:
            if name not in _FACTORS:
                raise KeyError(name)
            arr = np.asarray(getattr(self, _FACTORS[name][2])(), dtype=np.float64)
            arr.setflags(write=False)
            self._cache[name] = arr
        return arr

    def index_bars(self, code: str) -> dict[str, np.ndarray]:
        """指数日线: 数组 ``open``、``high``、``low``、``close`` (指数点位) 与
        ``volume`` (成分股成交股数), 每个交易日一个值。没有该指数时抛出 ``KeyError``。"""
        bars = self._index_cache.get(code)
        if bars is None:
            if code not in INDEX_CODES:
                raise KeyError(code)
            bars = self._compute_index(code)
            self._index_cache[code] = bars
        return bars

    def stock_index(self, code: str) -> int | None:
        """股票所在的列号; 代码可以是六位数字或带任意交易所后缀。"""
        return self._code_pos.get(str(code).strip()[:6])

    # ------------------------------------------------------------ simulation
    def _simulate(self) -> None:
        rng = np.random.default_rng(self.seed)
        D, N = self.n_days, self.n_stocks
        self._draw_stocks(rng, N)
        days_idx = np.arange(D)

        # Listing and delisting.
        listed_later = rng.random(N) < 0.18
        list_idx = np.where(listed_later, rng.integers(1, max(2, D - 20), N), 0)
        delists = rng.random(N) < 0.02
        delist_at = list_idx + 60 + (rng.random(N) * max(D - 60, 1)).astype(np.int64)
        delist_idx = np.where(delists & (delist_at < D), delist_at, D)
        alive = (days_idx[:, None] >= list_idx[None, :]) & (days_idx[:, None] < delist_idx[None, :])
        listing_day = days_idx[:, None] == list_idx[None, :]

        # Suspension spells.
        susp_edges = np.zeros((D + 1, N), dtype=np.int32)
        n_spells = rng.poisson(0.8 * D / 250.0, N)
        for i in np.nonzero(n_spells)[0]:
            starts = rng.integers(0, D, n_spells[i])
            long_spell = rng.random(n_spells[i]) < 0.1
            lengths = np.where(long_spell, rng.integers(20, 60, n_spells[i]),
                               rng.geometric(0.35, n_spells[i]))
            np.add.at(susp_edges[:, i], starts, 1)
            np.add.at(susp_edges[:, i], np.minimum(starts + lengths, D), -1)
        suspended = (np.cumsum(susp_edges[:-1], axis=0) > 0) & alive & ~listing_day

        # Corporate actions: dividends (Jun-Jul) and bonus splits.
        months = self.dates.astype("datetime64[M]").astype(np.int64) % 12 + 1
        years = self.dates.astype("datetime64[Y]").astype(np.int64) + 1970
        div_yield = np.full((D, N), np.nan)
        split_coef = np.full((D, N), np.nan)
        eligible = alive & ~suspended & (days_idx[:, None] > list_idx[None, :])
        for year in np.unique(years):
            window = np.nonzero((years == year) & ((months == 6) | (months == 7)))[0]
            if len(window) == 0:
                continue
            ex_day = window[rng.integers(0, len(window), N)]
            pays = rng.random(N) < 0.6
            splits = rng.random(N) < 0.12
            yields = np.exp(rng.normal(np.log(0.015), 0.6, N)).clip(0.002, 0.06)
            coefs = rng.choice([12.0, 13.0, 15.0, 20.0], N, p=[0.35, 0.3, 0.2, 0.15])
            cols = np.arange(N)
            ok = eligible[ex_day, cols]
            pay_cols = cols[pays & ok]
            div_yield[ex_day[pay_cols], pay_cols] = yields[pay_cols]
            split_cols = cols[splits & ok]
            split_coef[ex_day[split_cols], split_cols] = coefs[split_cols]

        # Random drivers.
        market = rng.standard_t(4, D) * 0.012 / math.sqrt(2.0) + 0.0002
        industry_moves = rng.standard_normal((D, _N_INDUSTRIES)) * 0.008
        eps = rng.standard_t(3, (D, N)) / math.sqrt(3.0) * self._idio_vol[None, :]
        jumps = np.where(rng.random((D, N)) < 0.012,
                         rng.choice([-1.0, 1.0], (D, N), p=[0.4, 0.6]) * rng.normal(0.09, 0.04, (D, N)), 0.0)
        gap_share = rng.uniform(0.15, 0.6, (D, N))
        gap_noise = rng.standard_normal((D, N)) * 0.004
        mu_shocks = rng.standard_normal((D, N)) * 0.0008 * math.sqrt(1 - 0.97 ** 2)
        alpha_noise = rng.standard_normal((D, N)) * 0.0008

        shock = (self._beta[None, :] * market[:, None]
                 + industry_moves[:, self.industry - 1] * 0.9 + eps + jumps)

        limit = self.limit_ratio
        ipo_price = self._ipo_price
        close = np.full((D, N), np.nan)
        open_ = np.full((D, N), np.nan)
        ref = np.full((D, N), np.nan)
        lim_up = np.full((D, N), np.nan)
        lim_dn = np.full((D, N), np.nan)
        ret = np.full((D, N), np.nan)
        dividend10 = np.full((D, N), np.nan)
        mu_path = np.empty((D, N))
        shares = np.empty((D, N))
        prev_close = np.full(N, np.nan)
        cum_split = np.ones(N)
        mu = rng.standard_normal(N) * 0.0008
        log_anchor = np.log(ipo_price)

        for t in range(D):
            mu = 0.97 * mu + mu_shocks[t]
            mu_path[t] = mu
            coef = split_coef[t]
            eff = np.where(np.isnan(coef), 10.0, coef)
            cum_split *= eff / 10.0
            shares[t] = self._shares0 * cum_split
            dq = div_yield[t]
            cash10 = _round_tick(dq * prev_close * 10.0)  # NaN where no dividend
            dividend10[t] = cash10
            base = np.where(listing_day[t], ipo_price, prev_close)
            r_t = (base - np.where(np.isnan(cash10), 0.0, cash10) / 10.0) * 10.0 / eff
            r_t = np.where(alive[t], r_t, np.nan)
            ref[t] = r_t
            up = _round_tick(r_t * (1.0 + limit))
            dn = np.maximum(_round_tick(r_t * (1.0 - limit)), 0.01)
            lim_up[t], lim_dn[t] = up, dn
            anchor = log_anchor + 0.00015 * t - np.log(cum_split)
            drift = mu - 0.003 * (np.log(r_t) - anchor)
            log_r = drift + shock[t]
            raw = r_t * np.exp(log_r)
            c = _round_tick(np.clip(raw, dn, up))
            susp_t = suspended[t]
            c = np.where(susp_t, prev_close, c)
            sealed_up = (raw > up * 1.03) & ~susp_t
            sealed_dn = (raw < dn * 0.97) & ~susp_t
            o = _round_tick(np.clip(r_t * np.exp(log_r * gap_share[t] + gap_noise[t]), dn, up))
            o = np.where(sealed_up, up, np.where(sealed_dn, dn, o))
            o = np.where(susp_t, np.nan, o)
            close[t], open_[t] = c, o
            ret[t] = np.where(susp_t, 0.0, c / r_t - 1.0)
            prev_close = np.where(alive[t], c, prev_close)

        self._alive = alive
        self._list_idx = list_idx
        self._suspended = suspended
        self._close, self._open, self._ref = close, open_, ref
        self._limit_up, self._limit_down = lim_up, lim_dn
        self._ret = ret
        self._dividend10 = np.where(alive, dividend10, np.nan)
        self._split = split_coef
        self._mu = mu_path
        self._alpha_noise = alpha_noise
        self._shares = shares

        # Intraday prices, all derived in one vectorised pass.
        traded = alive & ~suspended
        sealed = traded & ((close == open_) & ((close == lim_up) | (close == lim_dn)))
        vol_scale = self._idio_vol[None, :] + 0.01
        hi_base = np.maximum(open_, close)
        lo_base = np.minimum(open_, close)
        hi = _round_tick(np.minimum(hi_base * np.exp(np.abs(rng.standard_normal((D, N))) * 0.35 * vol_scale), lim_up))
        lo = _round_tick(np.maximum(lo_base * np.exp(-np.abs(rng.standard_normal((D, N))) * 0.35 * vol_scale), lim_dn))
        hi = np.where(sealed, close, hi)
        lo = np.where(sealed, close, lo)
        log_oc = np.log(close / open_)

        def window_vwap(weight, noise_scale):
            raw_v = open_ * np.exp(weight * log_oc + rng.standard_normal((D, N)) * noise_scale * vol_scale)
            v = np.clip(np.round(raw_v, 3), lo, hi)
            return np.where(sealed, close, v)

        self._vwap_buy = window_vwap(0.30, 0.25)    # 09:35-10:05
        self._vwap_sell = window_vwap(0.20, 0.20)   # 09:25-10:00
        day_vwap = np.clip(np.round((open_ + hi + lo + 2.0 * close) / 5.0
                                    * np.exp(rng.standard_normal((D, N)) * 0.002), 3), lo, hi)
        self._vwap_day = np.where(sealed, close, day_vwap)
        self._high, self._low = hi, lo
        self._sealed = sealed

        turnover = (self._base_turnover[None, :] * np.exp(rng.standard_normal((D, N)) * 0.4)
                    * (1.0 + 25.0 * np.abs(np.nan_to_num(ret))))
        turnover = np.where(sealed, turnover * 0.2, turnover)
        float_shares = shares * self._float_ratio[None, :]
        volume = np.round(turnover * float_shares / 100.0) * 100.0
        self._volume = np.where(traded, volume, np.where(alive, 0.0, np.nan))
        self._float_shares = float_shares

    def _draw_stocks(self, rng: np.random.Generator, N: int) -> None:
        names = [b[0] for b in _BOARDS]
        board = rng.choice(len(_BOARDS), N, p=[b[2] for b in _BOARDS])
        numbers = np.empty(N, dtype=np.int64)
        for k, (_, (lo, hi), _, _) in enumerate(_BOARDS):
            members = np.nonzero(board == k)[0]
            if len(members):
                if len(members) > hi - lo:
                    raise ValueError("股票数超出合成代码空间")
                picked = lo + rng.choice(hi - lo, len(members), replace=False)
                if lo in (1, 600000) and lo not in picked:
                    picked[0] = lo  # the familiar 000001 / 600000 are always there
                numbers[members] = picked
        order = np.argsort(numbers, kind="stable")
        board, numbers = board[order], numbers[order]
        suffix = np.where(numbers >= 600000, ".XSHG", ".XSHE")
        self.codes = [f"{n:06d}{s}" for n, s in zip(numbers, suffix)]
        self._code_pos = {c[:6]: i for i, c in enumerate(self.codes)}
        self.board = np.array([names[b] for b in board])
        self.limit_ratio = np.array([_BOARDS[b][3] for b in board])
        self.industry = rng.integers(1, _N_INDUSTRIES + 1, N)
        self._beta = rng.normal(1.0, 0.25, N).clip(0.3, 2.0)
        growth = np.isin(board, [1, 3])
        self._idio_vol = np.exp(rng.normal(np.log(0.016), 0.25, N)) * np.where(growth, 1.3, 1.0)
        self._ipo_price = _round_tick(np.exp(rng.normal(np.log(12.0), 0.7, N)).clip(2.0, 200.0))
        self._shares0 = np.exp(rng.normal(np.log(8e8), 1.0, N)).round(-4)
        self._float_ratio = rng.uniform(0.4, 0.95, N)
        self._base_turnover = np.exp(rng.normal(np.log(0.012), 0.5, N)) * np.where(growth, 1.8, 1.0)
        self._is_shanghai = numbers >= 600000
        self._is_chinext = board == 3

    # ------------------------------------------------------------- factors
    def _on_alive(self, values) -> np.ndarray:
        return np.where(self._alive, values, np.nan)

    @_factor("Open", "yuan", "price")
    def _f_open(self):
        """开盘价, 元 (不复权, 0.01 元价位); 停牌日缺失。"""
        return self._open

    @_factor("Close", "yuan", "price")
    def _f_close(self):
        """收盘价, 元 (不复权, 0.01 元价位); 停牌日沿用前一日收盘价。"""
        return self._close

    @_factor("High", "yuan", "price")
    def _f_high(self):
        """当日最高成交价, 元; 停牌日缺失。"""
        return self._high

    @_factor("Low", "yuan", "price")
    def _f_low(self):
        """当日最低成交价, 元; 停牌日缺失。"""
        return self._low

    @_factor("limit_up", "yuan", "price")
    def _f_limit_up(self):
        """涨停价, 元: 除权参考价乘以 1.1 (300xxx/301xxx/688xxx 为 1.2),
        四舍五入到 0.01 元; 每个上市日都有, 包括停牌日。"""
        return self._limit_up

    @_factor("limit_down", "yuan", "price")
    def _f_limit_down(self):
        """跌停价, 元: 除权参考价乘以 0.9 (300xxx/301xxx/688xxx 为 0.8),
        四舍五入到 0.01 元; 每个上市日都有, 包括停牌日。"""
        return self._limit_down

    @_factor("tick_vwap_price_935_1005", "yuan", "price")
    def _f_vwap_buy(self):
        """09:35-10:05 的成交量加权均价, 元 (三位小数); 一字涨跌停日等于
        涨跌停价; 停牌日缺失。"""
        return self._vwap_buy

    @_factor("tick_vwap_price_925_1000", "yuan", "price")
    def _f_vwap_sell(self):
        """09:25-10:00 (含开盘集合竞价) 的成交量加权均价, 元 (三位小数);
        一字涨跌停日等于涨跌停价; 停牌日缺失。"""
        return self._vwap_sell

    @_factor("vwap", "yuan", "price")
    def _f_vwap(self):
        """全天成交量加权均价, 元 (三位小数); 停牌日缺失。"""
        return self._vwap_day

    @_factor("volume", "shares", "trading")
    def _f_volume(self):
        """当日成交股数 (100 股整手); 停牌日为 0。"""
        return self._volume

    @_factor("amount", "yuan", "trading")
    def _f_amount(self):
        """成交金额, 元: 成交股数乘以当日均价; 停牌日为 0。"""
        return np.where(self._volume == 0, 0.0, self._volume * self._vwap_day)

    @_factor("turnover_rate", "ratio", "trading")
    def _f_turnover(self):
        """换手率: 成交股数除以流通股本 (比例, 0.01 即 1%)。"""
        return self._volume / self._float_shares

    @_factor("market_cap", "yuan", "valuation")
    def _f_market_cap(self):
        """总市值, 元: 收盘价乘以总股本。"""
        return self._close * self._shares

    @_factor("rq_is_suspended", "flag", "status")
    def _f_suspended(self):
        """停牌标记: 停牌日为 1.0, 交易日为 0.0; 每个上市日都有。"""
        return self._on_alive(self._suspended.astype(np.float64))

    @_factor("split_coefficient_to", "shares per 10 shares", "corporate_action")
    def _f_split(self):
        """送转股 (拆股) 系数: 除权日后每 10 股变为的股数 (13.0 即 10 股变
        13 股); 只在除权日有值。"""
        return self._split

    @_factor("rq_get_dividend", "yuan per 10 shares", "corporate_action")
    def _f_dividend(self):
        """现金分红: 除息日前每 10 股派发的现金, 元, 税前; 只在除息日有值。"""
        return self._dividend10

    @_factor("rq_industry_exposure_new", "industry code", "classification")
    def _f_industry(self):
        """行业暴露: 股票所属行业的代码 1..28 (每只股票一个行业); 每个上市日都有。"""
        return self._on_alive(np.broadcast_to(self.industry.astype(np.float64), self._alive.shape))

    @_factor("alpha1", "z-score", "research")
    def _f_alpha1(self):
        """合成预测信号: 对每只股票缓慢变化的预期收益的带噪观测, 每日做截面
        标准化 (无量纲 z-score, 越高越好); 当日收盘后可得。"""
        return _zscore_rows(self._on_alive(self._mu + self._alpha_noise))

    @_factor("alpha2", "z-score", "research")
    def _f_alpha2(self):
        """五日反转: 股票最近五个交易日复权 (拆股与分红调整) 收益的相反数,
        每日做截面标准化 (无量纲 z-score)。"""
        log_ret = np.log1p(np.where(np.isnan(self._ret), 0.0, self._ret))
        cum = np.cumsum(log_ret, axis=0)
        past = np.full_like(cum, np.nan)
        past[5:] = cum[5:] - cum[:-5]
        seasoned = np.arange(self.n_days)[:, None] >= self._list_idx[None, :] + 5
        return _zscore_rows(self._on_alive(np.where(seasoned, -past, np.nan)))

    # --------------------------------------------------- index membership
    def _rebalance_days(self) -> np.ndarray:
        days = [0]
        years = sorted({int(str(d)[:4]) for d in self.dates})
        for y in years:
            for m in (6, 12):
                pos = int(np.searchsorted(self.dates, np.datetime64(f"{y}-{m:02d}-15")))
                if 0 < pos < self.n_days:
                    days.append(pos)
        return np.array(sorted(set(days)))

    def _membership(self, code: str) -> np.ndarray:
        key = "__members__" + code
        cached = self._cache.get(key)
        if cached is not None:
            return cached
        alive = self._alive
        if code == "000001.XSHG":
            member = alive & self._is_shanghai[None, :]
        else:
            if code in _RANK_BANDS:
                universe = np.ones(self.n_stocks, bool)
                lo, hi = _RANK_BANDS[code]
            elif code == "399001.XSHE":
                universe, lo, hi = ~self._is_shanghai, 0.0, 0.5
            else:  # 399006.XSHE
                universe, lo, hi = self._is_chinext, 0.0, 0.5
            rebal = self._rebalance_days()
            cap = self._close * self._shares
            picks = np.zeros((len(rebal), self.n_stocks), bool)
            for k, r in enumerate(rebal):
                window = cap[max(0, r - 20):r] if r > 0 else cap[:1]
                valid = ~np.isnan(window)
                count = valid.sum(axis=0)
                with np.errstate(invalid="ignore", divide="ignore"):
                    avg = np.where(valid, window, 0.0).sum(axis=0) / count
                seasoned = (self._list_idx <= max(r - 60, 0)) & alive[r] & universe & ~np.isnan(avg)
                cand = np.nonzero(seasoned)[0]
                if len(cand) == 0:
                    continue
                order = cand[np.argsort(-avg[cand], kind="stable")]
                n = len(order)
                a, b = int(math.floor(lo * n)), int(math.floor(hi * n))
                if b <= a:
                    b = min(a + 1, n)
                picks[k, order[a:b]] = True
            seg = np.searchsorted(rebal, np.arange(self.n_days), side="right") - 1
            member = picks[seg] & alive
        member.setflags(write=False)
        self._cache[key] = member
        return member

    def _component(self, code: str) -> np.ndarray:
        return np.where(self._membership(code), 1.0, np.nan)

    @_factor("rq_index_components_new_000300.XSHG", "flag", "index_component")
    def _f_comp_300(self):
        """沪深 300 成分: 股票为成分股的每个交易日取 1.0 (只有成分股有数据行)。"""
        return self._component("000300.XSHG")

    @_factor("rq_index_components_new_000905.XSHG", "flag", "index_component")
    def _f_comp_905(self):
        """中证 500 成分: 股票为成分股的每个交易日取 1.0 (只有成分股有数据行)。"""
        return self._component("000905.XSHG")

    @_factor("rq_index_components_new_000852.XSHG", "flag", "index_component")
    def _f_comp_852(self):
        """中证 1000 成分: 股票为成分股的每个交易日取 1.0 (只有成分股有数据行)。"""
        return self._component("000852.XSHG")

    @_factor("rq_index_components_new_399303.XSHE", "flag", "index_component")
    def _f_comp_399303(self):
        """国证 2000 成分: 股票为成分股的每个交易日取 1.0 (只有成分股有数据行)。"""
        return self._component("399303.XSHE")

    @_factor("rq_index_components_new_932000.INDX", "flag", "index_component")
    def _f_comp_932000(self):
        """中证 2000 成分: 股票为成分股的每个交易日取 1.0 (只有成分股有数据行)。"""
        return self._component("932000.INDX")

    # ------------------------------------------------------------- indices
    def _compute_index(self, code: str) -> dict[str, np.ndarray]:
        member = self._membership(code)
        traded = member & ~self._suspended
        ref = self._ref
        prev_cap = np.empty_like(self._close)
        prev_cap[0] = ref[0] * self._shares[0]
        # Weight by the reference price (ex-rights previous close) times shares.
        prev_cap[1:] = ref[1:] * self._shares[1:]
        w = np.where(member & ~np.isnan(prev_cap), prev_cap, 0.0)
        total = w.sum(axis=1)
        safe_total = np.where(total > 0, total, 1.0)

        def weighted(price):
            rel = np.where(traded, price / ref - 1.0, 0.0)
            rel = np.nan_to_num(rel, nan=0.0, posinf=0.0, neginf=0.0)
            return np.where(total > 0, (w * rel).sum(axis=1) / safe_total, 0.0)

        r_close = weighted(self._close)
        r_close[0] = 0.0
        level_prev = INDEX_CODES[code] * np.concatenate([[1.0], np.cumprod(1.0 + r_close[1:])])
        prev = np.concatenate([[INDEX_CODES[code]], level_prev[:-1]])
        bars = {
            "open": np.round(prev * (1.0 + weighted(self._open)), 3),
            "high": np.round(prev * (1.0 + weighted(self._high)), 3),
            "low": np.round(prev * (1.0 + weighted(self._low)), 3),
            "close": np.round(level_prev, 3),
            "volume": np.where(member, np.nan_to_num(self._volume), 0.0).sum(axis=1),
        }
        bars["open"][0] = bars["close"][0]
        bars["high"][0] = max(bars["high"][0], bars["close"][0])
        bars["low"][0] = min(bars["low"][0], bars["close"][0])
        bars["high"] = np.maximum.reduce([bars["high"], bars["open"], bars["close"]])
        bars["low"] = np.minimum.reduce([bars["low"], bars["open"], bars["close"]])
        for v in bars.values():
            v.setflags(write=False)
        return bars
