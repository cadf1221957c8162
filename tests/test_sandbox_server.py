"""Sandbox data service over real sockets: auth, rules, streams, Range, faults."""

import hashlib
import io
import json
import logging
import pickle
import select
import signal
import socket
import struct
import subprocess
import sys
import time
import types
import zipfile

import httpx
import numpy as np
import pyarrow as pa
import pytest

from tolvane.sandbox import API_PREFIX, DOWNLOAD_PATH, Faults, sign_headers

FACTORS = API_PREFIX + "/factors/stream"
INDEX = API_PREFIX + "/index-day/stream"


def call(server, method, path, body=None, *, raw=None):
    """One request signed with the sandbox's key (``raw`` sends bytes as they are)."""
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    signed = sign_headers(server.api_key, server.api_secret, method, path, data)
    return httpx.request(method, server.base_url + path, content=data, headers=signed)


def decode(response):
    return pa.ipc.open_stream(io.BytesIO(response.content)).read_all()


def raw_chunks(server, path, body):
    """POST over a bare socket and return the chunk payloads exactly as framed."""
    data = json.dumps(body).encode()
    headers = sign_headers(server.api_key, server.api_secret, "POST", path, data)
    head = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    request = (
        f"POST {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: {len(data)}\r\n{head}\r\n"
    ).encode() + data
    with socket.create_connection(("127.0.0.1", server.port)) as sock:
        sock.sendall(request)
        buf = b""
        while chunk := sock.recv(1 << 16):
            buf += chunk
    header, _, rest = buf.partition(b"\r\n\r\n")
    assert b"transfer-encoding: chunked" in header.lower()
    chunks = []
    while True:
        size_line, _, rest = rest.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            return chunks
        chunks.append(rest[:size])
        assert rest[size : size + 2] == b"\r\n"
        rest = rest[size + 2 :]


# ---------------------------------------------------------------- authentication


def test_package_client_signs_requests_the_service_accepts(sandbox, sandbox_client):
    client = sandbox_client
    quota = client.get(API_PREFIX + "/quota")
    assert quota["available_bytes"] > 0
    assert client.get(API_PREFIX + "/quota", params={"b": "2", "a": "x y"}) == quota  # query is signed
    with client.stream_post_iter(
        FACTORS, {"factor": ["Close"], "ukeys": ["000001"], "start_date": "2023-01-01"}
    ) as chunks:
        table = pa.ipc.open_stream(io.BytesIO(b"".join(chunks))).read_all()
    assert table.column_names == ["date", "ukey", "value", "factor"]


def test_package_client_maps_service_errors(sandbox, sandbox_client):
    client = sandbox_client
    from tolvane._http import HttpClient
    from tolvane.exceptions import ApiError, AuthenticationError, QuotaExceededError

    with HttpClient(sandbox.base_url, sandbox.api_key, "not-the-secret") as bad:
        with pytest.raises(AuthenticationError, match="签名校验失败"):
            bad.get(API_PREFIX + "/quota")
    with pytest.raises(ApiError, match="缺少 start_date") as info:
        with client.stream_post_iter(FACTORS, {"factor": ["Close"]}):
            pass
    assert info.value.status_code == 400
    sandbox.daily_quota_bytes = 0
    with pytest.raises(QuotaExceededError):
        with client.stream_post_iter(FACTORS, {"factor": ["Close"], "start_date": "2023-01-01"}):
            pass


@pytest.mark.parametrize(
    "case",
    [
        "tampered_body",
        "tampered_path",
        "stale",
        "future",
        "wrong_key",
        "missing_signature",
        "bad_signature_text",
    ],
)
def test_bad_authentication_is_refused_with_401(sandbox, case):
    body = json.dumps({"factor": ["Close"], "start_date": "2023-01-01"}).encode()
    path = FACTORS
    sign = {}
    if case == "stale":
        sign["timestamp"] = int(time.time()) - sandbox.timestamp_window - 30
    elif case == "future":
        sign["timestamp"] = int(time.time()) + sandbox.timestamp_window + 30
    headers = sign_headers(sandbox.api_key, sandbox.api_secret, "POST", path, body, **sign)
    if case == "tampered_body":
        body = body.replace(b"2023", b"2022")
    elif case == "tampered_path":
        path = INDEX
    elif case == "wrong_key":
        headers["X-Api-Key"] = "someone-else"
    elif case == "missing_signature":
        del headers["X-Signature"]
    elif case == "bad_signature_text":
        headers["X-Signature"] = b"\xe9" * 64
    r = httpx.post(sandbox.base_url + path, content=body, headers=headers)
    assert r.status_code == 401
    assert r.json()["message"]


