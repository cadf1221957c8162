"""基准数据包的下载: 数据包内容与不签名的 ``DOWNLOAD_PATH`` 接口。

下载支持 HTTP Range 续传: 应答带强校验的 ``ETag`` (数据包字节的 SHA-256), 客户端续传时
以 ``If-Range`` 带上它; 数据包在两次请求之间换过时标签不再相符, 服务端忽略 Range, 以 200
发送整个新数据包 (RFC 9110), 客户端因此不会把两个数据包的字节拼在一起。
"""

from __future__ import annotations

import asyncio
import hashlib
import io
import os
import re
import threading
import time
from typing import TYPE_CHECKING, BinaryIO

from .connection_base import ConnectionBase
from .faults import ConnectionCut, Faults
from .package_cache import cached_package
from .parsing import ascii_int

if TYPE_CHECKING:
    from .market import SyntheticMarket

__all__ = ["DOWNLOAD_PATH", "DownloadServing", "PackageDownloads"]

#: Unsigned download path of the benchmark package.
DOWNLOAD_PATH = "/downloads/benchmark-data.zip"

_DOWNLOAD_PIECE = 1 << 20  # a loop turn per piece: 64 KiB pieces served about a third slower
_PAST_ANY_FILE = 10**18
_HASH_PIECE = 1 << 20
# Time stamps of some file systems are coarse: a file written a moment ago may be
# written again without its time stamps changing, so its tag is not remembered.
_SETTLED_NS = 2_000_000_000


class PackageDownloads:
    """沙盒服务中提供数据包内容的部分: ``market``、``package_end``、``_market_key``
    (自己生成的市场的参数, 数据包可以缓存; 给定的市场为 ``None``)、可选的 ``_package``
    字节或路径与 ``_package_lock``。"""

    package_end: str
    _market_key: dict | None
    _package: bytes | str | os.PathLike | None
    _package_lock: threading.Lock
    _memory_tag: str | None = None
    _file_tag: tuple[tuple, str] | None = None

    if TYPE_CHECKING:

        @property
        def market(self) -> SyntheticMarket: ...

    def package_file(self) -> str | os.PathLike | None:
        """数据包以路径给出时的文件; 以字节给出或由服务构建时为 ``None``。"""
        return self._package if isinstance(self._package, (str, os.PathLike)) else None

    def package_bytes(self) -> bytes:
        """供下载的基准数据包; 第一次用到时构建 (或从缓存读出), 同时到达的请求只构建一次。"""
        if isinstance(self._package, (str, os.PathLike)):
            with open(self._package, "rb") as package:
                return package.read()
        with self._package_lock:
            if self._package is None:
                self._package = self._build_package()
            return self._package

    def _build_package(self) -> bytes:
        def build() -> bytes:
            from .package import build_benchmark_package  # pandas and the builder: only to build

            return build_benchmark_package(self.market, self.package_end)

        if self._market_key is None:  # a market given by the caller may be anything
            return build()
        return cached_package({**self._market_key, "package_end": self.package_end}, build)

    def tagged_package(self) -> tuple[BinaryIO, str]:
        """打开的数据包与它的实体标签 (``ETag``: 带引号的字节 SHA-256)。"""
        path = self.package_file()
        if path is None:
            data = self.package_bytes()  # never replaced once made: its tag is worked out once
            with self._package_lock:
                if self._memory_tag is None:
                    self._memory_tag = _entity_tag([data])
                return io.BytesIO(data), self._memory_tag
        package = open(path, "rb")
        try:
            return package, self._tag_of_file(package)
        except BaseException:
            package.close()
            raise

    def _tag_of_file(self, package: BinaryIO) -> str:
        status = os.fstat(package.fileno())
        identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)
        with self._package_lock:
            if self._file_tag is not None and self._file_tag[0] == identity:
                return self._file_tag[1]
        package.seek(0)
        tag = _entity_tag(iter(lambda: package.read(_HASH_PIECE), b""))
        if time.time_ns() - max(status.st_mtime_ns, status.st_ctime_ns) > _SETTLED_NS:
            with self._package_lock:
                self._file_tag = (identity, tag)
        return tag


def _entity_tag(pieces) -> str:
    digest = hashlib.sha256()
    for piece in pieces:
        digest.update(piece)
    return f'"{digest.hexdigest()}"'


class DownloadServing(ConnectionBase):
    """连接处理中应答数据包下载的部分。"""

    async def _serve_download(self, method: str, faults: Faults | None) -> None:
        # Building the package, or hashing a file, can take seconds: not on the event loop.
        package, tag = await self._off_loop(self.sandbox.tagged_package)
        with package:
            await self._send_package(package, tag, method, faults)

    async def _send_package(self, package: BinaryIO, tag: str, method: str, faults: Faults | None) -> None:
        size = package.seek(0, io.SEEK_END)
        status, lo, hi = 200, 0, size
        rng = None if faults and faults.ignore_range else self.headers.get("Range")
        if rng and not _range_still_applies(self.headers.get("If-Range"), tag):
            rng = None  # the client holds part of another package: it gets the whole of this one
        if rng:
            parsed = _parse_range(rng, size)
            if parsed == "unsatisfiable":
                await self._send_json(
                    416, {"message": "请求的字节范围超出文件末尾"}, {"Content-Range": f"bytes */{size}"}
                )
                return
            if parsed is not None:
                status, (lo, hi) = 206, parsed
                if faults and faults.range_start is not None:
                    lo = min(faults.range_start, hi - 1)
        chunked = bool(faults and faults.chunked_download)
        headers = {"Content-Type": "application/zip", "Accept-Ranges": "bytes", "ETag": tag}
        if chunked:
            headers["Transfer-Encoding"] = "chunked"
        else:
            headers["Content-Length"] = str(hi - lo)
        if status == 206:
            headers["Content-Range"] = f"bytes {lo}-{hi - 1}/{size}"
        self._start_answer(status, headers)
        if method == "HEAD":
            return
        cut = faults.cut_after_bytes if faults else None
        delay = faults.chunk_delay if faults else 0.0
        package.seek(lo)
        pos = lo
        while pos < hi:
            if delay:
                await asyncio.sleep(delay)
            piece = package.read(min(_DOWNLOAD_PIECE, hi - pos))
            if not piece:  # the file shrank while being served
                raise ConnectionCut()
            if cut is not None and self._sent + len(piece) > cut:
                await self._write_download_piece(piece[: max(cut - self._sent, 0)], chunked)
                raise ConnectionCut()
            await self._write_download_piece(piece, chunked)
            pos += len(piece)
        if chunked:
            await self._write(b"0\r\n\r\n")

    async def _write_download_piece(self, piece: bytes, chunked: bool) -> None:
        if not piece:  # nothing to send; an empty chunk would even end the body
            return
        await self._write(b"%X\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        self._sent += len(piece)


def _range_still_applies(if_range: str | None, tag: str) -> bool:
    """Whether a Range header stands under the request's If-Range (RFC 9110, 13.1.5):
    only when If-Range is absent or names the current tag, compared strongly. A weak
    tag never matches, and a date cannot (the service sends no Last-Modified)."""
    return if_range is None or if_range.strip() == tag


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
