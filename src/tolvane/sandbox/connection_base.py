"""连接处理各部分的共同基类。"""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from http.client import HTTPMessage
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    from .server import SandboxServer

__all__ = ["ConnectionBase"]

_Result = TypeVar("_Result")


class ConnectionBase:
    """应答请求的各部分 (:class:`~.streams.ArrowStreaming`、:class:`~.downloads.DownloadServing`)
    用到的连接状态与收发方法, 由它们所属的 :class:`~.handler.Connection` 提供。"""

    sandbox: SandboxServer
    headers: HTTPMessage
    _sent: int

    # Declared for the type checker only: Connection defines them, and a definition
    # here would stand in for a missing one instead of failing.
    if TYPE_CHECKING:

        def _off_loop(self, function: Callable[..., _Result], *args: Any) -> asyncio.Future[_Result]: ...

        def _start_answer(self, status: int, headers: dict[str, str]) -> None: ...

        async def _write(self, data: bytes) -> None: ...

        async def _write_pieces(self, pieces: list) -> None: ...

        async def _send_json(
            self, status: int, payload: Any, headers: dict[str, str] | None = None
        ) -> None: ...
