"""基于合成行情的本地数据服务。

:class:`SandboxServer` 提供与远程数据服务相同的接口, 走真实的回环 socket
(HTTP/1.1, 长连接):

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

``API_PREFIX`` 下的每个请求都必须签名 (见 :mod:`.auth`); 数据包本身的下载是
不签名的普通 GET, 相当于预签名链接。流式应答的格式见 :mod:`.streams`, 下载见
:mod:`.downloads`, 错误应答与路由见 :mod:`.handler`。

连接不各占一个线程: 一个后台线程上的 asyncio 事件循环服务全部连接, 生成 record batch、
市场与数据包等耗时的工作交给一个小线程池, 大的流式应答因此不会拖慢其他连接。同时至多
服务 ``max_connections`` 个连接, 更多的连接立即得到带 ``Retry-After`` 的 503 应答, 不会
在监听队列中等到超时或被重置。请求行与请求头须在收到请求的第一个字节后
``header_timeout`` 秒内送达, 整个请求 (含请求体) 须在开始等待它之后 ``request_timeout``
秒内送达, 否则连接被断开 (已收到部分请求时先以 408 应答); 空闲的长连接在
``request_timeout`` 秒后断开。

没有给出市场时, 市场在第一次用到时才生成, 数据包在第一次下载时才构建 (或从缓存读出,
见 :mod:`.package_cache`); :meth:`SandboxServer.prepare` 可以提前做这两件事。

测试通过 :attr:`SandboxServer.faults` 注入故障 (见 :class:`Faults`)。
"""

from __future__ import annotations

import asyncio
import logging
import os
import secrets
import socket
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

from .._api import API_PREFIX
from . import defaults
from .auth import RequestAuthenticator, canonical_request, sign_headers
from .downloads import DOWNLOAD_PATH, PackageDownloads
from .faults import Faults
from .handler import Connection
from .market import SyntheticMarket, market_days
from .package_cache import package_end_day
from .quota import TrafficQuota
from .streams import ARROW_STREAM_CONTENT_TYPE, Stream, factor_stream, index_stream

__all__ = [
    "API_PREFIX",
    "ARROW_STREAM_CONTENT_TYPE",
    "DOWNLOAD_PATH",
    "Faults",
    "SandboxServer",
    "canonical_request",
    "sign_headers",
]

logger = logging.getLogger("tolvane.sandbox")

_LISTEN_BACKLOG = 1024
_WORKERS = 2  # measured: more workers on 2 cores raised other requests' latency, not throughput
_STOP_SECONDS = 10.0


def _forwarded(component: str, name: str, doc: str) -> property:
    """An attribute of the server that lives on one of its parts."""
    return property(
        lambda self: getattr(getattr(self, component), name),
        lambda self, value: setattr(getattr(self, component), name, value),
        doc=doc,
    )


