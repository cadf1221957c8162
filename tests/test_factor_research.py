"""Factor research: factors from the service land on a store's axes exactly as
pandas' pivot would put them there; forward returns with splits and dividends
and every IC table against pandas transcriptions."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import tolvane
from tolvane import singleton
from tolvane.backtest import (
    BinaryPreparedDataStore,
    calc_factor_ic,
    calc_factor_ic_by_horizon,
    calc_forward_returns,
    load_factors,
    read_factor_file,
)
from tolvane.sandbox.package import market_payload

from reference.factor_analysis import transcribed_ic

# --- transcriptions ---------------------------------------------------------


def pandas_pivot(answer: pd.DataFrame, name: str, index, columns) -> pd.DataFrame:
    rows = answer[answer["factor"] == name].assign(
        date=pd.to_datetime(answer["date"]).dt.strftime("%Y%m%d"), ukey=answer["ukey"].astype(str).str[:6]
    )
    rows = rows.dropna(subset=["date", "ukey", "value"]).drop_duplicates(["date", "ukey"], keep="last")
    wide = rows.pivot(index="date", columns="ukey", values="value").replace([np.inf, -np.inf], np.nan)
    return wide.reindex(index=index, columns=columns).astype(float)


def transcribed_forward_returns(open_price, split, dividend, horizon):
    """Hold one share from the open of T+1 to the open of T+1+h; on an ex-day
    the share becomes `split` shares plus `dividend` cash, put back at the open."""
    cash = dividend.fillna(0.0)
    growth = split.fillna(1.0) + (cash / open_price).where(cash != 0.0, 0.0)
    product = pd.DataFrame(1.0, index=open_price.index, columns=open_price.columns)
    for step in range(2, horizon + 2):
        product = product * growth.shift(-step)
    returns = open_price.shift(-1 - horizon) / open_price.shift(-1) * product - 1
    return returns.where(np.isfinite(returns))


def transcribed_summary(ic: pd.Series) -> dict:
    valid = ic.dropna()
    mean, std = valid.mean(), valid.std(ddof=1)
    centred = valid - mean
    second = (centred**2).mean()
    return {
        "ic_mean": mean,
        "ic_std": std,
        "ic_ir": mean / std,
        "t_stat": mean / std * np.sqrt(len(valid)),
        "positive_ratio": (valid > 0).mean(),
        "skew": (centred**3).mean() / second**1.5,
        "kurtosis": (centred**4).mean() / second**2 - 3,
        "days": len(valid),
    }


# --- factors onto a store's axes --------------------------------------------


@pytest.fixture
def service(sandbox):
    yield tolvane.init(sandbox.api_key, sandbox.api_secret, base_url=sandbox.base_url)
    singleton.reset()


@pytest.fixture(scope="module")
def sandbox_store(sandbox_server, tmp_path_factory):
    folder = tmp_path_factory.mktemp("factor-store")
    BinaryPreparedDataStore(folder).write(market_payload(sandbox_server.market))
    return BinaryPreparedDataStore(folder)


def test_factors_land_on_the_store_axes_as_the_pandas_pivot_puts_them(service, sandbox_store):
    close = sandbox_store.load()["close_price"]
    loaded = load_factors(["alpha1", "alpha2"], close)
    answer = service.get_factors(factor=["alpha1", "alpha2"], start_date="2022-01-01", end_date="2023-12-31")
    assert list(loaded) == ["alpha1", "alpha2"]
    for name, matrix in loaded.items():
        assert matrix.index.equals(close.index) and matrix.columns.equals(close.columns)
        pd.testing.assert_frame_equal(
            matrix, pandas_pivot(answer, name, close.index, close.columns), obj=name
        )
        assert matrix.notna().mean().mean() > 0.5

    # A store (or its folder) gives its own axes; one name gives one frame.
    alpha1 = load_factors("alpha1", sandbox_store.store_dir)
    pd.testing.assert_frame_equal(alpha1, loaded["alpha1"])


def test_factors_on_chosen_axes_drop_what_lies_outside_and_keep_the_last_row():
    """Any frame's axes, in any order, with dates and stocks the answer lacks;
    duplicate rows, exchange suffixes, infinities and holes."""
    answer = pd.DataFrame(
        {
            "date": [
                "2024-01-02",
                "2024-01-02",
                "2024-01-03",
                "2024-01-03",
                "2024-01-03",
                "2024-01-04",
                None,
                "2024-01-05",
                "2024-01-02",
            ],
            "ukey": [
                "000001.XSHE",
                "600000.XSHG",
                "000001.XSHE",
                "000001.XSHG",
                "600000.XSHG",
                "600000.XSHG",
                "000001.XSHE",
                "000001.XSHE",
                "600000.XSHG",
            ],
            "value": [1.0, 2.0, 3.0, 4.0, np.inf, 6.0, 7.0, np.nan, 9.0],
            "factor": ["f"] * 8 + ["g"],
        }
    )

    class Service:
        def get_factors(self, factor, start_date, end_date):
            self.query = (factor, start_date, end_date)
            return answer

    service = Service()
    like = pd.DataFrame(
        0.0,
        index=pd.Index(["20240105", "20240103", "20240102", "20231229"], name="DataDate"),
        columns=pd.Index(["600000", "000001", "300001"], name="ukey"),
    )
    matrices = load_factors(["f", "g", "missing"], like, service=service)
    assert service.query == (["f", "g", "missing"], "2023-12-29", "2024-01-05")
    for name in ("f", "g", "missing"):
        expected = (
            pandas_pivot(answer, name, like.index, like.columns) if name != "missing" else like * np.nan
        )
        pd.testing.assert_frame_equal(matrices[name], expected, check_names=False, obj=name)
    # The later of two rows of one cell wins, an infinite value is missing.
    assert matrices["f"].loc["20240103", "000001"] == 4.0
    assert np.isnan(matrices["f"].loc["20240103", "600000"])

    # Dates given as timestamps are matched by day and kept as given.
    dated = like.set_axis(pd.to_datetime(like.index), axis=0)
    pd.testing.assert_frame_equal(
        load_factors("f", dated, service=service), matrices["f"].set_axis(dated.index, axis=0)
    )
    with pytest.raises(ValueError, match="不重复"):
        load_factors("f", like.iloc[[0, 0]], service=service)
    with pytest.raises(ValueError, match="没有给出因子名"):
        load_factors(" , ", like, service=service)


def test_factor_files_long_and_wide_keep_missing_values(tmp_path):
    long = pd.DataFrame(
        {
            "date": ["2024-01-03", "2024-01-02", "2024-01-02"],
            "ukey": ["000001.XSHE", "000001.XSHE", "600000.XSHG"],
            "value": [1.5, np.nan, -2.0],
        }
    )
    long.to_csv(tmp_path / "long.csv", index=False)
    factor = read_factor_file(tmp_path / "long.csv")
    assert list(factor.index) == ["20240102", "20240103"] and list(factor.columns) == ["000001", "600000"]
    assert np.isnan(factor.loc["20240102", "000001"]) and np.isnan(factor.loc["20240103", "600000"])
    factor.to_parquet(tmp_path / "wide.parquet")
    pd.testing.assert_frame_equal(read_factor_file(tmp_path / "wide.parquet"), factor)
    with pytest.raises(FileNotFoundError, match="因子文件不存在"):
        read_factor_file(tmp_path / "nothing.csv")


# --- forward returns and IC tables ------------------------------------------


def corporate_action_market(n_days=160, n_stocks=30, seed=4):
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2023-10-02", periods=n_days).strftime("%Y%m%d"))
    stocks = pd.Index([f"{600000 + j}" for j in range(n_stocks)])
    shape = (n_days, n_stocks)
    open_price = pd.DataFrame(10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0)), dates, stocks)
    open_price[rng.random(shape) < 0.03] = np.nan  # suspensions
    split = pd.DataFrame(np.where(rng.random(shape) < 0.02, 1.3, np.nan), dates, stocks)
    dividend = pd.DataFrame(np.where(rng.random(shape) < 0.03, 0.25, np.nan), dates, stocks)
    dividend.iloc[5, 0] = 0.4  # a dividend on a day without an open
    open_price.iloc[5, 0] = np.nan
    open_price.iloc[7, 1] = 0.0  # an infinite ratio is missing
    return {"open_price": open_price, "rq_get_split": split, "rq_get_dividend": dividend}


def test_forward_returns_follow_the_holder_through_splits_and_dividends():
    data = corporate_action_market()
    returns = calc_forward_returns(data, horizons=(1, 3, 20))
    assert list(returns) == [1, 3, 20]
    for horizon, matrix in returns.items():
        expected = transcribed_forward_returns(
            data["open_price"], data["rq_get_split"], data["rq_get_dividend"], horizon
        )
        pd.testing.assert_frame_equal(matrix, expected, rtol=1e-13, atol=1e-13, obj=str(horizon))
        assert matrix.iloc[-1 - horizon :].isna().all(axis=None)
    # Without an action in the period, horizon 1 is the ratio the store's rank cache ranks.
    plain = data["open_price"].shift(-2) / data["open_price"].shift(-1) - 1
    quiet = (data["rq_get_split"].isna() & data["rq_get_dividend"].isna()).shift(-2, fill_value=True)
    np.testing.assert_allclose(returns[1].where(quiet), plain.where(quiet & np.isfinite(plain)), rtol=1e-15)

    # Matrices of another order or length are aligned to the open prices first.
    shuffled = {**data, "rq_get_split": data["rq_get_split"].iloc[::-1, ::-1].iloc[:-3]}
    trimmed = data["rq_get_split"].copy()
    trimmed.iloc[:3] = np.nan
    pd.testing.assert_frame_equal(
        calc_forward_returns(shuffled, (3,))[3],
        calc_forward_returns({**data, "rq_get_split": trimmed}, (3,))[3],
    )
    for bad in ([0], [1.5], [], [1, 1]):
        with pytest.raises(ValueError, match="持有期"):
            calc_forward_returns(data, bad)
    with pytest.raises(KeyError, match="rq_get_dividend"):
        calc_forward_returns({"open_price": data["open_price"], "rq_get_split": data["rq_get_split"]})


def test_every_ic_table_is_its_pandas_transcription():
    data = corporate_action_market(n_days=300)
    rng = np.random.default_rng(9)
    factor = pd.DataFrame(
        rng.normal(size=data["open_price"].shape).round(1),
        index=data["open_price"].index,
        columns=data["open_price"].columns,
    )
    factor[rng.random(factor.shape) < 0.1] = np.nan
    returns = calc_forward_returns(data, (1, 5))
    result = calc_factor_ic_by_horizon(factor, returns)

    assert result.horizons == [1, 5]
    dated = pd.to_datetime(factor.index)
    for horizon in (1, 5):
        daily = transcribed_ic(factor, returns[horizon])
        np.testing.assert_allclose(result.daily_ic[horizon], daily, rtol=1e-12, atol=1e-14)
        expected = transcribed_summary(daily)
        for column, value in expected.items():
            assert result.summary.loc[horizon, column] == pytest.approx(value, rel=1e-10), column
        by_year = daily.set_axis(dated).groupby(dated.year)
        for year, part in by_year:
            row = result.yearly[horizon].loc[year]
            assert row["days"] == part.notna().sum()
            assert row["ic_mean"] == pytest.approx(part.mean()) and row["t_stat"] == pytest.approx(
                transcribed_summary(part)["t_stat"]
            )
        monthly = daily.set_axis(dated).groupby([dated.year, dated.month]).mean()
        table = result.monthly[horizon]
        assert list(table.columns) == list(range(1, 13))
        for (year, month), value in monthly.items():
            assert table.loc[year, month] == pytest.approx(value)
        assert table.notna().sum().sum() == monthly.notna().sum()
    pd.testing.assert_frame_equal(result.decay, result.summary[["ic_mean", "ic_ir"]])
    # One horizon in the form the group chart takes.
    single = result.factor_ic(5)
    assert single.ic_mean == result.summary.loc[5, "ic_mean"] and len(single.yearly) == 2


def test_horizon_one_ic_is_the_rank_cache_ic_away_from_corporate_actions(sandbox_server, tmp_path):
    from tolvane.sandbox.market import SyntheticMarket

    BinaryPreparedDataStore(tmp_path).write(
        market_payload(SyntheticMarket(seed=5, n_stocks=60, start="2023-01-01", end="2023-12-31"))
    )
    store = BinaryPreparedDataStore(tmp_path)
    data = store.load()
    factor = -data["close_price"].pct_change(5, fill_method=None)
    returns = calc_forward_returns(store, (1,))  # a store is read for its three matrices
    actions = (data["rq_get_split"].notna() | (data["rq_get_dividend"].fillna(0) != 0)).shift(
        -2, fill_value=False
    )
    assert actions.any(axis=None)  # the market has ex-days in this year
    quiet_days = ~actions.any(axis=1)
    by_horizon = calc_factor_ic_by_horizon(factor, returns).daily_ic[1]
    cache = calc_factor_ic(factor, data["forward_return_rank_cache"]).daily_ic
    both = quiet_days & by_horizon.notna()
    assert both.sum() > 150
    np.testing.assert_allclose(by_horizon[both], cache[both], rtol=0, atol=1e-12)
