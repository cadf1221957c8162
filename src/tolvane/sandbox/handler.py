"""沙盒服务的 HTTP 请求处理: 路由、请求体、鉴权、JSON 应答与断开连接。

错误应答为 JSON ``{"message": ...}``: 违反服务规则或无法解析的请求为 400,
鉴权失败为 401, 未知路径或方法为 404/405, 流量配额用尽为 429。
"""

from __future__ import annotations

import json
import logging
import socket
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import urlsplit

from .._http import API_PREFIX
from .downloads import DOWNLOAD_PATH, DownloadServing
from .faults import ConnectionCut, Faults
from .parsing import RequestError, json_object
from .streams import ArrowStreaming

__all__ = ["MAX_BODY_BYTES", "RequestHandler"]

MAX_BODY_BYTES = 1 << 20

logger = logging.getLogger("tolvane.sandbox")


_ROUTES = {
    API_PREFIX + "/factors/stream": "POST",
    API_PREFIX + "/index-day/stream": "POST",
    API_PREFIX + "/factors": "GET",
    API_PREFIX + "/quota": "GET",
    API_PREFIX + "/backtest-data/benchmark-data": "GET",
    DOWNLOAD_PATH: "GET",
}


class RequestHandler(ArrowStreaming, DownloadServing, BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tolvane-sandbox/1.0"
    timeout = 60
    server: ThreadingHTTPServer  # with a ``sandbox`` attribute
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
                raise RequestError(404, f"接口不存在: {path}")
            if method != want and not (method == "HEAD" and path == DOWNLOAD_PATH):
                raise RequestError(405, f"{path} 不支持 {method} 方法, 请使用 {want}")
            faults = sandbox._take_faults(path)
            if faults is not None and faults.status is not None:
                raise RequestError(faults.status, f"注入的故障 (HTTP {faults.status})")
            if path == DOWNLOAD_PATH:
                self._serve_download(method, faults)
                return
            api_key = sandbox.auth.authenticate(method, path, query, self.headers, body)
            self._route(path, api_key, body, faults)
        except RequestError as err:
            self._fail(err.status, err.message)
        except ConnectionCut:
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
            raise RequestError(400, "Content-Length 无效")
        n = int(length)
        if n > MAX_BODY_BYTES:
            self.close_connection = True
            raise RequestError(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
        data = self.rfile.read(n)
        if len(data) != n:
            self.close_connection = True
            raise RequestError(400, "请求体不完整")
        return data

    def _read_chunked_body(self) -> bytes:
        out = bytearray()
        while True:
            line = self.rfile.readline(1024).strip()
            try:
                size = int(line.split(b";")[0], 16)
            except ValueError:
                self.close_connection = True
                raise RequestError(400, "分块请求体格式错误") from None
            if size == 0:
                while self.rfile.readline(1024).strip():
                    pass
                return bytes(out)
            if len(out) + size > MAX_BODY_BYTES:
                self.close_connection = True
                raise RequestError(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
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
            request = json_object(body)
            if path == API_PREFIX + "/factors/stream":
                schema, batches = sandbox._factor_stream(request)
            else:
                schema, batches = sandbox._index_stream(request)
            if sandbox.quota(api_key)["available_bytes"] <= 0:
                raise RequestError(429, "流量配额已用尽")
            self._send_stream(schema, batches, api_key, faults)

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

    def _cut(self) -> None:
        """断开连接, 不完成响应体。"""
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
