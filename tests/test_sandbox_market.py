"""Synthetic market: determinism, calendar, and internal consistency of the data."""

import hashlib

import numpy as np
import pytest

from tolvane.sandbox.market import COMPONENT_FACTORS, INDEX_CODES, SyntheticMarket, trading_days


@pytest.fixture(scope="module")
def market():
    return SyntheticMarket(seed=3, n_stocks=150, start="2021-01-01", end="2023-12-31")


def _round_tick(x):
    return np.floor(x * 100 + 0.5 + 1e-7) / 100


def _prev(a):
    out = np.full_like(a, np.nan)
    out[1:] = a[:-1]
    return out


def test_same_inputs_give_the_same_market_and_other_seeds_differ():
    a = SyntheticMarket(seed=5, n_stocks=30, start="2022-01-01", end="2022-12-31")
    b = SyntheticMarket(seed=5, n_stocks=30, start="2022-01-01", end="2022-12-31")
    c = SyntheticMarket(seed=6, n_stocks=30, start="2022-01-01", end="2022-12-31")
    assert a.codes == b.codes
    for name in a.factor_names():
        np.testing.assert_array_equal(a.factor(name), b.factor(name), err_msg=name)
    for code in INDEX_CODES:
        np.testing.assert_array_equal(a.index_bars(code)["close"], b.index_bars(code)["close"])
    assert a.codes != c.codes or not np.array_equal(a.factor("Close"), c.factor("Close"), equal_nan=True)


def test_calendar_skips_weekends_and_holidays():
    days = trading_days("2024-01-01", "2024-12-31")
    as_dates = [d.astype(object) for d in days]
    assert all(d.weekday() < 5 for d in as_dates)
    assert np.all(np.diff(days.astype(np.int64)) > 0)
    for holiday in ("2024-01-01", "2024-02-12", "2024-05-01", "2024-10-01", "2024-10-07"):
        assert np.datetime64(holiday) not in days
    assert np.datetime64("2024-01-02") in days and np.datetime64("2024-10-08") in days
    assert 235 <= len(days) <= 250
    assert len(trading_days("20240106", 20240107)) == 0  # a weekend
    with pytest.raises(ValueError):
        SyntheticMarket(n_stocks=5, start="2024-01-06", end="2024-01-07")


def test_codes_suffixes_and_price_limit_ratios(market):
    assert len(set(market.codes)) == market.n_stocks == len(market.codes)
    for code, ratio in zip(market.codes, market.limit_ratio):
        digits, suffix = code.split(".")
        assert len(digits) == 6 and digits.isdigit()
        assert suffix == ("XSHG" if digits.startswith("6") else "XSHE")
        assert ratio == (0.2 if digits[:3] in ("300", "301", "688") else 0.1)
        assert market.stock_index(digits + ".SZ") == market.codes.index(code)
    assert market.stock_index("999999") is None


