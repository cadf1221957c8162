"""基准数据包的下载: 数据包内容与不签名的 ``DOWNLOAD_PATH`` 接口 (支持 HTTP Range)。"""

from __future__ import annotations

import io
import os
import re
import time
from typing import BinaryIO

from .faults import ConnectionCut, Faults
from .package import build_benchmark_package
from .parsing import ascii_int

__all__ = ["DOWNLOAD_PATH", "DownloadServing", "PackageDownloads"]

#: Unsigned download path of the benchmark package.
DOWNLOAD_PATH = "/downloads/benchmark-data.zip"

_DOWNLOAD_PIECE = 64 * 1024
_PAST_ANY_FILE = 10 ** 18


class PackageDownloads:
    """沙盒服务中提供数据包内容的部分: ``market``、可选的 ``_package`` 字节与
    ``_package_lock``。"""

    def package_bytes(self) -> bytes:
        """供下载的基准数据包; 第一次请求时构建, 同时到达的请求只构建一次。"""
        if isinstance(self._package, (str, os.PathLike)):
            with open(self._package, "rb") as package:
                return package.read()
        with self._package_lock:
            if self._package is None:
                self._package = build_benchmark_package(self.market)
            return self._package

    def open_package(self) -> BinaryIO:
        """以只读二进制文件打开供下载的数据包; 路径给出的数据包直接打开该文件。"""
        if isinstance(self._package, (str, os.PathLike)):
            return open(self._package, "rb")
        return io.BytesIO(self.package_bytes())


class DownloadServing:
    """请求处理器中应答数据包下载的部分。"""

    def _serve_download(self, method: str, faults: Faults | None) -> None:
        with self.server.sandbox.open_package() as package:
            self._send_package(package, method, faults)

    def _send_package(self, package: BinaryIO, method: str, faults: Faults | None) -> None:
        size = package.seek(0, io.SEEK_END)
        status, lo, hi = 200, 0, size
        rng = None if faults and faults.ignore_range else self.headers.get("Range")
        if rng:
            parsed = _parse_range(rng, size)
            if parsed == "unsatisfiable":
                self._send_json(416, {"message": "请求的字节范围超出文件末尾"},
                                {"Content-Range": f"bytes */{size}"})
                return
            if parsed is not None:
                status, (lo, hi) = 206, parsed
                if faults and faults.range_start is not None:
                    lo = min(faults.range_start, hi - 1)
        chunked = bool(faults and faults.chunked_download)
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Accept-Ranges", "bytes")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(hi - lo))
        if status == 206:
            self.send_header("Content-Range", f"bytes {lo}-{hi - 1}/{size}")
        self.end_headers()
        self._headers_done, self._status = True, status
        if method == "HEAD":
            return
        cut = faults.cut_after_bytes if faults else None
        delay = faults.chunk_delay if faults else 0.0
        package.seek(lo)
        pos = lo
        while pos < hi:
            if delay:
                time.sleep(delay)
            piece = package.read(min(_DOWNLOAD_PIECE, hi - pos))
            if not piece:  # the file shrank while being served
                raise ConnectionCut()
            if cut is not None and self._sent + len(piece) > cut:
                self._write_download_piece(piece[:max(cut - self._sent, 0)], chunked)
                raise ConnectionCut()
            self._write_download_piece(piece, chunked)
            pos += len(piece)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")

    def _write_download_piece(self, piece: bytes, chunked: bool) -> None:
        if not piece:  # nothing to send; an empty chunk would even end the body
            return
        self.wfile.write(b"%X\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        self._sent += len(piece)


def _parse_range(header: str, size: int):
    """单一字节范围的 ``(start, stop)``; 返回 ``None`` 表示忽略该请求头
    (格式错误或多个范围: 发送整个文件); 范围无法满足时返回 ``"unsatisfiable"``。"""
    m = re.fullmatch(r"\s*bytes\s*=\s*([0-9]*)\s*-\s*([0-9]*)\s*", header)
    if m is None or (not m.group(1) and not m.group(2)):
        return None
    first, last = m.group(1), m.group(2)
    if not first:  # suffix range: the last N bytes
        n = _byte_position(last)
        if n == 0:
            return "unsatisfiable"
        return max(size - n, 0), size
    lo = _byte_position(first)
    if lo >= size:
        return "unsatisfiable"
    hi = size if not last else min(_byte_position(last) + 1, size)
    if hi <= lo:
        return None
    return lo, hi


def _byte_position(digits: str) -> int:
    """A byte position written in ASCII digits; one of more than 18 digits lies
    past the end of any file (and ``int()`` refuses texts of over 4300 digits)."""
    position = ascii_int(digits.lstrip("0") or "0", 18)
    return _PAST_ANY_FILE if position is None else position