class SandboxServer(PackageDownloads):
    """本地数据服务; 也是启动与停止服务的上下文管理器。

    Args:
        market: 要提供的市场; 不给时用 ``seed``、``n_stocks``、``start``、``end`` 生成
            (第一次用到时才生成)。
        host: 绑定的回环地址 (``127.0.0.1``、``::1`` 或 ``localhost``)。
        port: TCP 端口; 0 表示自动选择空闲端口。
        api_key, api_secret: 客户端签名所用的密钥对; 不给时随机生成。
        batch_rows: 流式应答中一个 record batch 的最大行数。
        timestamp_window: 签名请求允许的时钟偏差, 秒。
        daily_quota_bytes, extra_quota_bytes: 每个密钥的流量配额。
        package: 供下载的基准数据包: zip 字节, 或 zip 文件的路径 (下载时逐段读出, 不整个读入
            内存); 不给时为市场从首日到 ``package_end`` 的回测准备数据存储。
        package_end: 不给 ``package`` 时数据包的结束日; None 表示市场末日。
        request_timeout: 一个请求从开始等待到完整收到的最长秒数。
        header_timeout: 请求行与请求头从第一个字节到完整收到的最长秒数。
        max_connections: 同时服务的连接数上限; 超出的连接得到 503 应答。

    Attributes:
        base_url: 启动后的 ``http://host:port``。
        faults: 作用于到达请求的 :class:`Faults`。
        benchmark_content_type: 数据包地址接口声明的内容类型。
        daily_quota_bytes, extra_quota_bytes: 可随时修改的配额。
        request_timeout, header_timeout, max_connections: 可随时修改, 对之后的请求与连接生效。
        package_end: 数据包的结束日 "YYYYMMDD"。
        auth: 校验请求签名的 :class:`~.auth.RequestAuthenticator`。
        traffic: 按密钥累计流量的 :class:`~.quota.TrafficQuota`。

    Raises:
        ValueError: 参数不合法, 例如日期区间内不足两个交易日、``package_end`` 不在市场区间内。
    """

    def __init__(
        self,
        market: SyntheticMarket | None = None,
        *,
        seed: int = defaults.SEED,
        n_stocks: int = 60,
        start="2022-01-01",
        end="2023-12-31",
        host: str = "127.0.0.1",
        port: int = 0,
        api_key: str | None = None,
        api_secret: str | None = None,
        batch_rows: int = 65536,
        timestamp_window: int = 300,
        daily_quota_bytes: int = 50 * 1024**3,
        extra_quota_bytes: int = 0,
        package: bytes | str | os.PathLike | None = None,
        package_end=None,
        request_timeout: float = 30.0,
        header_timeout: float = 10.0,
        max_connections: int = 512,
    ) -> None:
        if host not in ("127.0.0.1", "::1", "localhost"):
            raise ValueError("沙盒只监听回环地址 (127.0.0.1、::1 或 localhost)")
        if batch_rows < 1:
            raise ValueError("batch_rows 必须为正整数")
        if not request_timeout > 0 or not header_timeout > 0:
            raise ValueError("request_timeout 与 header_timeout 必须为正数")
        if max_connections < 1:
            raise ValueError("max_connections 必须为正整数")
        if package is not None and package_end is not None:
            raise ValueError("给出 package 时不能再给 package_end")
        self._market = market
        self._market_lock = threading.Lock()
        if market is None:
            days = market_days(n_stocks, start, end)
            first, last = str(days[0]), str(days[-1])
            self._market_key: dict | None = {
                "seed": int(seed),
                "n_stocks": int(n_stocks),
                "first_day": first,
                "last_day": last,
            }
        else:
            first, last = market.start, market.end
            self._market_key = None
        self.package_end = package_end_day(first, last, package_end)
        self.host, self.port = host, int(port)
        self.api_key = api_key or "sk-" + secrets.token_hex(8)
        self.api_secret = api_secret or secrets.token_hex(24)
        self.batch_rows = int(batch_rows)
        self.request_timeout = float(request_timeout)
        self.header_timeout = float(header_timeout)
        self.max_connections = int(max_connections)
        self.auth = RequestAuthenticator({self.api_key: self.api_secret}, timestamp_window)
        self.traffic = TrafficQuota(daily_quota_bytes, extra_quota_bytes)
        self.benchmark_content_type = "application/zip"
        self.faults = Faults()
        self._package = package
        self._package_lock = threading.Lock()
        self._lock = threading.Lock()
        self._service: _EventLoopService | None = None
        self.base_url = ""

    @property
    def market(self) -> SyntheticMarket:
        """提供的 :class:`SyntheticMarket`; 自己生成的市场在第一次用到时生成 (只生成一次)。"""
        if self._market is None:
            with self._market_lock:
                if self._market is None:
                    key = self._market_key
                    assert key is not None, "without a given market the server keeps the key to make one"
                    self._market = SyntheticMarket(
                        key["seed"], key["n_stocks"], key["first_day"], key["last_day"]
                    )
        return self._market

    def prepare(self) -> None:
        """提前构建 (或从缓存读出) 数据包并生成市场, 之后的请求不必等待它们; 可在后台线程中调用。"""
        if self.package_file() is None:
            self.package_bytes()
        _ = self.market  # made now rather than by the first request that needs it

    keys = _forwarded("auth", "keys", "接受的访问密钥 → 签名密钥。")
    timestamp_window = _forwarded("auth", "timestamp_window", "签名请求允许的时钟偏差, 秒。")
    daily_quota_bytes = _forwarded("traffic", "daily_quota_bytes", "每个密钥的每日基础额度。")
    extra_quota_bytes = _forwarded("traffic", "extra_quota_bytes", "每个密钥的加油包额度。")

    # ----------------------------------------------------------- lifecycle
    def start(self) -> SandboxServer:
        """绑定端口并在后台线程提供服务; 返回 ``self``。"""
        if self._service is not None:
            return self
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        listener = socket.create_server((self.host, self.port), family=family, backlog=_LISTEN_BACKLOG)
        self.port = listener.getsockname()[1]
        host = f"[{self.host}]" if ":" in self.host else self.host
        self.base_url = f"http://{host}:{self.port}"
        self._service = _EventLoopService(self, listener)
        try:
            self._service.start()
        except BaseException:
            self._service = None
            raise
        logger.info("沙盒服务已启动: 地址 %s", self.base_url)
        return self

    def stop(self) -> None:
        """停止服务: 关闭监听 socket 与所有连接 (进行中的应答被中断)。"""
        service, self._service = self._service, None
        if service is None:
            return
        service.stop()
        logger.info("沙盒服务已停止: %s", self.base_url)

    def serve_forever(self) -> None:
        """在调用线程上提供服务, 直到被中断。"""
        self.start()
        try:
            while self._service is not None and self._service.running:
                self._service.wait(0.5)
        finally:
            self.stop()

    def __enter__(self) -> SandboxServer:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def open_connections(self) -> int:
        """当前正在服务的客户端连接数。"""
        return self._service.open_connections if self._service is not None else 0

    # ------------------------------------------------------------- control
    def add_key(self, api_key: str, api_secret: str) -> None:
        """再接受一对密钥。"""
        self.keys[api_key] = api_secret

    def reset(self) -> None:
        """清空故障、流量用量与已记录的 nonce, 恢复初始的配额与数据包内容类型。"""
        with self._lock:
            self.faults = Faults()
        self.traffic.reset()
        self.auth.forget_nonces()
        self.benchmark_content_type = "application/zip"

    def usage(self, api_key: str | None = None) -> int:
        """到目前为止向某个密钥 (省略时为默认密钥) 发送的数据字节数。"""
        return self.traffic.usage(api_key or self.api_key)

    def quota(self, api_key: str | None = None) -> dict[str, Any]:
        """某个密钥 (省略时为默认密钥) 的配额应答。"""
        return self.traffic.reply(api_key or self.api_key)

    # ----------------------------------------------------------- endpoints
    def _factor_list(self) -> dict[str, Any]:
        m = self.market
        items = []
        for k, name in enumerate(m.factor_names(), start=1):
            info = m.factor_info(name)
            items.append(
                {
                    "factorname": name,
                    "startDate": m.start,
                    "endDate": m.end,
                    "unit": info.unit,
                    "category": info.category,
                    "description": info.description,
                    "frequency": "1d",
                    "factor_id": k,
                }
            )
        return {"items": items, "total": len(items)}

    def _factor_stream(self, body: dict) -> Stream:
        return factor_stream(self.market, body, self.batch_rows)

    def _index_stream(self, body: dict) -> Stream:
        return index_stream(self.market, body, self.batch_rows)

    # ------------------------------------------------------------ internal
    def _take_faults(self, path: str) -> Faults | None:
        """本次请求要注入的故障; ``times`` 用完时清空 :attr:`faults`。"""
        with self._lock:
            taken = self.faults.take(path)
            if taken is not None and self.faults.used_up():
                self.faults = Faults()
            return taken