def test_replayed_request_is_refused(sandbox):
    body = json.dumps({"factor": ["Close"], "start_date": "2023-12-01"}).encode()
    headers = sign_headers(sandbox.api_key, sandbox.api_secret, "POST", FACTORS, body)
    first = httpx.post(sandbox.base_url + FACTORS, content=body, headers=headers)
    again = httpx.post(sandbox.base_url + FACTORS, content=body, headers=headers)
    assert first.status_code == 200
    assert again.status_code == 401 and "nonce" in again.json()["message"]


def test_download_needs_no_signature_but_api_paths_do(sandbox):
    assert httpx.get(sandbox.base_url + DOWNLOAD_PATH).status_code == 200
    r = httpx.get(sandbox.base_url + API_PREFIX + "/quota")
    assert r.status_code == 401 and r.json()["message"] == "缺少 X-Api-Key 请求头"


# ------------------------------------------------------------------ service rules


def _codes(n):
    return [f"{600000 + i:06d}.XSHG" for i in range(n)]


@pytest.mark.parametrize(
    "body, fragment",
    [
        ({"start_date": "2023-01-01"}, "缺少 factor"),
        ({"factor": [], "start_date": "2023-01-01"}, "缺少 factor"),
        (
            {"factor": ["alpha1"] + [f"f{i}" for i in range(20)], "start_date": "2023-01-01"},
            "因子数量超过上限",
        ),
        ({"factor": ["Close"], "ukeys": _codes(101), "start_date": "2023-01-01"}, "股票代码数量超过上限"),
        ({"factor": ["Close"]}, "缺少 start_date"),
        ({"factor": ["Close"], "start_date": None}, "缺少 start_date"),
        ({"factor": ["no_such"], "start_date": "2023-01-01"}, "未知因子: no_such"),
        ({"factor": ["Close"], "start_date": "2023-02-30"}, "不是合法日期"),
        ({"factor": ["Close"], "start_date": "01/02/2023"}, "start_date 必须是"),
        ({"factor": ["Close"], "start_date": 1.5}, "start_date 必须是"),
        (
            {"factor": ["Close"], "start_date": "2023-05-01", "end_date": "2023-04-01"},
            "end_date 早于 start_date",
        ),
        ({"factor": ["Close"], "ukeys": ["12345"], "start_date": "2023-01-01"}, "无效的股票代码"),
        (
            {
                "factor": ["Close"],
                "ukeys": ["\uff16\uff10\uff10\uff10\uff10\uff10"],
                "start_date": "2023-01-01",
            },
            "无效的股票代码",
        ),  # full-width digits
        ({"factor": ["Close"], "ukeys": 600000, "start_date": "2023-01-01"}, "ukeys 必须是字符串列表"),
        ({"factor": [1, 2], "start_date": "2023-01-01"}, "factor 必须是字符串列表"),
    ],
)
def test_factor_rule_violations_get_400(sandbox, body, fragment):
    r = call(sandbox, "POST", FACTORS, body)
    assert r.status_code == 400
    assert fragment in r.json()["message"]


def test_rule_boundaries_are_accepted(sandbox):
    names = sandbox.market.factor_names()[:20]
    r = call(sandbox, "POST", FACTORS, {"factor": names, "ukeys": _codes(100), "start_date": "20231229"})
    assert r.status_code == 200
    assert set(decode(r).column("factor").to_pylist()) <= set(names)


@pytest.mark.parametrize(
    "body, fragment",
    [
        ({"ukeys": ["000300.XSHG", "999999.XSHG"]}, "未知指数代码: 999999.XSHG"),
        ({"ukeys": ["000300.XSHG"], "fields": ["close", "vwap"]}, "未知字段: vwap"),
        ({"ukeys": ["000300.XSHG"], "start_date": "yesterday"}, "start_date 必须是"),
    ],
)
def test_index_rule_violations_get_400(sandbox, body, fragment):
    r = call(sandbox, "POST", INDEX, body)
    assert r.status_code == 400 and fragment in r.json()["message"]


# ----------------------------------------------------------------------- streams


def test_factor_stream_decodes_to_the_market_values(sandbox):
    m = sandbox.market
    codes = [m.codes[3], m.codes[17][:6], m.codes[25][:6] + ".SH"]  # suffix forms are accepted
    r = call(
        sandbox,
        "POST",
        FACTORS,
        {
            "factor": ["Close", "rq_get_dividend"],
            "ukeys": codes,
            "start_date": "2022-03-01",
            "end_date": "2023-06-30",
        },
    )
    assert r.headers["content-type"] == "application/vnd.apache.arrow.stream"
    table = decode(r)
    assert table.schema.names == ["date", "ukey", "value", "factor"]
    assert table.schema.field("date").type == pa.date32()
    df = table.to_pandas()
    d0 = np.searchsorted(m.dates, np.datetime64("2022-03-01"))
    d1 = np.searchsorted(m.dates, np.datetime64("2023-06-30"), side="right")
    cols = [3, 17, 25]
    for name in ("Close", "rq_get_dividend"):
        expected = m.factor(name)[d0:d1][:, cols]
        got = df[df["factor"] == name]
        assert len(got) == np.sum(~np.isnan(expected)) > 0
        pivot = got.pivot(index="date", columns="ukey", values="value")
        for k, col in enumerate(cols):
            series = pivot[m.codes[col]].dropna() if m.codes[col] in pivot else []
            ref = expected[:, k]
            np.testing.assert_array_equal(np.asarray(series, float), ref[~np.isnan(ref)])
    assert set(df["ukey"]) <= {m.codes[c] for c in cols}


