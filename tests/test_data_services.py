"""Factor, index bar and quota queries over real HTTP against the sandbox service."""

from __future__ import annotations

import datetime as dt
import traceback

import httpx
import numpy as np
import pandas as pd
import pytest

from tolvane import singleton
from tolvane._factor import FactorService
from tolvane._http import API_PREFIX, HttpClient
from tolvane._index_day import IndexDayService
from tolvane._quota import QuotaService
from tolvane.exceptions import ApiError, NetworkError, QuotaExceededError
from tolvane.sandbox import Faults

FACTORS_STREAM = API_PREFIX + "/factors/stream"
INDEX_STREAM = API_PREFIX + "/index-day/stream"
AFTER_THE_MARKET = {"start_date": 20300101, "end_date": 20300201}


@pytest.fixture
def http(sandbox):
    with HttpClient(sandbox.base_url, sandbox.api_key, sandbox.api_secret, timeout=10) as client:
        yield client


@pytest.fixture
def received(sandbox, monkeypatch):
    """Request bodies of the streaming endpoints, as the service parsed them."""
    bodies = {FACTORS_STREAM: [], INDEX_STREAM: []}
    for path, name in ((FACTORS_STREAM, "_factor_stream"), (INDEX_STREAM, "_index_stream")):
        serve = getattr(sandbox, name)

        def recording(body, serve=serve, seen=bodies[path]):
            seen.append(list(body.items()))
            return serve(body)

        monkeypatch.setattr(sandbox, name, recording)
    return bodies


def served_reply(sandbox, monkeypatch, attribute, reply):
    """Make the sandbox answer a JSON endpoint with ``reply``."""
    monkeypatch.setattr(sandbox, attribute, lambda *args: reply)


def market_column(sandbox, name: str, first_day: str) -> pd.DataFrame:
    """The factor's non-missing cells from the first day on, in the service's row order."""
    market = sandbox.market
    keep = market.dates >= np.datetime64(first_day)
    values = market.factor(name)[keep]
    rows, stocks = np.nonzero(~np.isnan(values))
    return pd.DataFrame(
        {
            "date": market.dates[keep][rows].astype(object),
            "ukey": np.array(market.codes)[stocks],
            "value": values[rows, stocks],
        }
    )


class TestFactorQuery:
    def test_request_body_keys_in_order_only_when_given(self, http, received):
        service = FactorService(http)
        service.get_factors(ukeys="000001", factor="alpha1", start_date=20231201)
        service.get_factors(
            ["000001.SZ", "600036.SH"],
            ["alpha1", "vwap"],
            dt.date(2023, 1, 3),
            pd.Timestamp("2023-01-31 15:00"),
        )
        service.get_factors(ukeys=[], factor=("alpha1", "vwap"), start_date="20230103")
        assert received[FACTORS_STREAM] == [
            [("factor", ["alpha1"]), ("ukeys", ["000001"]), ("start_date", "2023-12-01")],
            [
                ("factor", ["alpha1", "vwap"]),
                ("ukeys", ["000001.SZ", "600036.SH"]),
                ("start_date", "2023-01-03"),
                ("end_date", "2023-01-31"),
            ],
            [("factor", ["alpha1", "vwap"]), ("start_date", "2023-01-03")],
        ]

    def test_empty_body_is_sent_and_rejected_by_the_service(self, http, received):
        with pytest.raises(ApiError, match="factor"):
            FactorService(http).get_factors()
        assert received[FACTORS_STREAM] == [[]]

    def test_many_batches_concatenate_into_one_narrow_table(self, sandbox, http):
        frame = FactorService(http).get_factors(factor="alpha1", start_date="2023-01-01")
        expected = market_column(sandbox, "alpha1", "2023-01-01")
        assert len(expected) > 3 * sandbox.batch_rows  # really several batches
        assert list(frame.columns) == ["date", "ukey", "value", "factor"]
        pd.testing.assert_index_equal(frame.index, pd.RangeIndex(len(expected)))
        pd.testing.assert_frame_equal(frame[["date", "ukey", "value"]], expected, check_dtype=False)
        assert set(frame["factor"]) == {"alpha1"}

    def test_no_batches_give_the_four_fixed_columns(self, http):
        frame = FactorService(http).get_factors(factor="alpha1", **AFTER_THE_MARKET)
        assert frame.empty and list(frame.columns) == ["date", "ukey", "value", "factor"]

    def test_the_arrow_table_holds_what_get_factors_converts(self, sandbox, http, received):
        service = FactorService(http)
        query = {"factor": ["alpha1", "vwap"], "start_date": 20230101, "end_date": "2023-12-31"}
        table = service.get_factors_table(**query)
        assert table.num_rows > 0 and len(table.column("ukey").chunks) > 1
        pd.testing.assert_frame_equal(table.to_pandas(), service.get_factors(**query))
        assert received[FACTORS_STREAM][0] == received[FACTORS_STREAM][1]
        empty = service.get_factors_table(factor="alpha1", **AFTER_THE_MARKET)
        assert empty.num_rows == 0 and empty.column_names == ["date", "ukey", "value", "factor"]

    @pytest.mark.parametrize("fault", [{"cut_after_batches": 2}, {"cut_after_bytes": 50_000}])
    def test_cut_stream_surfaces_as_network_error(self, sandbox, http, fault):
        sandbox.faults = Faults(paths=(FACTORS_STREAM,), **fault)
        with pytest.raises(NetworkError) as caught:
            FactorService(http).get_factors(factor="alpha1", start_date=20220101)
        assert isinstance(caught.value.__cause__, httpx.RemoteProtocolError)

    def test_service_status_errors_propagate(self, sandbox, http):
        sandbox.faults = Faults(status=429, paths=(FACTORS_STREAM,))
        with pytest.raises(QuotaExceededError):
            FactorService(http).get_factors(factor="alpha1", start_date=20220101)