class _EventLoopService:
    """The listening socket and the event loop thread that serves its connections,
    with the worker pool the connections hand their heavy work to."""

    def __init__(self, sandbox: SandboxServer, listener: socket.socket) -> None:
        self.sandbox = sandbox
        self.open_connections = 0
        self._listener = listener
        self._loop = asyncio.new_event_loop()
        self._pool = ThreadPoolExecutor(_WORKERS, thread_name_prefix=f"tolvane-sandbox-{sandbox.port}-work")
        self._connections: set[asyncio.Task] = set()
        self._started: Future = Future()
        self._thread = threading.Thread(target=self._run, name=f"tolvane-sandbox-{sandbox.port}", daemon=True)

    def start(self) -> None:
        self._thread.start()
        self._started.result()

    @property
    def running(self) -> bool:
        return self._thread.is_alive()

    def wait(self, seconds: float) -> None:
        self._thread.join(seconds)

    def stop(self) -> None:
        if self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(_STOP_SECONDS)
        self._pool.shutdown(wait=False, cancel_futures=True)

    def _run(self) -> None:
        loop = self._loop
        asyncio.set_event_loop(loop)
        try:
            server = loop.run_until_complete(
                asyncio.start_server(self._connected, sock=self._listener, backlog=_LISTEN_BACKLOG)
            )
        except BaseException as error:
            self._listener.close()
            loop.close()
            self._started.set_exception(error)
            return
        self._started.set_result(None)
        try:
            loop.run_forever()
        finally:
            server.close()
            for task in self._connections:
                task.cancel()
            loop.run_until_complete(asyncio.gather(*self._connections, return_exceptions=True))
            loop.run_until_complete(asyncio.sleep(0))  # let the closed transports let go of their sockets
            loop.close()

    async def _connected(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None, "a connection is served by a task"
        self._connections.add(task)
        connection = Connection(self.sandbox, reader, writer, self._pool)
        try:
            if self.open_connections >= self.sandbox.max_connections:
                await connection.turn_away()
                return
            self.open_connections += 1
            try:
                await connection.serve()
            finally:
                self.open_connections -= 1
        except Exception:  # defensive: a connection's fault never stops the service
            logger.exception("处理来自 %s 的连接时出错", connection.client_address)
        finally:
            self._connections.discard(task)