def test_stream_is_one_bounded_batch_per_chunk_and_never_an_empty_chunk(sandbox):
    body = {"factor": ["Close", "Open", "alpha1"], "start_date": "2022-01-01"}
    chunks = raw_chunks(sandbox, FACTORS, body)
    assert all(len(c) > 0 for c in chunks)
    reader = pa.ipc.open_stream(io.BytesIO(b"".join(chunks)))
    batches = list(reader)
    assert len(batches) == len(chunks) > 3
    assert all(0 < b.num_rows <= sandbox.batch_rows for b in batches)
    # Every chunk boundary is a batch boundary: each prefix decodes to whole batches.
    prefix = b""
    for k, chunk in enumerate(chunks[:-1]):
        prefix += chunk
        partial = pa.ipc.open_stream(io.BytesIO(prefix + b"\xff\xff\xff\xff\x00\x00\x00\x00"))
        assert sum(1 for _ in partial) == k + 1


def test_empty_answer_is_a_schema_only_stream(sandbox):
    r = call(
        sandbox, "POST", FACTORS, {"factor": ["Close"], "start_date": "2023-01-07", "end_date": "2023-01-08"}
    )  # a weekend
    assert r.status_code == 200
    table = decode(r)
    assert table.num_rows == 0 and table.schema.names == ["date", "ukey", "value", "factor"]
    r = call(sandbox, "POST", FACTORS, {"factor": ["Close"], "ukeys": ["999999"], "start_date": "2023-01-01"})
    assert decode(r).num_rows == 0


def test_index_stream_has_requested_fields_in_order(sandbox):
    m = sandbox.market
    r = call(
        sandbox,
        "POST",
        INDEX,
        {"ukeys": ["000905.XSHG", "000300.XSHG"], "fields": ["close", "open"], "start_date": "2023-01-01"},
    )
    table = decode(r)
    assert table.column_names == ["date", "ukey", "close", "open"]
    d0 = np.searchsorted(m.dates, np.datetime64("2023-01-01"))
    df = table.to_pandas()
    assert len(df) == 2 * (m.n_days - d0)
    got = df[df["ukey"] == "000300.XSHG"]["close"].to_numpy()
    np.testing.assert_array_equal(got, m.index_bars("000300.XSHG")["close"][d0:])
    everything = decode(call(sandbox, "POST", INDEX, {}))
    assert everything.column_names == ["date", "ukey", "open", "high", "low", "close", "volume"]
    assert {"000001.XSHG", "000852.XSHG", "000300.XSHG", "000905.XSHG"} <= set(
        everything.column("ukey").to_pylist()
    )


# ---------------------------------------------------------------- JSON endpoints


def test_factor_list_carries_metadata_and_extra_fields(sandbox):
    items = call(sandbox, "GET", API_PREFIX + "/factors").json()["items"]
    by_name = {i["factorname"]: i for i in items}
    assert {"Close", "Open", "limit_up", "rq_is_suspended", "alpha1", "vwap"} <= set(by_name)
    close = by_name["Close"]
    assert close["startDate"] == sandbox.market.start and close["endDate"] == sandbox.market.end
    assert set(close) - {"factorname", "startDate", "endDate"}  # fields a client must drop


def test_quota_usage_grows_with_bytes_served(sandbox):
    before = call(sandbox, "GET", API_PREFIX + "/quota").json()
    assert set(before) == {
        "daily_quota_bytes",
        "daily_used_bytes",
        "extra_quota_bytes",
        "available_bytes",
        "remaining_days",
        "license_type",
    }
    r = call(sandbox, "POST", FACTORS, {"factor": ["Close", "Open"], "start_date": "2023-01-01"})
    after = call(sandbox, "GET", API_PREFIX + "/quota").json()
    assert after["daily_used_bytes"] - before["daily_used_bytes"] == len(r.content)
    assert before["available_bytes"] - after["available_bytes"] == len(r.content)


def test_exhausted_quota_answers_429_and_extra_packs_extend_it(sandbox):
    sandbox.daily_quota_bytes, sandbox.extra_quota_bytes = 1000, 500
    body = {"factor": ["Close"], "start_date": "2023-01-01"}
    assert call(sandbox, "POST", FACTORS, body).status_code == 200  # checked before serving
    quota = call(sandbox, "GET", API_PREFIX + "/quota").json()
    assert quota["daily_used_bytes"] == 1000 and quota["extra_quota_bytes"] == 0
    assert quota["available_bytes"] == 0
    r = call(sandbox, "POST", FACTORS, body)
    assert r.status_code == 429 and r.json()["message"] == "流量配额已用尽"
    sandbox.reset()
    assert call(sandbox, "POST", FACTORS, body).status_code == 200


