"""测试用的故障注入: 对匹配的请求改答状态码、截断响应体或放慢发送。"""

from __future__ import annotations

from dataclasses import dataclass, replace

__all__ = ["Faults", "ConnectionCut"]


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
        ignore_range: 数据包下载忽略 Range 请求头, 以 200 发送整个文件 (不支持续传的服务器)。
        range_start: 带 Range 的数据包下载一律从这个字节位置起以 206 应答, Content-Range
            如实标出这个起点, 而不是请求的起点。
        chunked_download: 数据包下载以分块传输编码应答, 不带 Content-Length。
        paths: 故障作用的请求路径 (不含查询串, 精确匹配); 为空时作用于所有路径。
        times: 故障作用的匹配请求次数; ``None`` 表示一直作用。减到 0 时故障清空。
    """

    status: int | None = None
    cut_after_bytes: int | None = None
    cut_after_batches: int | None = None
    chunk_delay: float = 0.0
    paths: tuple[str, ...] = ()
    times: int | None = None
    ignore_range: bool = False
    range_start: int | None = None
    chunked_download: bool = False

    def active(self) -> bool:
        return (
            self.status is not None
            or self.cut_after_bytes is not None
            or self.cut_after_batches is not None
            or self.chunk_delay > 0
            or self.ignore_range
            or self.range_start is not None
            or self.chunked_download
        )

    def take(self, path: str) -> Faults | None:
        """本次请求 ``path`` 要注入的故障 (不匹配时为 ``None``), 并计入 ``times``。"""
        if not self.active() or (self.paths and path not in self.paths):
            return None
        snapshot = replace(self, times=None)
        if self.times is not None:
            self.times -= 1
        return snapshot

    def used_up(self) -> bool:
        """``times`` 已经用完。"""
        return self.times is not None and self.times <= 0


class ConnectionCut(Exception):
    """在处理函数内抛出, 表示放弃已开始的响应体。"""
