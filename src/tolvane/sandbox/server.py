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

``API_PREFIX`` 下的每个请求都必须签名 (见 :mod:`.auth`); 数据包本身的下载是
不签名的普通 GET, 相当于预签名链接。流式应答的格式见 :mod:`.streams`, 错误应答与
路由见 :mod:`.handler`。

每个连接由一个线程服务, 同时至多 ``max_connections`` 个; 更多的连接在监听队列中
等待空位。一个请求 (请求行、请求头与请求体) 须在 ``request_timeout`` 秒内完整送达,
否则连接被断开 (已收到部分请求时先以 408 应答), 空闲的长连接同样在这段时间后断开。

测试通过 :attr:`SandboxServer.faults` 注入故障 (见 :class:`Faults`)。
"""

from __future__ import annotations

import logging
import os
import secrets
import socket
import sys
import threading
from http.server import ThreadingHTTPServer
from typing import Any

from .._http import API_PREFIX
from .auth import RequestAuthenticator, canonical_request, sign_headers
from .downloads import DOWNLOAD_PATH, PackageDownloads
from .faults import Faults
from .handler import RequestHandler
from .market import SyntheticMarket
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


def _forwarded(component: str, name: str, doc: str) -> property:
    """An attribute of the server that lives on one of its parts."""
    return property(lambda self: getattr(getattr(self, component), name),
                    lambda self, value: setattr(getattr(self, component), name, value),
                    doc=doc)


class SandboxServer(PackageDownloads):
    """本地数据服务; 也是启动与停止服务的上下文管理器。

    Args:
        market: 要提供的市场; 不给时用 ``seed``、``n_stocks``、``start``、``end`` 生成。
        host: 绑定的回环地址 (``127.0.0.1``、``::1`` 或 ``localhost``)。
        port: TCP 端口; 0 表示自动选择空闲端口。
        api_key, api_secret: 客户端签名所用的密钥对; 不给时随机生成。
        batch_rows: 流式应答中一个 record batch 的最大行数。
        timestamp_window: 签名请求允许的时钟偏差, 秒。
        daily_quota_bytes, extra_quota_bytes: 每个密钥的流量配额。
        package: 供下载的基准数据包: zip 字节, 或 zip 文件的路径 (下载时逐段读出, 不整个读入
            内存); 不给时为市场整个区间的回测准备数据存储。
        request_timeout: 一个请求从开始等待到完整收到的最长秒数。
        max_connections: 同时服务的连接数上限。

    Attributes:
        base_url: 启动后的 ``http://host:port``。
        faults: 作用于到达请求的 :class:`Faults`。
        benchmark_content_type: 数据包地址接口声明的内容类型。
        daily_quota_bytes, extra_quota_bytes: 可随时修改的配额。
        request_timeout, max_connections: 可随时修改, 对之后的请求与连接生效。
        auth: 校验请求签名的 :class:`~.auth.RequestAuthenticator`。
        traffic: 按密钥累计流量的 :class:`~.quota.TrafficQuota`。
    """

    def __init__(self, market: SyntheticMarket | None = None, *, seed: int = 7,
                 n_stocks: int = 60, start="2022-01-01", end="2023-12-31",
                 host: str = "127.0.0.1", port: int = 0,
                 api_key: str | None = None, api_secret: str | None = None,
                 batch_rows: int = 65536, timestamp_window: int = 300,
                 daily_quota_bytes: int = 50 * 1024 ** 3, extra_quota_bytes: int = 0,
                 package: bytes | str | os.PathLike | None = None,
                 request_timeout: float = 30.0, max_connections: int = 64) -> None:
        if host not in ("127.0.0.1", "::1", "localhost"):
            raise ValueError("沙盒只监听回环地址 (127.0.0.1、::1 或 localhost)")
        if batch_rows < 1:
            raise ValueError("batch_rows 必须为正整数")
        if not request_timeout > 0:
            raise ValueError("request_timeout 必须为正数")
        if max_connections < 1:
            raise ValueError("max_connections 必须为正整数")
        self.market = market if market is not None else SyntheticMarket(seed, n_stocks, start, end)
        self.host, self.port = host, int(port)
        self.api_key = api_key or "sk-" + secrets.token_hex(8)
        self.api_secret = api_secret or secrets.token_hex(24)
        self.batch_rows = int(batch_rows)
        self.request_timeout = float(request_timeout)
        self.max_connections = int(max_connections)
        self.auth = RequestAuthenticator({self.api_key: self.api_secret}, timestamp_window)
        self.traffic = TrafficQuota(daily_quota_bytes, extra_quota_bytes)
        self.benchmark_content_type = "application/zip"
        self.faults = Faults()
        self._package = package
        self._package_lock = threading.Lock()
        self._lock = threading.Lock()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self.base_url = ""

    keys = _forwarded("auth", "keys", "接受的访问密钥 → 签名密钥。")
    timestamp_window = _forwarded("auth", "timestamp_window", "签名请求允许的时钟偏差, 秒。")
    daily_quota_bytes = _forwarded("traffic", "daily_quota_bytes", "每个密钥的每日基础额度。")
    extra_quota_bytes = _forwarded("traffic", "extra_quota_bytes", "每个密钥的加油包额度。")

    # ----------------------------------------------------------- lifecycle
    def start(self) -> "SandboxServer":
        """绑定端口并在后台线程提供服务; 返回 ``self``。"""
        if self._httpd is not None:
            return self
        server_cls = _IPv6Server if ":" in self.host else _Server
        httpd = server_cls((self.host, self.port), RequestHandler)
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

    @property
    def open_connections(self) -> int:
        """当前正在服务的客户端连接数。"""
        return self._httpd.open_connections if self._httpd is not None else 0

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
            items.append({
                "factorname": name, "startDate": m.start, "endDate": m.end,
                "unit": info.unit, "category": info.category,
                "description": info.description, "frequency": "1d", "factor_id": k,
            })
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


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    sandbox: SandboxServer

    def __init__(self, address, handler_class) -> None:
        super().__init__(address, handler_class)
        self.open_connections = 0
        self._slot_freed = threading.Condition()
        self._closing = False

    def process_request(self, request, client_address) -> None:
        # One thread per connection, at most max_connections at once; the accept
        # loop waits here for a free slot and later clients in the listen backlog.
        with self._slot_freed:
            while self.open_connections >= self.sandbox.max_connections and not self._closing:
                self._slot_freed.wait()
            if self._closing:
                self.shutdown_request(request)
                return
            self.open_connections += 1
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._release_slot()
            raise

    def process_request_thread(self, request, client_address) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._release_slot()

    def _release_slot(self) -> None:
        with self._slot_freed:
            self.open_connections -= 1
            self._slot_freed.notify()

    def shutdown(self) -> None:
        with self._slot_freed:
            self._closing = True
            self._slot_freed.notify_all()
        super().shutdown()

    def handle_error(self, request, client_address) -> None:  # never print to stderr
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, TimeoutError)):  # a client going away is normal
            logger.debug("与 %s 的连接中断: %r", client_address, error)
        else:
            logger.exception("处理来自 %s 的连接时出错", client_address)


class _IPv6Server(_Server):
    address_family = socket.AF_INET6