# ------------------------------------------------------------ package download


def test_benchmark_package_download_with_range(sandbox):
    meta = call(sandbox, "GET", API_PREFIX + "/backtest-data/benchmark-data").json()
    assert meta["content_type"] == "application/zip"
    url = meta["download_url"]
    full = httpx.get(url)
    assert full.status_code == 200 and int(full.headers["content-length"]) == len(full.content)
    size = len(full.content)
    with zipfile.ZipFile(io.BytesIO(full.content)) as zf:
        assert "metadata.pkl" in zf.namelist()
        assert pickle.loads(zf.read("metadata.pkl"))["version"] == 1
    part = httpx.get(url, headers={"Range": "bytes=100-"})
    assert part.status_code == 206
    assert part.headers["content-range"] == f"bytes 100-{size - 1}/{size}"
    assert part.content == full.content[100:]
    inner = httpx.get(url, headers={"Range": "bytes=5-9"})
    assert inner.status_code == 206 and inner.content == full.content[5:10]
    past = httpx.get(url, headers={"Range": f"bytes={size}-"})
    assert past.status_code == 416 and past.headers["content-range"] == f"bytes */{size}"
    assert httpx.get(url, headers={"Range": "lines=1-2"}).status_code == 200
    huge = "9" * 5000  # past any file, and past what int() reads
    assert httpx.get(url, headers={"Range": f"bytes={huge}-"}).status_code == 416
    assert httpx.get(url, headers={"Range": f"bytes=-{huge}"}).content == full.content
    assert httpx.get(url, headers={"Range": f"bytes=0-{huge}"}).content == full.content


def test_resume_after_a_cut_download(sandbox):
    url = sandbox.base_url + DOWNLOAD_PATH
    size = len(sandbox.package_bytes())
    sandbox.faults.cut_after_bytes = size // 2
    sandbox.faults.times = 1
    got = bytearray()
    with pytest.raises(httpx.RemoteProtocolError):
        with httpx.stream("GET", url) as r:
            for piece in r.iter_bytes():
                got += piece
    assert 0 < len(got) < size
    rest = httpx.get(url, headers={"Range": f"bytes={len(got)}-"})
    assert rest.status_code == 206
    assert bytes(got) + rest.content == sandbox.package_bytes()


def test_package_download_names_its_bytes_with_a_strong_etag(sandbox):
    url = sandbox.base_url + DOWNLOAD_PATH
    full = httpx.get(url)
    tag = full.headers["etag"]
    assert tag == f'"{hashlib.sha256(full.content).hexdigest()}"'
    assert httpx.head(url).headers["etag"] == tag
    part = httpx.get(url, headers={"Range": "bytes=10-", "If-Range": tag})
    assert part.status_code == 206 and part.headers["etag"] == tag and part.content == full.content[10:]


@pytest.mark.parametrize("if_range", ['"another-package"', "W/{tag}", "Mon, 01 Jan 2024 00:00:00 GMT"])
def test_a_range_whose_if_range_does_not_match_gets_the_whole_package(sandbox, if_range):
    url = sandbox.base_url + DOWNLOAD_PATH
    full = httpx.get(url)
    r = httpx.get(url, headers={"Range": "bytes=10-", "If-Range": if_range.format(tag=full.headers["etag"])})
    assert r.status_code == 200 and r.content == full.content


def test_a_replaced_package_file_gets_a_new_etag_and_resumes_start_over(tmp_path):
    from tolvane.sandbox import SandboxServer

    path = tmp_path / "package.zip"
    path.write_bytes(b"A" * 5000)
    with SandboxServer(n_stocks=4, start="2023-01-01", end="2023-01-31", package=path) as server:
        url = server.base_url + DOWNLOAD_PATH
        old_tag = httpx.head(url).headers["etag"]
        path.write_bytes(b"B" * 5000)  # same size, at once: only the bytes tell them apart
        r = httpx.get(url, headers={"Range": "bytes=100-", "If-Range": old_tag})
        assert r.status_code == 200 and r.content == b"B" * 5000
        assert r.headers["etag"] == f'"{hashlib.sha256(b"B" * 5000).hexdigest()}"' != old_tag


# ---------------------------------------------------------------- fault injection