class ConnectionCounting(httpx.HTTPTransport):
    """A real transport that remembers the network stream behind each response."""

    def __init__(self):
        super().__init__()
        self.streams = []

    def handle_request(self, request):
        response = super().handle_request(request)
        self.streams.append(response.extensions["network_stream"])
        return response

    def connections(self) -> int:
        return len({id(stream) for stream in self.streams})


def test_stream_queries_give_their_connection_back(sandbox):
    transport = ConnectionCounting()
    with HttpClient(sandbox.base_url, sandbox.api_key, sandbox.api_secret, transport=transport) as client:
        for _ in range(3):
            FactorService(client).get_factors(factor="alpha1", start_date="2023-12-01")
            IndexDayService(client).get_index_day("000300.XSHG", start_date="2023-12-01")
        assert len(transport.streams) == 6 and transport.connections() == 1
        sandbox.faults = Faults(cut_after_batches=1, paths=(INDEX_STREAM,), times=1)
        with pytest.raises(NetworkError):
            IndexDayService(client).get_index_day(["000300.XSHG", "399001.XSHE"])
        FactorService(client).get_factors(factor="alpha1", start_date="2023-12-01")
        assert transport.connections() == 2


class TestFactorList:
    def test_unknown_fields_are_dropped(self, sandbox, http):
        factors = FactorService(http).list_factors()
        assert [f["factorname"] for f in factors] == sandbox.market.factor_names()
        assert all(list(f) == ["factorname", "startDate", "endDate"] for f in factors)
        assert factors[0]["startDate"] == sandbox.market.start

    @pytest.mark.parametrize(
        "reply, expected",
        [
            (
                {"items": [{"factorname": "x", "startDate": 1, "unit": "y"}]},
                [{"factorname": "x", "startDate": 1}],
            ),
            (
                {"items": [{"endDate": "e", "factorname": "a"}], "factors": [{"factorname": "b"}]},
                [{"factorname": "a", "endDate": "e"}],
            ),
            ({"factors": [{"factorname": "b", "id": 3}]}, [{"factorname": "b"}]),
            ([{"startDate": "s"}, {}], [{"startDate": "s"}, {}]),
            ({"total": 0}, []),
        ],
    )
    def test_reply_shapes(self, sandbox, http, monkeypatch, reply, expected):
        served_reply(sandbox, monkeypatch, "_factor_list", reply)
        assert FactorService(http).list_factors() == expected


class TestIndexDayQuery:
    def test_request_body_keys_in_order_only_when_given(self, http, received):
        service = IndexDayService(http)
        service.get_index_day("000300.XSHG", start_date=20230101)
        service.get_index_day(["000001.XSHG", "399001.XSHE"], fields="close")
        service.get_index_day(None, fields=[], end_date="2022-01-31")
        service.get_index_day([], ["open", "close"], "20230103", dt.datetime(2023, 2, 1, 9, 30))
        assert received[INDEX_STREAM] == [
            [("ukeys", ["000300.XSHG"]), ("start_date", "2023-01-01")],
            [("ukeys", ["000001.XSHG", "399001.XSHE"]), ("fields", ["close"])],
            [("end_date", "2022-01-31")],
            [("fields", ["open", "close"]), ("start_date", "2023-01-03"), ("end_date", "2023-02-01")],
        ]

    def test_batches_concatenate_into_one_wide_table(self, sandbox, http):
        codes = ["000300.XSHG", "399001.XSHE"]
        frame = IndexDayService(http).get_index_day(codes, fields=["close", "volume"])
        days = len(sandbox.market.dates)
        assert list(frame.columns) == ["date", "ukey", "close", "volume"]
        pd.testing.assert_index_equal(frame.index, pd.RangeIndex(2 * days))
        assert list(frame["ukey"]) == [codes[0]] * days + [codes[1]] * days
        for k, code in enumerate(codes):
            np.testing.assert_array_equal(
                frame["close"].to_numpy()[k * days : (k + 1) * days], sandbox.market.index_bars(code)["close"]
            )

    def test_no_batches_keep_the_service_schema(self, http):
        frame = IndexDayService(http).get_index_day("000300.XSHG", fields="close", **AFTER_THE_MARKET)
        assert frame.empty and list(frame.columns) == ["date", "ukey", "close"]
        assert frame["close"].dtype == np.float64

    def test_cut_stream_surfaces_as_network_error(self, sandbox, http):
        sandbox.faults = Faults(cut_after_batches=1, paths=(INDEX_STREAM,))
        with pytest.raises(NetworkError):
            IndexDayService(http).get_index_day(["000300.XSHG", "399001.XSHE"])

    def test_a_swallowed_failure_without_schema_gives_an_empty_frame(self):
        def refused():
            raise NetworkError("连接失败")
            yield

        class SwallowingStream:
            def __enter__(self):
                return refused()

            def __exit__(self, *exc_info):
                return True

        class Client:
            def stream_post_iter(self, path, body):
                return SwallowingStream()

        frame = IndexDayService(Client()).get_index_day("000300.XSHG")
        assert frame.empty and list(frame.columns) == []

    def test_ukeys_is_required(self, http):
        with pytest.raises(
            TypeError, match=r"^get_index_day\(\) takes at least 2 positional arguments \(1 given\)$"
        ):
            IndexDayService(http).get_index_day()


