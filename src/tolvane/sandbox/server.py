"""基于合成行情的本地数据服务。

:class:`SandboxServer` 提供与远程数据服务相同的接口, 走真实的回环 socket
(标准库 :class:`http.server.ThreadingHTTPServer`, HTTP/1.1, 长连接):

========  ==================================================  ==================================
方法      路径                                                 应答
========  ==================================================  ==================================
POST      ``API_PREFIX + "/factors/stream"``                  Arrow IPC 流: date, ukey, value, factor
POST      ``API_PREFIX + "/index-day/stream"``                Arrow IPC 流: date, ukey 与所选字段
GET       ``API_PREFIX + "/factors"``                         JSON ``{"items": [...]}`` 因子元信息
GET       ``API_PREFIX + "/quota"``                           JSON 流量配额 (六个字段)
GET       ``API_PREFIX + "/backtest-data/benchmark-data"``    JSON 基准数据包的下载地址
GET/HEAD  ``DOWNLOAD_PATH``                                   基准数据包 (zip), 支持 HTTP Range
========  ==================================================  ==================================

``API_PREFIX`` 下的每个请求都必须带 ``X-Api-Key`` 与签名头 ``X-Timestamp``、
``X-Nonce``、``X-Signature``: 以该访问密钥对应的 secret 为密钥, 对六行文本
``METHOD``、路径、原样的查询串、时间戳、nonce 与请求体的 SHA-256 十六进制摘要
(空请求体为空文本) 用 ``"\\n"`` 连接后做 HMAC-SHA256。时间戳与服务端时钟之差
不得超过 ``timestamp_window`` 秒, 同一个 nonce 只接受一次。数据包本身的下载是
不签名的普通 GET, 相当于预签名链接。

流式应答使用分块传输编码, 每个分块恰好一个 Arrow record batch (schema 消息随
第一块发出, 流结束标记随最后一块发出), 从不发送空分块, 每个 batch 至多
``batch_rows`` 行。响应头发出之后的失败以断开连接、不发终止分块的方式表现,
客户端因此不会把被截断的流误当作较短的完整流。

错误应答为 JSON ``{"message": ...}``: 违反服务规则或无法解析的请求为 400,
鉴权失败为 401, 未知路径或方法为 404/405, 流量配额用尽为 429。

测试通过 :attr:`SandboxServer.faults` 注入故障 (见 :class:`Faults`)。
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import hmac
import io
import itertools
import json
import logging
import pickle
import re
import secrets
import socket
import threading
import time
import zipfile
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Iterable, Iterator
from urllib.parse import urlsplit

import numpy as np
import pyarrow as pa

from .._http import API_PREFIX
from .market import INDEX_CODES, SyntheticMarket

__all__ = [
    "API_PREFIX",
    "ARROW_STREAM_CONTENT_TYPE",
    "DOWNLOAD_PATH",
    "Faults",
    "SandboxServer",
    "canonical_request",
    "sign_headers",
]

#: Media type of the streamed answers.
ARROW_STREAM_CONTENT_TYPE = "application/vnd.apache.arrow.stream"
#: Unsigned download path of the benchmark package.
DOWNLOAD_PATH = "/downloads/benchmark-data.zip"

MAX_STOCK_CODES = 100
MAX_FACTORS = 20
MAX_BODY_BYTES = 1 << 20
INDEX_FIELDS = ("open", "high", "low", "close", "volume")

_EOS = b"\xff\xff\xff\xff\x00\x00\x00\x00"
_DOWNLOAD_PIECE = 64 * 1024
_STOCK_CODE = re.compile(r"^(\d{6})(?:\.(XSHG|XSHE|SH|SZ|BJ))?$", re.IGNORECASE)

logger = logging.getLogger("tolvane.sandbox")

FACTOR_SCHEMA = pa.schema([
    ("date", pa.date32()),
    ("ukey", pa.string()),
    ("value", pa.float64()),
    ("factor", pa.string()),
])


# ---------------------------------------------------------------------------
# Signing (what a client must send; the server checks it with the same text)
# ---------------------------------------------------------------------------

def canonical_request(method: str, path: str, query: str, timestamp: str,
                      nonce: str, body: bytes | None) -> str:
    """请求签名所覆盖的规范文本。"""
    body_hash = hashlib.sha256(body).hexdigest() if body else ""
    return "\n".join((method.upper(), path, query, timestamp, nonce, body_hash))


def sign_headers(api_key: str, api_secret: str, method: str, target: str,
                 body: bytes | None = None, *, timestamp: int | None = None,
                 nonce: str | None = None) -> dict[str, str]:
    """为发往沙盒的一个请求生成鉴权头。

    ``target`` 是实际发送的请求目标 (路径与可选的查询串)。``timestamp`` 与
    ``nonce`` 默认取当前时间与新的随机 nonce; 测试可以自行指定, 以构造过期或
    重放的请求。
    """
    parts = urlsplit(target)
    ts = str(int(time.time()) if timestamp is None else int(timestamp))
    nonce = secrets.token_hex(32) if nonce is None else nonce
    text = canonical_request(method, parts.path or "/", parts.query, ts, nonce, body)
    signature = hmac.new(api_secret.encode("utf-8"), text.encode("utf-8"), hashlib.sha256).hexdigest()
    return {"X-Api-Key": api_key, "X-Timestamp": ts, "X-Nonce": nonce, "X-Signature": signature}


# ---------------------------------------------------------------------------
# Fault injection
# ---------------------------------------------------------------------------

@dataclass
class Faults:
    """服务端对匹配请求注入的故障。

    Attributes:
        status: 不处理请求, 直接以该 HTTP 状态码 (及 JSON 信息) 应答; 在鉴权之前检查。
        cut_after_bytes: 流式应答或数据包下载的响应体发出这么多字节 (不计分块
            框架) 后断开连接。
        cut_after_batches: 流式应答发出这么多个 record batch 后断开连接
            (0: 发完响应头立即断开)。
        chunk_delay: 流式应答每个分块、下载每一段之前等待的秒数。
        paths: 故障作用的请求路径 (不含查询串, 精确匹配); 为空时作用于所有路径。
        times: 故障作用的匹配请求次数; ``None`` 表示一直作用。减到 0 时故障清空。
    """

    status: int | None = None
    cut_after_bytes: int | None = None
    cut_after_batches: int | None = None
    chunk_delay: float = 0.0
    paths: tuple[str, ...] = ()
    times: int | None = None

    def active(self) -> bool:
        return (self.status is not None or self.cut_after_bytes is not None
                or self.cut_after_batches is not None or self.chunk_delay > 0)


class _RequestError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class _ConnectionCut(Exception):
    """在处理函数内抛出, 表示放弃已开始的响应体。"""


# ---------------------------------------------------------------------------
# Request parsing helpers
# ---------------------------------------------------------------------------

def _parse_day(value: Any, name: str) -> np.datetime64:
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise _RequestError(400, f"{name} 必须是 YYYY-MM-DD 或 YYYYMMDD 格式的日期")
    text = str(value).strip()
    if re.fullmatch(r"\d{8}", text):
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
        raise _RequestError(400, f"{name} 必须是 YYYY-MM-DD 或 YYYYMMDD 格式的日期: {value!r}")
    try:
        _dt.date.fromisoformat(text)
    except ValueError:
        raise _RequestError(400, f"{name} 不是合法日期: {value!r}") from None
    return np.datetime64(text, "D")


def _str_list(body: dict, key: str) -> list[str] | None:
    value = body.get(key)
    if value is None:
        return None
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise _RequestError(400, f"{key} 必须是字符串列表")
    return list(dict.fromkeys(v.strip() for v in value))


# ---------------------------------------------------------------------------
# The server
# ---------------------------------------------------------------------------

class SandboxServer:
    """本地数据服务; 也是启动与停止服务的上下文管理器。

    Args:
        market: 要提供的市场; 不给时用 ``seed``、``n_stocks``、``start``、``end`` 生成。
        host: 绑定的回环地址 (``127.0.0.1``、``::1`` 或 ``localhost``)。
        port: TCP 端口; 0 表示自动选择空闲端口。
        api_key, api_secret: 客户端签名所用的密钥对; 不给时随机生成。
        batch_rows: 流式应答中一个 record batch 的最大行数。
        timestamp_window: 签名请求允许的时钟偏差, 秒。
        daily_quota_bytes, extra_quota_bytes: 每个密钥的流量配额。
        package: 供下载的基准数据包 (zip 字节); 不给时由市场生成一个小的占位数据包。

    Attributes:
        base_url: 启动后的 ``http://host:port``。
        faults: 作用于到达请求的 :class:`Faults`。
        benchmark_content_type: 数据包地址接口声明的内容类型。
        daily_quota_bytes, extra_quota_bytes: 可随时修改的配额。
    """

    def __init__(self, market: SyntheticMarket | None = None, *, seed: int = 7,
                 n_stocks: int = 60, start="2022-01-01", end="2023-12-31",
                 host: str = "127.0.0.1", port: int = 0,
                 api_key: str | None = None, api_secret: str | None = None,
                 batch_rows: int = 65536, timestamp_window: int = 300,
                 daily_quota_bytes: int = 50 * 1024 ** 3, extra_quota_bytes: int = 0,
                 package: bytes | None = None) -> None:
        if host not in ("127.0.0.1", "::1", "localhost"):
            raise ValueError("沙盒只监听回环地址 (127.0.0.1、::1 或 localhost)")
        if batch_rows < 1:
            raise ValueError("batch_rows 必须为正整数")
        self.market = market if market is not None else SyntheticMarket(seed, n_stocks, start, end)
        self.host, self.port = host, int(port)
        self.api_key = api_key or "sk-" + secrets.token_hex(8)
        self.api_secret = api_secret or secrets.token_hex(24)
        self.keys: dict[str, str] = {self.api_key: self.api_secret}
        self.batch_rows = int(batch_rows)
        self.timestamp_window = int(timestamp_window)
        self.daily_quota_bytes = int(daily_quota_bytes)
        self.extra_quota_bytes = int(extra_quota_bytes)
        self._initial_quota = (self.daily_quota_bytes, self.extra_quota_bytes)
        self.benchmark_content_type = "application/zip"
        self.faults = Faults()
        self._package = package
        self._lock = threading.Lock()
        self._usage: dict[str, int] = {}
        self._nonces: dict[str, float] = {}
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self.base_url = ""

    # ----------------------------------------------------------- lifecycle
    def start(self) -> "SandboxServer":
        """绑定端口并在后台线程提供服务; 返回 ``self``。"""
        if self._httpd is not None:
            return self
        server_cls = _IPv6Server if ":" in self.host else _Server
        httpd = server_cls((self.host, self.port), _Handler)
        httpd.sandbox = self
        self._httpd = httpd
        self.port = httpd.server_address[1]
        host = f"[{self.host}]" if ":" in self.host else self.host
        self.base_url = f"http://{host}:{self.port}"
        self._thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name=f"tolvane-sandbox-{self.port}", daemon=True)
        self._thread.start()
        logger.info("沙盒服务已启动: %d 只股票, %s..%s, 地址 %s", self.market.n_stocks,
                    self.market.start, self.market.end, self.base_url)
        return self

    def stop(self) -> None:
        """停止服务并关闭监听 socket。"""
        httpd, self._httpd = self._httpd, None
        if httpd is None:
            return
        httpd.shutdown()
        httpd.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
        logger.info("沙盒服务已停止: %s", self.base_url)

    def serve_forever(self) -> None:
        """在调用线程上提供服务, 直到被中断。"""
        self.start()
        try:
            while self._thread is not None and self._thread.is_alive():
                self._thread.join(0.5)
        finally:
            self.stop()

    def __enter__(self) -> "SandboxServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ------------------------------------------------------------- control
    def add_key(self, api_key: str, api_secret: str) -> None:
        """再接受一对密钥。"""
        self.keys[api_key] = api_secret

    def reset(self) -> None:
        """清空故障、流量用量与已记录的 nonce, 恢复初始的配额与数据包内容类型。"""
        with self._lock:
            self.faults = Faults()
            self._usage.clear()
            self._nonces.clear()
        self.daily_quota_bytes, self.extra_quota_bytes = self._initial_quota
        self.benchmark_content_type = "application/zip"

    def usage(self, api_key: str | None = None) -> int:
        """到目前为止向某个密钥 (省略时为默认密钥) 发送的数据字节数。"""
        with self._lock:
            return self._usage.get(api_key or self.api_key, 0)

    def quota(self, api_key: str | None = None) -> dict[str, Any]:
        """某个密钥的配额应答。"""
        used = self.usage(api_key)
        daily_used = min(used, self.daily_quota_bytes)
        extra_left = max(self.extra_quota_bytes - max(used - self.daily_quota_bytes, 0), 0)
        return {
            "daily_quota_bytes": self.daily_quota_bytes,
            "daily_used_bytes": daily_used,
            "extra_quota_bytes": extra_left,
            "available_bytes": max(self.daily_quota_bytes - daily_used, 0) + extra_left,
            "remaining_days": None,
            "license_type": "sandbox",
        }

    def package_bytes(self) -> bytes:
        """供下载的基准数据包。"""
        if self._package is None:
            self._package = _placeholder_package(self.market)
        return self._package

    # ------------------------------------------------------------ internal
    def _add_usage(self, api_key: str, n: int) -> None:
        with self._lock:
            self._usage[api_key] = self._usage.get(api_key, 0) + n

    def _take_faults(self, path: str) -> Faults | None:
        with self._lock:
            f = self.faults
            if not f.active() or (f.paths and path not in f.paths):
                return None
            snapshot = Faults(f.status, f.cut_after_bytes, f.cut_after_batches,
                              f.chunk_delay, f.paths, None)
            if f.times is not None:
                f.times -= 1
                if f.times <= 0:
                    self.faults = Faults()
            return snapshot

    def _authenticate(self, method: str, path: str, query: str, headers, body: bytes) -> str:
        api_key = headers.get("X-Api-Key")
        if not api_key:
            raise _RequestError(401, "缺少 X-Api-Key 请求头")
        secret = self.keys.get(api_key)
        if secret is None:
            raise _RequestError(401, "访问密钥无效")
        ts, nonce, signature = (headers.get(h) for h in ("X-Timestamp", "X-Nonce", "X-Signature"))
        if not ts or not nonce or not signature:
            raise _RequestError(401, "缺少签名请求头 (X-Timestamp, X-Nonce, X-Signature)")
        if not ts.isdigit() or len(ts) > 12:
            raise _RequestError(401, "X-Timestamp 必须是整数秒的 Unix 时间戳")
        now = time.time()
        if abs(now - int(ts)) > self.timestamp_window:
            raise _RequestError(401, "请求时间戳超出允许的时间窗口")
        if len(nonce) > 128:
            raise _RequestError(401, "X-Nonce 过长")
        text = canonical_request(method, path, query, ts, nonce, body)
        expected = hmac.new(secret.encode("utf-8"), text.encode("utf-8"), hashlib.sha256).hexdigest()
        if not hmac.compare_digest(expected.encode("ascii"), signature.encode("utf-8", "replace")):
            raise _RequestError(401, "签名校验失败")
        with self._lock:
            if len(self._nonces) > 4096:
                self._nonces = {n: exp for n, exp in self._nonces.items() if exp > now}
            if nonce in self._nonces:
                raise _RequestError(401, "nonce 已被使用, 拒绝重放请求")
            self._nonces[nonce] = int(ts) + self.timestamp_window
        return api_key

    # --------------------------------------------------------- endpoints
    def _factor_list(self) -> dict[str, Any]:
        m = self.market
        items = []
        for k, name in enumerate(m.factor_names(), start=1):
            info = m.factor_info(name)
            items.append({
                "factorname": name, "startDate": m.start, "endDate": m.end,
                "unit": info.unit, "category": info.category,
                "description": info.description, "frequency": "1d", "factor_id": k,
            })
        return {"items": items, "total": len(items)}

    def _factor_stream(self, body: dict) -> tuple[pa.Schema, Iterator[pa.RecordBatch]]:
        m = self.market
        names = _str_list(body, "factor")
        if not names:
            raise _RequestError(400, f"缺少 factor: 需要 1 到 {MAX_FACTORS} 个因子名")
        if len(names) > MAX_FACTORS:
            raise _RequestError(400, f"因子数量超过上限: 每次最多 {MAX_FACTORS} 个, 实际 {len(names)} 个")
        known = set(m.factor_names())
        unknown = [n for n in names if n not in known]
        if unknown:
            raise _RequestError(400, f"未知因子: {', '.join(unknown)}")
        codes = _str_list(body, "ukeys")
        if codes and len(codes) > MAX_STOCK_CODES:
            raise _RequestError(400, f"股票代码数量超过上限: 每次最多 {MAX_STOCK_CODES} 个, 实际 {len(codes)} 个")
        if body.get("start_date") is None:
            raise _RequestError(400, "缺少 start_date")
        d0, d1 = self._date_span(body)
        if codes:
            cols = []
            for c in codes:
                match = _STOCK_CODE.match(c)
                if match is None:
                    raise _RequestError(400, f"无效的股票代码: {c!r}")
                pos = m.stock_index(match.group(1))
                if pos is not None and pos not in cols:
                    cols.append(pos)
            cols = np.array(sorted(cols), dtype=np.int64)
        else:
            cols = None
        return FACTOR_SCHEMA, _factor_batches(m, names, cols, d0, d1, self.batch_rows)

    def _index_stream(self, body: dict) -> tuple[pa.Schema, Iterator[pa.RecordBatch]]:
        codes = _str_list(body, "ukeys") or list(INDEX_CODES)
        unknown = [c for c in codes if c not in INDEX_CODES]
        if unknown:
            raise _RequestError(400, f"未知指数代码: {', '.join(unknown)}; "
                                     f"可用: {', '.join(INDEX_CODES)}")
        fields = _str_list(body, "fields") or list(INDEX_FIELDS)
        bad = [f for f in fields if f not in INDEX_FIELDS]
        if bad:
            raise _RequestError(400, f"未知字段: {', '.join(bad)}; 可用: {', '.join(INDEX_FIELDS)}")
        d0, d1 = self._date_span(body)
        schema = pa.schema([("date", pa.date32()), ("ukey", pa.string())]
                           + [(f, pa.float64()) for f in fields])
        return schema, _index_batches(self.market, schema, codes, fields, d0, d1, self.batch_rows)

    def _date_span(self, body: dict) -> tuple[int, int]:
        dates = self.market.dates
        start = body.get("start_date")
        end = body.get("end_date")
        s = _parse_day(start, "start_date") if start is not None else dates[0]
        e = _parse_day(end, "end_date") if end is not None else dates[-1]
        if e < s:
            raise _RequestError(400, "end_date 早于 start_date")
        return int(np.searchsorted(dates, s, "left")), int(np.searchsorted(dates, e, "right"))


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    sandbox: SandboxServer

    def handle_error(self, request, client_address) -> None:  # never print to stderr
        logger.exception("处理来自 %s 的连接时出错", client_address)


class _IPv6Server(_Server):
    address_family = socket.AF_INET6


def _factor_batches(m: SyntheticMarket, names: list[str], cols: np.ndarray | None,
                    d0: int, d1: int, batch_rows: int) -> Iterator[pa.RecordBatch]:
    dates = m.dates[d0:d1]
    all_codes = np.array(m.codes, dtype=object)
    codes = pa.array(all_codes if cols is None else all_codes[cols], type=pa.string())
    for name in names:
        values = m.factor(name)[d0:d1]
        if cols is not None:
            values = values[:, cols]
        rows, stocks = np.nonzero(~np.isnan(values))
        picked = values[rows, stocks]
        label = pa.scalar(name, pa.string())
        for s in range(0, len(rows), batch_rows):
            e = min(s + batch_rows, len(rows))
            yield pa.record_batch([
                pa.array(dates[rows[s:e]]),
                codes.take(pa.array(stocks[s:e])),
                pa.array(picked[s:e]),
                pa.repeat(label, e - s),
            ], schema=FACTOR_SCHEMA)


def _index_batches(m: SyntheticMarket, schema: pa.Schema, codes: list[str], fields: list[str],
                   d0: int, d1: int, batch_rows: int) -> Iterator[pa.RecordBatch]:
    dates = m.dates[d0:d1]
    for code in codes:
        bars = m.index_bars(code)
        label = pa.scalar(code, pa.string())
        for s in range(0, len(dates), batch_rows):
            e = min(s + batch_rows, len(dates))
            yield pa.record_batch(
                [pa.array(dates[s:e]), pa.repeat(label, e - s)]
                + [pa.array(bars[f][d0 + s:d0 + e]) for f in fields], schema=schema)


def _ipc_chunks(schema: pa.Schema, batches: Iterable[pa.RecordBatch]) -> Iterator[list]:
    """把 Arrow IPC 流切成每块一个 record batch 的分块。

    每个分块是一组 buffer; schema 消息随第一个 batch, 流结束标记随最后一个 batch,
    因此没有空分块, 没有 batch 的流只有一个分块 (schema 与结束标记)。
    """
    head: list = [schema.serialize()]
    pending = None
    for batch in batches:
        if pending is not None:
            yield head + [pending]
            head = []
        pending = batch.serialize()
    yield head + ([pending] if pending is not None else []) + [_EOS]


def _placeholder_package(market: SyntheticMarket) -> bytes:
    """一个小的基准数据包: 元数据与基准指数的收盘价。"""
    meta = {
        "version": 1,
        "meta": {"start_date": market.start.replace("-", ""), "end_date": market.end.replace("-", ""),
                 "source": "tolvane sandbox", "seed": market.seed, "n_stocks": market.n_stocks},
        "datasets": {},
    }
    lines = ["date,ukey,close"]
    for code in ("000852.XSHG", "000300.XSHG", "000905.XSHG"):
        close = market.index_bars(code)["close"]
        lines.extend(f"{d},{code},{c:.3f}" for d, c in zip(market.dates.astype(str), close))
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("metadata.pkl", pickle.dumps(meta, protocol=pickle.HIGHEST_PROTOCOL))
        zf.writestr("benchmark_index_day.csv", "\n".join(lines) + "\n")
        zf.writestr("README.txt", "Benchmark data package generated by the tolvane sandbox.\n")
    return buf.getvalue()


# ---------------------------------------------------------------------------
# Request handler
# ---------------------------------------------------------------------------

_ROUTES = {
    API_PREFIX + "/factors/stream": "POST",
    API_PREFIX + "/index-day/stream": "POST",
    API_PREFIX + "/factors": "GET",
    API_PREFIX + "/quota": "GET",
    API_PREFIX + "/backtest-data/benchmark-data": "GET",
    DOWNLOAD_PATH: "GET",
}


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tolvane-sandbox/1.0"
    timeout = 60
    server: _Server
    _status = 0
    _sent = 0
    _headers_done = False

    def setup(self) -> None:
        super().setup()
        # Chunks go out in single writes; do not let Nagle hold the last segment back.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    # Quiet the base class; every request is logged once in _dispatch.
    def log_message(self, format: str, *args) -> None:
        logger.debug("%s " + format, self.address_string(), *args)

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # Errors raised by the base class (bad request line, unknown method) as JSON too.
        self.close_connection = True
        if getattr(self, "request_version", "HTTP/0.9") == "HTTP/0.9":
            self.request_version = self.protocol_version  # answer garbage with a real status line
        try:
            self._send_json(code, {"message": message or self.responses.get(code, ("error",))[0]})
        except OSError:
            pass

    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_HEAD(self) -> None:
        self._dispatch("HEAD")

    def do_PUT(self) -> None:
        self._dispatch("PUT")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def do_PATCH(self) -> None:
        self._dispatch("PATCH")

    # -------------------------------------------------------------- core
    def _dispatch(self, method: str) -> None:
        started = time.perf_counter()
        self._status = 0
        self._sent = 0
        self._headers_done = False
        target = urlsplit(self.path)
        path, query = target.path or "/", target.query
        sandbox = self.server.sandbox
        try:
            body = self._read_body()
            want = _ROUTES.get(path)
            if want is None:
                raise _RequestError(404, f"接口不存在: {path}")
            if method != want and not (method == "HEAD" and path == DOWNLOAD_PATH):
                raise _RequestError(405, f"{path} 不支持 {method} 方法, 请使用 {want}")
            faults = sandbox._take_faults(path)
            if faults is not None and faults.status is not None:
                raise _RequestError(faults.status, f"注入的故障 (HTTP {faults.status})")
            if path == DOWNLOAD_PATH:
                self._serve_download(method, faults)
                return
            api_key = sandbox._authenticate(method, path, query, self.headers, body)
            self._route(path, api_key, body, faults)
        except _RequestError as err:
            self._fail(err.status, err.message)
        except _ConnectionCut:
            self._cut()
        except (BrokenPipeError, ConnectionResetError, TimeoutError) as err:
            logger.info("客户端在 %s %s 期间断开: %s", method, path, err)
            self.close_connection = True
        except Exception:  # defensive: report it, answer 500, keep serving
            logger.exception("处理 %s %s 时出错", method, path)
            self._fail(500, "沙盒服务内部错误")
        finally:
            logger.info("%s %s %s -> %s (%d bytes, %.1f ms)", self.client_address[0], method,
                        self.path, self._status or "中断", self._sent,
                        (time.perf_counter() - started) * 1000.0)

    def _fail(self, status: int, message: str) -> None:
        """以 JSON 错误应答; 响应头已发出时只能断开连接。"""
        if self._headers_done:
            self._cut()
            return
        try:
            self._send_json(status, {"message": message})
        except OSError:
            self.close_connection = True

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            return self._read_chunked_body()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        if not length.isdigit():
            self.close_connection = True
            raise _RequestError(400, "Content-Length 无效")
        n = int(length)
        if n > MAX_BODY_BYTES:
            self.close_connection = True
            raise _RequestError(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
        data = self.rfile.read(n)
        if len(data) != n:
            self.close_connection = True
            raise _RequestError(400, "请求体不完整")
        return data

    def _read_chunked_body(self) -> bytes:
        out = bytearray()
        while True:
            line = self.rfile.readline(1024).strip()
            try:
                size = int(line.split(b";")[0], 16)
            except ValueError:
                self.close_connection = True
                raise _RequestError(400, "分块请求体格式错误") from None
            if size == 0:
                while self.rfile.readline(1024).strip():
                    pass
                return bytes(out)
            if len(out) + size > MAX_BODY_BYTES:
                self.close_connection = True
                raise _RequestError(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
            out += self.rfile.read(size)
            self.rfile.readline(1024)

    def _route(self, path: str, api_key: str, body: bytes, faults: Faults | None) -> None:
        sandbox = self.server.sandbox
        if path == API_PREFIX + "/factors":
            self._send_json(200, sandbox._factor_list())
        elif path == API_PREFIX + "/quota":
            self._send_json(200, sandbox.quota(api_key))
        elif path == API_PREFIX + "/backtest-data/benchmark-data":
            self._send_json(200, {"download_url": sandbox.base_url + DOWNLOAD_PATH,
                                  "content_type": sandbox.benchmark_content_type})
        else:
            request = self._json_object(body)
            if path == API_PREFIX + "/factors/stream":
                schema, batches = sandbox._factor_stream(request)
            else:
                schema, batches = sandbox._index_stream(request)
            if sandbox.quota(api_key)["available_bytes"] <= 0:
                raise _RequestError(429, "流量配额已用尽")
            self._send_stream(schema, batches, api_key, faults)

    @staticmethod
    def _json_object(body: bytes) -> dict:
        if not body:
            raise _RequestError(400, "请求体必须是 JSON 对象")
        try:
            value = json.loads(body)
        except (ValueError, UnicodeDecodeError) as err:
            raise _RequestError(400, f"请求体不是合法的 JSON: {err}") from None
        if not isinstance(value, dict):
            raise _RequestError(400, "请求体必须是 JSON 对象")
        return value

    # ------------------------------------------------------------ output
    def _send_json(self, status: int, payload: Any, headers: dict[str, str] | None = None) -> None:
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self._headers_done = True
        self._status = status
        if self.command != "HEAD":
            self.wfile.write(data)
            self._sent += len(data)

    def _send_stream(self, schema: pa.Schema, batches: Iterator[pa.RecordBatch],
                     api_key: str, faults: Faults | None) -> None:
        sandbox = self.server.sandbox
        chunks = _ipc_chunks(schema, batches)
        first = next(chunks)  # build the first batch before committing to 200
        self.send_response(200)
        self.send_header("Content-Type", ARROW_STREAM_CONTENT_TYPE)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self._headers_done = True
        self._status = 200
        cut_bytes = faults.cut_after_bytes if faults else None
        cut_batches = faults.cut_after_batches if faults else None
        delay = faults.chunk_delay if faults else 0.0
        written_batches = 0
        for parts in itertools.chain([first], chunks):
            if cut_batches is not None and written_batches >= cut_batches:
                raise _ConnectionCut()
            if delay:
                time.sleep(delay)
            size = sum(len(p) for p in parts)
            if cut_bytes is not None and self._sent + size > cut_bytes:
                self._write_partial_chunk(parts, size, cut_bytes - self._sent)
                sandbox._add_usage(api_key, cut_bytes - self._sent)
                raise _ConnectionCut()
            self.wfile.write(b"".join([b"%X\r\n" % size, *parts, b"\r\n"]))
            self._sent += size
            sandbox._add_usage(api_key, size)
            written_batches += 1
        self.wfile.write(b"0\r\n\r\n")

    def _write_partial_chunk(self, parts: list, size: int, budget: int) -> None:
        self.wfile.write(b"%X\r\n" % size)
        for p in parts:
            if budget <= 0:
                break
            view = memoryview(p)[:budget]
            self.wfile.write(view)
            budget -= len(view)

    def _serve_download(self, method: str, faults: Faults | None) -> None:
        data = self.server.sandbox.package_bytes()
        size = len(data)
        status, lo, hi = 200, 0, size
        rng = self.headers.get("Range")
        if rng:
            parsed = _parse_range(rng, size)
            if parsed == "unsatisfiable":
                self._send_json(416, {"message": "请求的字节范围超出文件末尾"},
                                {"Content-Range": f"bytes */{size}"})
                return
            if parsed is not None:
                status, (lo, hi) = 206, parsed
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(hi - lo))
        if status == 206:
            self.send_header("Content-Range", f"bytes {lo}-{hi - 1}/{size}")
        self.end_headers()
        self._headers_done, self._status = True, status
        if method == "HEAD":
            return
        cut = faults.cut_after_bytes if faults else None
        delay = faults.chunk_delay if faults else 0.0
        view = memoryview(data)
        pos = lo
        while pos < hi:
            if delay:
                time.sleep(delay)
            end = min(pos + _DOWNLOAD_PIECE, hi)
            if cut is not None and self._sent + (end - pos) > cut:
                end = pos + max(cut - self._sent, 0)
                self.wfile.write(view[pos:end])
                self._sent += end - pos
                raise _ConnectionCut()
            self.wfile.write(view[pos:end])
            self._sent += end - pos
            pos = end

    def _cut(self) -> None:
        """断开连接, 不完成响应体。"""
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _parse_range(header: str, size: int):
    """单一字节范围的 ``(start, stop)``; 返回 ``None`` 表示忽略该请求头
    (格式错误或多个范围: 发送整个文件); 范围无法满足时返回 ``"unsatisfiable"``。"""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if m is None or (not m.group(1) and not m.group(2)):
        return None
    first, last = m.group(1), m.group(2)
    if not first:  # suffix range: the last N bytes
        n = int(last)
        if n == 0:
            return "unsatisfiable"
        return max(size - n, 0), size
    lo = int(first)
    if lo >= size:
        return "unsatisfiable"
    hi = size if not last else min(int(last) + 1, size)
    if hi <= lo:
        return None
    return lo, hi