def test_limits_bracket_every_traded_price(market):
    lu, ld = market.factor("limit_up"), market.factor("limit_down")
    close = market.factor("Close")
    present = ~np.isnan(close)
    assert np.all(~np.isnan(lu[present])) and np.all(~np.isnan(ld[present]))
    for name in (
        "Open",
        "Close",
        "High",
        "Low",
        "tick_vwap_price_935_1005",
        "tick_vwap_price_925_1000",
        "vwap",
    ):
        v = market.factor(name)
        ok = ~np.isnan(v)
        assert np.all(v[ok] <= lu[ok] + 1e-9), name
        assert np.all(v[ok] >= ld[ok] - 1e-9), name
    high, low = market.factor("High"), market.factor("Low")
    traded = ~np.isnan(high)
    for name in ("Open", "Close", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        v = market.factor(name)[traded]
        assert np.all((low[traded] - 1e-9 <= v) & (v <= high[traded] + 1e-9)), name
    # Limit days happen, and on sealed ones both morning VWAPs sit exactly at the limit.
    buy, sell = market.factor("tick_vwap_price_935_1005"), market.factor("tick_vwap_price_925_1000")
    assert np.sum(close == lu) > 20 and np.sum(close == ld) > 5
    assert np.sum(buy == lu) > 5 and np.sum(sell == ld) > 2
    assert np.all(sell[buy == lu] == lu[buy == lu])


def test_limit_prices_follow_the_previous_close_off_ex_dates(market):
    close, lu, ld = market.factor("Close"), market.factor("limit_up"), market.factor("limit_down")
    prev = _prev(close)
    ex = ~np.isnan(market.factor("split_coefficient_to")) | ~np.isnan(market.factor("rq_get_dividend"))
    ok = ~np.isnan(prev) & ~np.isnan(close) & ~ex
    ratio = np.broadcast_to(market.limit_ratio, close.shape)
    np.testing.assert_allclose(lu[ok], _round_tick(prev[ok] * (1 + ratio[ok])), atol=1e-9)
    np.testing.assert_allclose(ld[ok], _round_tick(prev[ok] * (1 - ratio[ok])), atol=1e-9)


def test_suspended_days_carry_the_close_and_have_no_vwap(market):
    flag = market.factor("rq_is_suspended")
    close = market.factor("Close")
    assert set(np.unique(flag[~np.isnan(flag)])) == {0.0, 1.0}
    np.testing.assert_array_equal(np.isnan(flag), np.isnan(close))  # flag on every listed day
    susp = flag == 1.0
    assert 0 < susp.mean() < 0.1
    for name in ("Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000", "vwap"):
        assert np.all(np.isnan(market.factor(name)[susp])), name
        assert not np.any(np.isnan(market.factor(name)[flag == 0.0])), name
    prev = _prev(close)
    carried = susp & ~np.isnan(prev)
    np.testing.assert_array_equal(close[carried], prev[carried])
    assert np.all(market.factor("volume")[susp] == 0)


def test_splits_and_dividends_line_up_with_the_ex_date_price(market):
    split = market.factor("split_coefficient_to")
    cash = market.factor("rq_get_dividend")
    close, lu = market.factor("Close"), market.factor("limit_up")
    prev = _prev(close)
    ratio = np.broadcast_to(market.limit_ratio, close.shape)
    ex = ~np.isnan(split) | ~np.isnan(cash)
    assert np.sum(~np.isnan(split)) > 5 and np.sum(~np.isnan(cash)) > 50
    assert set(np.unique(split[~np.isnan(split)])) <= {12.0, 13.0, 15.0, 20.0}
    assert np.all(cash[~np.isnan(cash)] > 0)
    # Corporate actions fall on traded days of listed stocks only.
    assert not np.any(market.factor("rq_is_suspended")[ex] == 1.0)
    coef = np.where(np.isnan(split), 10.0, split)
    ref = (prev - np.nan_to_num(cash) / 10) * 10 / coef
    ok = ex & ~np.isnan(prev)
    np.testing.assert_allclose(lu[ok], _round_tick(ref[ok] * (1 + ratio[ok])), atol=1e-9)
    # Against the ex-rights reference the move stays within the limit ...
    adjusted = close[ok] / ref[ok] - 1
    assert np.all(np.abs(adjusted) <= ratio[ok] + 0.01)
    # ... while the raw price of a split day falls by about the split ratio.
    splits = ~np.isnan(split) & ~np.isnan(prev)
    raw = close[splits] / prev[splits]
    np.testing.assert_allclose(raw * split[splits] / 10, 1.0, atol=0.25)
    assert np.median(raw) < 0.9


def test_index_components_are_member_only_rank_bands(market):
    close = market.factor("Close")
    cap = market.factor("market_cap")
    members = {}
    for name, code in COMPONENT_FACTORS.items():
        comp = market.factor(name)
        assert set(np.unique(comp[~np.isnan(comp)])) == {1.0}, name
        assert not np.any(np.isnan(close[comp == 1.0])), name  # members are listed
        members[code] = comp == 1.0
    big, mid, small = members["000300.XSHG"], members["000905.XSHG"], members["000852.XSHG"]
    assert not np.any(big & mid) and not np.any(mid & small) and not np.any(big & small)
    day = 0
    assert big[day].sum() >= 1 and mid[day].sum() >= 1 and small[day].sum() >= 1
    assert np.min(cap[day][big[day]]) > np.max(cap[day][small[day]])
    assert np.median(cap[day][big[day]]) > np.median(cap[day][mid[day]]) > np.median(cap[day][small[day]])


def test_index_bars_are_consistent_and_track_their_members(market):
    for code in INDEX_CODES:
        bars = market.index_bars(code)
        assert {"open", "high", "low", "close", "volume"} <= set(bars)
        assert all(len(v) == market.n_days for v in bars.values())
        assert np.all(bars["low"] <= np.minimum(bars["open"], bars["close"]))
        assert np.all(bars["high"] >= np.maximum(bars["open"], bars["close"]))
        assert np.all(bars["close"] > 0) and np.all(bars["volume"] >= 0)
    close = market.factor("Close")
    member = market.factor("rq_index_components_new_000300.XSHG") == 1.0
    stock_ret = close / _prev(close) - 1
    equal_weight = np.nanmean(np.where(member, stock_ret, np.nan)[1:], axis=1)
    index_close = market.index_bars("000300.XSHG")["close"]
    index_ret = index_close[1:] / index_close[:-1] - 1
    assert np.corrcoef(equal_weight, index_ret)[0, 1] > 0.8
    with pytest.raises(KeyError):
        market.index_bars("000000.XSHG")


def test_alpha1_forecasts_next_day_returns(market):
    alpha = market.factor("alpha1")
    close = market.factor("Close")
    ret_next = np.full_like(close, np.nan)
    ret_next[:-1] = close[1:] / close[:-1] - 1
    ics = []
    for a, r in zip(alpha[:-1], ret_next[:-1]):
        ok = ~np.isnan(a) & ~np.isnan(r)
        if ok.sum() > 20:
            ics.append(np.corrcoef(a[ok], r[ok])[0, 1])
    assert 0.01 < np.mean(ics) < 0.2
    np.testing.assert_allclose(np.nanmean(alpha, axis=1)[5:], 0.0, atol=1e-9)


PINNED_MARKET_DIGEST = "caad74cb9f6e08f9c2f4b6817435d54f502d19109f2b24190aa63f1900369e76"


def market_fingerprint(market) -> str:
    """A digest of everything the market serves. Values go in as float32, so a
    reordered random draw changes it while last-bit differences of exp/log
    between machines do not."""
    digest = hashlib.sha256()
    digest.update("\n".join(market.codes).encode())
    digest.update(market.dates.astype("int64").tobytes())
    for name in market.factor_names():
        digest.update(name.encode())
        digest.update(market.factor(name).astype(np.float32).tobytes())
    for code in INDEX_CODES:
        for field, values in sorted(market.index_bars(code).items()):
            digest.update(f"{code}:{field}".encode())
            digest.update(values.astype(np.float32).tobytes())
    return digest.hexdigest()


def test_seeded_market_is_pinned():
    # Changing the market (or the order of its random draws) changes every
    # backtest, sandbox answer and demo figure built on it.
    market = SyntheticMarket(seed=7, n_stocks=60, start="2022-01-01", end="2023-12-31")
    assert market_fingerprint(market) == PINNED_MARKET_DIGEST