class TestQuota:
    def test_live_reply(self, sandbox, http):
        FactorService(http).get_factors(factor="alpha1", start_date=20231201)
        quota = QuotaService(http).get_quota()
        assert list(quota) == [
            "daily_quota_bytes",
            "daily_used_bytes",
            "extra_quota_bytes",
            "available_bytes",
            "remaining_days",
            "license_type",
        ]
        assert quota["daily_used_bytes"] == sandbox.usage() > 0
        assert quota["available_bytes"] == sandbox.daily_quota_bytes - sandbox.usage()

    @pytest.mark.parametrize(
        "reply, expected",
        [
            (
                {
                    "daily_quota_bytes": "1024",
                    "available_bytes": 10.7,
                    "remaining_days": None,
                    "license_type": "commercial",
                    "other": 1,
                },
                {
                    "daily_quota_bytes": 1024,
                    "available_bytes": 10,
                    "remaining_days": None,
                    "license_type": "commercial",
                },
            ),
            (
                {
                    "license_type": 5,
                    "remaining_days": 30.0,
                    "extra_quota_bytes": -2.9,
                    "daily_used_bytes": True,
                },
                {"daily_used_bytes": 1, "extra_quota_bytes": -2, "remaining_days": 30, "license_type": "5"},
            ),
            ({"license_type": None}, {"license_type": "None"}),
            ({}, {}),
            ([], {}),
            (None, {}),
        ],
    )
    def test_conversions(self, sandbox, http, monkeypatch, reply, expected):
        served_reply(sandbox, monkeypatch, "quota", reply)
        quota = QuotaService(http).get_quota()
        assert quota == expected and list(quota) == list(expected)
        assert all(type(quota[k]) is int for k in quota if k.endswith("_bytes"))

    @pytest.mark.parametrize(
        "reply, error",
        [
            ({"daily_quota_bytes": 1, "daily_used_bytes": None}, TypeError),
            ({"available_bytes": "lots"}, ValueError),
            ({"remaining_days": "forever"}, ValueError),
        ],
    )
    def test_unconvertible_values_raise(self, sandbox, http, monkeypatch, reply, error):
        served_reply(sandbox, monkeypatch, "quota", reply)
        with pytest.raises(error):
            QuotaService(http).get_quota()


def test_service_singleton_offers_every_query(sandbox):
    service = singleton.init(sandbox.api_key, sandbox.api_secret, base_url=sandbox.base_url)
    try:
        assert singleton.get_instance() is service
        factors = service.get_factors(factor="alpha1", start_date="20231201", end_date="2023-12-29")
        assert len(factors) > 0 and set(factors["factor"]) == {"alpha1"}
        bars = service.get_index_day(ukeys="000852.XSHG", start_date="20231201", end_date="20231229")
        assert set(bars["ukey"]) == {"000852.XSHG"} and "close" in bars
        assert "alpha1" in [f["factorname"] for f in service.list_factors()]
        assert service.get_quota()["daily_used_bytes"] > 0
    finally:
        singleton.reset()


@pytest.mark.parametrize(
    "query, frame",
    [
        (
            lambda http: FactorService(http).get_factors(factor="alpha1", start_date="2023-13-01"),
            ("FactorService.get_factors", "src/tolvane/_factor"),
        ),
        (
            lambda http: IndexDayService(http).get_index_day("000300.XSHG", end_date="2023-13-01"),
            ("IndexDayService.get_index_day", "src/tolvane/_index_day"),
        ),
    ],
)
def test_failures_show_the_method_in_its_module_source(http, query, frame):
    with pytest.raises(ValueError) as caught:
        query(http)
    shown = [(entry.name, entry.filename) for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert frame in shown
