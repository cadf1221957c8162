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

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from . import defaults
from .indices import COMPONENT_FACTORS, INDEX_CODES, index_bars, index_membership
from .trading_calendar import holidays, trading_days

__all__ = [
    "SyntheticMarket",
    "FactorInfo",
    "INDEX_CODES",
    "market_days",
    "COMPONENT_FACTORS",
    "trading_days",
    "holidays",
]

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


def market_days(n_stocks: int, start, end) -> np.ndarray:
    """``SyntheticMarket(seed, n_stocks, start, end).dates``, without making the market;
    parameters that make no market raise ``ValueError`` here as they would there."""
    if int(n_stocks) < 1:
        raise ValueError("n_stocks 至少为 1")
    days = trading_days(start, end)
    if len(days) < 2:
        raise ValueError("日期区间内至少要有两个交易日")
    return days


class _Drivers(NamedTuple):
    """Random drivers of the daily price walk, ``(n_days, n_stocks)`` each."""

    shock: np.ndarray  # market, industry, idiosyncratic and jump moves
    gap_share: np.ndarray  # share of the day's move already in the open
    gap_noise: np.ndarray
    mu_shocks: np.ndarray  # innovations of the slowly moving expected return


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

    def __init__(
        self,
        seed: int = defaults.SEED,
        n_stocks: int = defaults.N_STOCKS,
        start=defaults.START,
        end=defaults.END,
    ) -> None:
        self.seed = int(seed)
        self.n_stocks = int(n_stocks)
        self.dates = market_days(n_stocks, start, end)
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
            bars = index_bars(self, self._membership(code), INDEX_CODES[code])
            self._index_cache[code] = bars
        return bars

    def stock_index(self, code: str) -> int | None:
        """股票所在的列号; 代码可以是六位数字或带任意交易所后缀。"""
        return self._code_pos.get(str(code).strip()[:6])

    # ------------------------------------------------------------ simulation
    def _simulate(self) -> None:
        # One generator feeds every step in this order; the order of the draws
        # is what makes a seed reproduce the same market.
        rng = np.random.default_rng(self.seed)
        self._draw_stocks(rng, self.n_stocks)
        self._draw_listings(rng)
        self._draw_suspensions(rng)
        dividend_yield, split_coef = self._draw_corporate_actions(rng)
        drivers = self._draw_drivers(rng)
        self._walk_prices(rng, drivers, dividend_yield, split_coef)
        self._derive_intraday(rng)

    def _draw_listings(self, rng: np.random.Generator) -> None:
        """Listing and delisting days; a stock is alive from one to the other."""
        D, N = self.n_days, self.n_stocks
        days_idx = np.arange(D)
        listed_later = rng.random(N) < 0.18
        list_idx = np.where(listed_later, rng.integers(1, max(2, D - 20), N), 0)
        delists = rng.random(N) < 0.02
        delist_at = list_idx + 60 + (rng.random(N) * max(D - 60, 1)).astype(np.int64)
        delist_idx = np.where(delists & (delist_at < D), delist_at, D)
        self._alive = (days_idx[:, None] >= list_idx[None, :]) & (days_idx[:, None] < delist_idx[None, :])
        self._listing_day = days_idx[:, None] == list_idx[None, :]
        self._list_idx = list_idx

    def _draw_suspensions(self, rng: np.random.Generator) -> None:
        """Suspension spells, never on a listing day."""
        D, N = self.n_days, self.n_stocks
        susp_edges = np.zeros((D + 1, N), dtype=np.int32)
        n_spells = rng.poisson(0.8 * D / 250.0, N)
        for i in np.nonzero(n_spells)[0]:
            starts = rng.integers(0, D, n_spells[i])
            long_spell = rng.random(n_spells[i]) < 0.1
            lengths = np.where(
                long_spell, rng.integers(20, 60, n_spells[i]), rng.geometric(0.35, n_spells[i])
            )
            np.add.at(susp_edges[:, i], starts, 1)
            np.add.at(susp_edges[:, i], np.minimum(starts + lengths, D), -1)
        self._suspended = (np.cumsum(susp_edges[:-1], axis=0) > 0) & self._alive & ~self._listing_day

    def _draw_corporate_actions(self, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
        """Dividend yields and bonus split coefficients, on one ex-date a year in Jun-Jul."""
        D, N = self.n_days, self.n_stocks
        days_idx = np.arange(D)
        months = self.dates.astype("datetime64[M]").astype(np.int64) % 12 + 1
        years = self.dates.astype("datetime64[Y]").astype(np.int64) + 1970
        div_yield = np.full((D, N), np.nan)
        split_coef = np.full((D, N), np.nan)
        eligible = self._alive & ~self._suspended & (days_idx[:, None] > self._list_idx[None, :])
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
        return div_yield, split_coef

    def _draw_drivers(self, rng: np.random.Generator) -> _Drivers:
        """The random drivers of the daily moves; also the noise of ``alpha1``."""
        D, N = self.n_days, self.n_stocks
        market = rng.standard_t(4, D) * 0.012 / math.sqrt(2.0) + 0.0002
        industry_moves = rng.standard_normal((D, _N_INDUSTRIES)) * 0.008
        eps = rng.standard_t(3, (D, N)) / math.sqrt(3.0) * self._idio_vol[None, :]
        jumps = np.where(
            rng.random((D, N)) < 0.012,
            rng.choice([-1.0, 1.0], (D, N), p=[0.4, 0.6]) * rng.normal(0.09, 0.04, (D, N)),
            0.0,
        )
        gap_share = rng.uniform(0.15, 0.6, (D, N))
        gap_noise = rng.standard_normal((D, N)) * 0.004
        mu_shocks = rng.standard_normal((D, N)) * 0.0008 * math.sqrt(1 - 0.97**2)
        self._alpha_noise = rng.standard_normal((D, N)) * 0.0008
        shock = (
            self._beta[None, :] * market[:, None] + industry_moves[:, self.industry - 1] * 0.9 + eps + jumps
        )
        return _Drivers(shock, gap_share, gap_noise, mu_shocks)

    def _walk_prices(
        self, rng: np.random.Generator, drivers: _Drivers, div_yield: np.ndarray, split_coef: np.ndarray
    ) -> None:
        """Day by day: ex-rights reference, price limits, open and close."""
        D, N = self.n_days, self.n_stocks
        alive, listing_day, suspended = self._alive, self._listing_day, self._suspended
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
            mu = 0.97 * mu + drivers.mu_shocks[t]
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
            log_r = drift + drivers.shock[t]
            raw = r_t * np.exp(log_r)
            c = _round_tick(np.clip(raw, dn, up))
            susp_t = suspended[t]
            c = np.where(susp_t, prev_close, c)
            sealed_up = (raw > up * 1.03) & ~susp_t
            sealed_dn = (raw < dn * 0.97) & ~susp_t
            o = _round_tick(
                np.clip(r_t * np.exp(log_r * drivers.gap_share[t] + drivers.gap_noise[t]), dn, up)
            )
            o = np.where(sealed_up, up, np.where(sealed_dn, dn, o))
            o = np.where(susp_t, np.nan, o)
            close[t], open_[t] = c, o
            ret[t] = np.where(susp_t, 0.0, c / r_t - 1.0)
            prev_close = np.where(alive[t], c, prev_close)

        self._close, self._open, self._ref = close, open_, ref
        self._limit_up, self._limit_down = lim_up, lim_dn
        self._ret = ret
        self._dividend10 = np.where(alive, dividend10, np.nan)
        self._split = split_coef
        self._mu = mu_path
        self._shares = shares

    def _derive_intraday(self, rng: np.random.Generator) -> None:
        """High, low, the VWAPs and volume, all derived in one vectorised pass."""
        D, N = self.n_days, self.n_stocks
        close, open_ = self._close, self._open
        lim_up, lim_dn = self._limit_up, self._limit_down
        traded = self._alive & ~self._suspended
        sealed = traded & ((close == open_) & ((close == lim_up) | (close == lim_dn)))
        vol_scale = self._idio_vol[None, :] + 0.01
        hi_base = np.maximum(open_, close)
        lo_base = np.minimum(open_, close)
        hi = _round_tick(
            np.minimum(hi_base * np.exp(np.abs(rng.standard_normal((D, N))) * 0.35 * vol_scale), lim_up)
        )
        lo = _round_tick(
            np.maximum(lo_base * np.exp(-np.abs(rng.standard_normal((D, N))) * 0.35 * vol_scale), lim_dn)
        )
        hi = np.where(sealed, close, hi)
        lo = np.where(sealed, close, lo)
        log_oc = np.log(close / open_)

        def window_vwap(weight, noise_scale):
            raw_v = open_ * np.exp(weight * log_oc + rng.standard_normal((D, N)) * noise_scale * vol_scale)
            v = np.clip(np.round(raw_v, 3), lo, hi)
            return np.where(sealed, close, v)

        self._vwap_buy = window_vwap(0.30, 0.25)  # 09:35-10:05
        self._vwap_sell = window_vwap(0.20, 0.20)  # 09:25-10:00
        day_vwap = np.clip(
            np.round((open_ + hi + lo + 2.0 * close) / 5.0 * np.exp(rng.standard_normal((D, N)) * 0.002), 3),
            lo,
            hi,
        )
        self._vwap_day = np.where(sealed, close, day_vwap)
        self._high, self._low = hi, lo
        self._sealed = sealed

        turnover = (
            self._base_turnover[None, :]
            * np.exp(rng.standard_normal((D, N)) * 0.4)
            * (1.0 + 25.0 * np.abs(np.nan_to_num(self._ret)))
        )
        turnover = np.where(sealed, turnover * 0.2, turnover)
        float_shares = self._shares * self._float_ratio[None, :]
        volume = np.round(turnover * float_shares / 100.0) * 100.0
        self._volume = np.where(traded, volume, np.where(self._alive, 0.0, np.nan))
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
    def _membership(self, code: str) -> np.ndarray:
        key = "__members__" + code
        cached = self._cache.get(key)
        if cached is None:
            cached = index_membership(self, code)
            cached.setflags(write=False)
            self._cache[key] = cached
        return cached

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