@pytest.mark.parametrize(
    "fault",
    [{"cut_after_batches": 2}, {"cut_after_batches": 0}, {"cut_after_bytes": 5000}, {"cut_after_bytes": 10}],
)
def test_cut_stream_is_an_error_never_a_short_table(sandbox, fault):
    for key, value in fault.items():
        setattr(sandbox.faults, key, value)
    body = json.dumps({"factor": ["Close", "Open"], "start_date": "2022-01-01"}).encode()
    headers = sign_headers(sandbox.api_key, sandbox.api_secret, "POST", FACTORS, body)
    received = bytearray()
    with pytest.raises(httpx.RemoteProtocolError):
        with httpx.stream("POST", sandbox.base_url + FACTORS, content=body, headers=headers) as r:
            assert r.status_code == 200
            for piece in r.iter_bytes():
                received += piece
    assert not received.endswith(b"\xff\xff\xff\xff\x00\x00\x00\x00")  # no end-of-stream marker


def test_cut_stream_surfaces_through_the_package_client(sandbox, sandbox_client):
    from tolvane.exceptions import NetworkError

    sandbox.faults.cut_after_batches = 1
    with pytest.raises(NetworkError):
        with sandbox_client.stream_post_iter(
            FACTORS, {"factor": ["Close"], "start_date": "2022-01-01"}
        ) as chunks:
            for _ in chunks:
                pass


def test_forced_status_slow_chunks_and_path_filter(sandbox):
    sandbox.faults.status = 503
    sandbox.faults.paths = (API_PREFIX + "/quota",)
    sandbox.faults.times = 1
    assert call(sandbox, "GET", API_PREFIX + "/factors").status_code == 200  # other path untouched
    r = call(sandbox, "GET", API_PREFIX + "/quota")
    assert r.status_code == 503 and "注入" in r.json()["message"]
    assert call(sandbox, "GET", API_PREFIX + "/quota").status_code == 200  # used up after one
    sandbox.faults.chunk_delay = 0.05
    started = time.perf_counter()
    r = call(sandbox, "POST", INDEX, {"ukeys": ["000300.XSHG"]})
    assert r.status_code == 200 and decode(r).num_rows == sandbox.market.n_days
    assert time.perf_counter() - started >= 0.05


# ------------------------------------------------------------ malformed requests


@pytest.mark.parametrize(
    "method, path, raw, status",
    [
        ("POST", FACTORS, b"{not json", 400),
        ("POST", FACTORS, b"[1, 2]", 400),
        ("POST", FACTORS, b"\xff\xfe", 400),
        ("POST", FACTORS, b"", 400),
        ("POST", FACTORS, b"[" * 100_000 + b"]" * 100_000, 400),  # nested too deep to decode
        ("GET", API_PREFIX + "/nothing-here", None, 404),
        ("GET", FACTORS, None, 405),
        ("POST", API_PREFIX + "/quota", b"{}", 405),
        ("DELETE", API_PREFIX + "/quota", None, 405),
    ],
)
def test_malformed_requests_get_json_4xx(sandbox, method, path, raw, status):
    r = call(sandbox, method, path, raw=raw)
    assert r.status_code == status
    assert r.headers["content-type"].startswith("application/json")
    assert r.json()["message"]


def _read_answer(sock: socket.socket) -> tuple[int, bytes, bytes]:
    """Status, head and body of one answer, read by its Content-Length and no further
    (a pipelined answer after it stays unread)."""
    stream = sock.makefile("rb", buffering=0)
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = stream.readline()
        assert line, f"connection closed before a whole answer: {head[:200]!r}"
        head += line
    assert head.startswith(b"HTTP/1.1 "), f"no status line: {head[:200]!r}"
    length = int(
        next(
            line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:")
        )
    )
    body = b""
    while len(body) < length:
        chunk = stream.read(length - len(body))
        assert chunk, "connection closed inside the body"
        body += chunk
    return int(head.split(b" ", 2)[1]), head[:-4], body


def _raw_exchange(server, data: bytes) -> tuple[int, bytes, bytes]:
    """Sends bytes as they are, without closing our side; the answer must come
    at once (a generous deadline stands for "at once")."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
        sock.sendall(data)
        return _read_answer(sock)


_POST = b"POST " + FACTORS.encode() + b" HTTP/1.1\r\n"
_CHUNKED = _POST + b"Transfer-Encoding: chunked\r\n\r\n"


@pytest.mark.parametrize(
    "request_bytes, status",
    [
        pytest.param(b"NONSENSE\r\n\r\n", 400, id="no-request-line"),
        pytest.param(b"GET " + DOWNLOAD_PATH.encode() + b"\r\n\r\n", 400, id="http-0.9"),
        pytest.param(b"GET " + API_PREFIX.encode() + b"/quota HTTP/2.0\r\n\r\n", 400, id="http-2.0"),
        pytest.param(b"BREW " + API_PREFIX.encode() + b"/quota HTTP/1.1\r\n\r\n", 405, id="unknown-method"),
        pytest.param(b"BREW /pot HTTP/1.1\r\n\r\n", 404, id="unknown-method-and-path"),
        pytest.param(b"GET http://[ HTTP/1.1\r\n\r\n", 400, id="broken-absolute-target"),
        pytest.param(_POST + b"Content-Length: abc\r\n\r\n", 400, id="length-not-a-number"),
        pytest.param(
            _POST + b"Content-Length: " + b"1" * 5000 + b"\r\n\r\n", 400, id="length-of-5000-digits"
        ),
        pytest.param(_POST + b"Content-Length: \xb2\r\n\r\n", 400, id="length-superscript-two"),
        pytest.param(_POST + b"Content-Length: 2000000\r\n\r\n", 413, id="length-too-large"),
        pytest.param(_CHUNKED + b"-1\r\n", 400, id="negative-chunk"),
        pytest.param(_CHUNKED + b"FFFFFFFF\r\n", 413, id="chunk-too-large"),
        pytest.param(_CHUNKED + b"2\r\n{}garbage\r\n0\r\n\r\n", 400, id="chunk-longer-than-its-size"),
        pytest.param(_POST + b"Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400, id="two-lengths"),
        pytest.param(_POST + b"Content-Length : 2\r\n\r\n{}", 400, id="space-before-colon"),
        pytest.param(_POST + b"X-A: 1\r\n folded\r\n\r\n", 400, id="folded-header"),
        pytest.param(_POST + b"no colon\r\n\r\n", 400, id="header-without-colon"),
        pytest.param(_POST + b"X-A: 1\r\n" * 101 + b"\r\n", 431, id="too-many-headers"),
        pytest.param(_POST + b"X-A: " + b"a" * 70000 + b"\r\n\r\n", 431, id="header-too-long"),
        pytest.param(b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", 414, id="target-too-long"),
    ],
)
def test_malformed_requests_on_the_wire_get_a_json_4xx_at_once(sandbox, request_bytes, status):
    got, head, body = _raw_exchange(sandbox, request_bytes)
    assert got == status
    assert b"content-type: application/json" in head.lower()
    assert json.loads(body)["message"]


def _signed_head(server, method: str, path: str, extra: str = "", body: bytes = b"") -> bytes:
    headers = sign_headers(server.api_key, server.api_secret, method, path, body)
    fields = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    return f"{method} {path} HTTP/1.1\r\nHost: x\r\n{fields}{extra}\r\n".encode()


def test_pipelined_requests_are_answered_in_order_on_one_connection(sandbox):
    with socket.create_connection(("127.0.0.1", sandbox.port), timeout=10) as sock:
        sock.sendall(
            _signed_head(sandbox, "GET", API_PREFIX + "/quota")
            + f"GET {DOWNLOAD_PATH} HTTP/1.1\r\nRange: bytes=0-9\r\n\r\n".encode()
            + _signed_head(sandbox, "GET", API_PREFIX + "/factors")
        )
        status, _, body = _read_answer(sock)
        assert status == 200 and json.loads(body)["license_type"] == "sandbox"
        status, _, body = _read_answer(sock)
        assert status == 206 and body == sandbox.package_bytes()[:10]
        status, _, body = _read_answer(sock)
        assert status == 200 and json.loads(body)["total"] == len(sandbox.market.factor_names())


def test_a_client_that_expects_100_continue_is_told_to_send_its_body(sandbox):
    body = b'{"start_date": "2023-01-01"}'
    with socket.create_connection(("127.0.0.1", sandbox.port), timeout=10) as sock:
        sock.sendall(
            _signed_head(
                sandbox,
                "POST",
                FACTORS,
                body=body,
                extra=f"Expect: 100-continue\r\nContent-Length: {len(body)}\r\n",
            )
        )
        interim = b""
        while b"\r\n\r\n" not in interim:
            interim += sock.recv(1)
        assert interim == b"HTTP/1.1 100 Continue\r\n\r\n"
        sock.sendall(body)
        status, _, answer = _read_answer(sock)
        assert status == 400 and "缺少 factor" in json.loads(answer)["message"]


def test_server_keeps_serving_after_garbage_and_vanishing_clients(sandbox):
    incomplete = b"POST " + FACTORS.encode() + b" HTTP/1.1\r\nContent-Length: 50\r\n\r\n{}"
    with socket.create_connection(("127.0.0.1", sandbox.port), timeout=10) as sock:
        sock.sendall(incomplete)
        sock.shutdown(socket.SHUT_WR)
        assert _read_answer(sock)[0] == 400
    body = json.dumps({"factor": ["Close", "Open", "High"], "start_date": "2022-01-01"}).encode()
    headers = sign_headers(sandbox.api_key, sandbox.api_secret, "POST", FACTORS, body)
    with httpx.stream("POST", sandbox.base_url + FACTORS, content=body, headers=headers) as r:
        next(r.iter_raw())
    assert call(sandbox, "GET", API_PREFIX + "/quota").status_code == 200


def test_unreadable_timestamp_is_a_bad_request(sandbox):
    for timestamp in ("\u00b2", "-5", "1e9", "1" * 13):
        headers = sign_headers(sandbox.api_key, sandbox.api_secret, "GET", API_PREFIX + "/quota")
        headers["X-Timestamp"] = timestamp
        r = httpx.get(
            sandbox.base_url + API_PREFIX + "/quota",
            headers={k: v.encode("latin-1") for k, v in headers.items()},
        )
        assert r.status_code == 400 and "X-Timestamp" in r.json()["message"]


def test_concurrent_streams_are_served_independently(sandbox):
    from concurrent.futures import ThreadPoolExecutor

    body = {"factor": ["Close"], "start_date": "2023-01-01"}
    with ThreadPoolExecutor(4) as pool:
        tables = list(pool.map(lambda _: decode(call(sandbox, "POST", FACTORS, body)), range(4)))
    assert all(t.equals(tables[0]) for t in tables)


# ------------------------------------------------------------------- connections


@pytest.fixture
def small_sandbox():
    """A sandbox of its own, built with the given limits."""
    from tolvane.sandbox import SandboxServer

    servers = []

    def start(**limits):
        server = SandboxServer(n_stocks=4, start="2023-01-01", end="2023-01-31", **limits).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


def _wait_until(condition, what: str, seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.01)


def test_a_request_must_arrive_whole_within_the_deadline(small_sandbox):
    server = small_sandbox(request_timeout=1.0)
    with (
        socket.create_connection(("127.0.0.1", server.port), timeout=10) as drip,
        socket.create_connection(("127.0.0.1", server.port), timeout=10) as idle,
    ):
        drip.sendall(f"GET {API_PREFIX}/quota HTTP/1.1\r\n".encode())
        given_up = time.monotonic() + 10
        while not select.select([drip], [], [], 0.1)[0]:  # one header byte every 0.1 s
            assert time.monotonic() < given_up, "the dripping client was never dropped"
            try:
                drip.sendall(b"X")
            except OSError:  # dropped between the wait and the send
                break
        status, _, body = _read_answer(drip)
        assert status == 408 and "1 秒" in json.loads(body)["message"]
        assert drip.recv(1) == b""
        assert idle.recv(1) == b""  # silence is dropped without an answer
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as slow:
        slow.sendall(f"POST {FACTORS} HTTP/1.1\r\nContent-Length: 10\r\n\r\n{{".encode())
        assert _read_answer(slow)[0] == 408
    r = httpx.get(server.base_url + DOWNLOAD_PATH)  # prompt requests are unaffected
    assert r.status_code == 200


def test_connections_beyond_the_cap_are_turned_away_at_once_with_503(small_sandbox):
    server = small_sandbox(max_connections=2)
    holders = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(2)]
    try:
        _wait_until(lambda: server.open_connections == 2, "two open connections")
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as refused:
            refused.sendall(f"HEAD {DOWNLOAD_PATH} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            status, head, body = _read_answer(refused)
            assert status == 503 and b"\r\nretry-after: 1\r\n" in head.lower()
            assert "上限" in json.loads(body)["message"]
            assert refused.recv(1) == b""
        assert server.open_connections == 2
        holders.pop().close()
        _wait_until(lambda: server.open_connections == 1, "a free slot")
        assert httpx.head(server.base_url + DOWNLOAD_PATH).status_code == 200
    finally:
        for sock in holders:
            sock.close()


def test_streams_in_progress_do_not_hold_up_other_clients(sandbox):
    """More slow streams than a thread-per-connection server would serve at once:
    all of them are served together, a new client is answered meanwhile, and
    every stream arrives whole."""
    from concurrent.futures import ThreadPoolExecutor

    clients = 80
    body = json.dumps({"factor": ["Close"], "start_date": "2023-01-01"}).encode()
    reference = call(sandbox, "POST", FACTORS, raw=body).content
    sandbox.faults = Faults(chunk_delay=0.5, paths=(FACTORS,))
    limits = httpx.Limits(max_connections=clients + 5, max_keepalive_connections=0)
    with httpx.Client(limits=limits, timeout=60) as client, ThreadPoolExecutor(clients) as pool:

        def stream(_):
            headers = sign_headers(sandbox.api_key, sandbox.api_secret, "POST", FACTORS, body)
            return client.post(sandbox.base_url + FACTORS, content=body, headers=headers).content

        bodies = [pool.submit(stream, k) for k in range(clients)]
        _wait_until(lambda: sandbox.open_connections >= clients, f"{clients} streams in progress", 60)
        quota = call(sandbox, "GET", API_PREFIX + "/quota")
        assert quota.status_code == 200
        assert all(future.result() == reference for future in bodies)


def test_a_request_is_answered_while_many_clients_drip_their_headers(small_sandbox):
    server = small_sandbox(request_timeout=120, header_timeout=120)
    slow = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(150)]
    try:
        for sock in slow:
            sock.sendall(f"GET {API_PREFIX}/quota HTTP/1.1\r\nHost: x\r\nX-Slow: ".encode())
        _wait_until(lambda: server.open_connections == len(slow), "the slow connections to be served")
        assert httpx.get(server.base_url + DOWNLOAD_PATH, timeout=60).status_code == 200
    finally:
        for sock in slow:
            sock.close()


def test_headers_have_their_own_deadline_from_the_first_byte(small_sandbox):
    server = small_sandbox(request_timeout=30, header_timeout=0.5)
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as idle:
        time.sleep(1.0)  # silence before a request is not held against its headers
        idle.sendall(f"HEAD {DOWNLOAD_PATH} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        assert idle.recv(65536).startswith(b"HTTP/1.1 200 ")
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as drip:
        drip.sendall(f"GET {API_PREFIX}/quota HTTP/1.1\r\n".encode())
        while not select.select([drip], [], [], 0.1)[0]:
            try:
                drip.sendall(b"X")
            except OSError:
                break
        status, _, body = _read_answer(drip)
        assert status == 408 and json.loads(body)["message"] == "请求头没有在 0.5 秒内完整送达"


def test_stop_ends_open_connections_and_closes_the_port(small_sandbox):
    server = small_sandbox()
    port = server.port
    with socket.create_connection(("127.0.0.1", port), timeout=10) as held:
        held.sendall(b"GET / HTTP/1.1\r\n")
        _wait_until(lambda: server.open_connections == 1, "the connection to be served")
        server.stop()
        assert held.recv(1) == b""
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=10)


def test_clients_that_reset_their_connection_are_not_reported_as_errors(small_sandbox, caplog):
    server = small_sandbox()
    for sent in (b"GE", f"POST {FACTORS} HTTP/1.1\r\nContent-Length: 100\r\n\r\n{{".encode()):
        sock = socket.create_connection(("127.0.0.1", server.port))
        sock.sendall(sent)
        _wait_until(lambda: server.open_connections == 1, "the connection to be served")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()  # with a zero linger time: a reset, not a close
        _wait_until(lambda: server.open_connections == 0, "the reset to be handled")
    noisy = [
        r
        for r in caplog.records
        if r.name.startswith("tolvane.sandbox") and (r.levelno >= logging.WARNING or r.exc_info)
    ]
    assert noisy == []


# ------------------------------------------------------------------- nonces


def test_nonces_expire_in_time_order_without_rescanning_the_store(monkeypatch):
    from tolvane.sandbox import auth

    class Now(float):
        """The clock's reading; counts how often the nonce store compares it."""

        comparisons = 0

        def _compare(self, other, op):
            Now.comparisons += 1
            return op(float(self), other)

        def __lt__(self, other):
            return self._compare(other, float.__lt__)

        def __le__(self, other):
            return self._compare(other, float.__le__)

        def __gt__(self, other):
            return self._compare(other, float.__gt__)

        def __ge__(self, other):
            return self._compare(other, float.__ge__)

    t0 = 1_700_000_000
    clock = {"now": Now(t0)}
    monkeypatch.setattr(auth, "time", types.SimpleNamespace(time=lambda: clock["now"]))
    authenticator = auth.RequestAuthenticator({"k": "s"}, timestamp_window=300)

    def request(timestamp):
        headers = sign_headers("k", "s", "GET", "/q", timestamp=timestamp)
        authenticator.authenticate("GET", "/q", "", headers, b"")
        return headers

    late = request(t0 + 300)  # a fast client clock: remembered longest, though stored first
    for _ in range(6000):
        request(t0)
    Now.comparisons = 0
    for _ in range(200):
        request(t0)
    assert Now.comparisons < 2 * 200  # the store is never walked as a whole
    clock["now"] = Now(t0 + 301)  # every nonce but the late one has expired
    with pytest.raises(auth.RequestError, match="nonce"):
        authenticator.authenticate("GET", "/q", "", late, b"")
    request(t0 + 301)


# ------------------------------------------------------------------- command line


def test_command_line_prints_address_and_keys_and_serves():
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tolvane.sandbox",
            "--port",
            "0",
            "--stocks",
            "12",
            "--start",
            "2023-01-01",
            "--end",
            "2023-03-31",
            "--api-key",
            "k1",
            "--api-secret",
            "s1",
            "--log-level",
            "WARNING",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        lines = {}
        while "api_secret" not in lines:
            line = proc.stdout.readline()
            assert line, "sandbox exited early"
            key, _, value = line.strip().partition(" ")
            lines[key] = value.strip()
        base = lines["base_url"]
        assert lines["api_key"] == "k1" and lines["api_secret"] == "s1"
        path = API_PREFIX + "/quota"
        r = httpx.get(base + path, headers=sign_headers("k1", "s1", "GET", path))
        assert r.status_code == 200 and r.json()["license_type"] == "sandbox"
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 0
