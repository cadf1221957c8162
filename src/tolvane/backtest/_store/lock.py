"""存储的写锁: 同一时刻只有一个进程 (及其中一个线程) 写入一个存储。

写入者对存储目录中的 ``.writer.lock`` 加建议性的排他锁 (``flock``), 进程退出或被杀时
由内核释放; 持有者把自己的进程号写进锁文件, 等待的一方据此说明在等谁。同一进程中
锁可以重入 (更新存储时先加锁读取, 再在锁内写入), 其他线程等待。读取者从不加锁。

锁文件从不删除: 删除后重建的文件是另一个 inode, 两个进程会各自 "持有" 一把锁。
"""

from __future__ import annotations

import fcntl
import os
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

from ...exceptions import StoreLockedError
from .._defaults import DEFAULT_LOCK_TIMEOUT
from .format import LOCK_FILE

_POLL_SECONDS = 0.05

WaitNotice = Callable[[Path, "int | None"], None]


class _Holding:
    """This process's hold on one store's lock."""

    def __init__(self) -> None:
        self.thread_lock = threading.RLock()
        self.depth = 0
        self.fd = -1


_holdings: dict[str, _Holding] = {}
_holdings_guard = threading.Lock()


def _holder_pid(fd: int) -> int | None:
    try:
        text = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
    except OSError:
        return None
    return int(text) if text.isdigit() and len(text) < 12 else None


def describe_holder(store_dir: Path, pid: int | None) -> str:
    """ "存储 <目录> 正被另一个写入进程 (pid N) 占用" (不知道进程号时不写它)。"""
    holder = f" (pid {pid}) " if pid else ""
    return f"存储 {store_dir} 正被另一个写入进程{holder}占用"


def _refusal(store_dir: Path, pid: int | None, timeout: float | None) -> StoreLockedError:
    waited = f", 等待 {timeout:g} 秒后仍未释放; 请稍后再试或加大等待时间" if timeout else ""
    return StoreLockedError(describe_holder(store_dir, pid) + waited, store_dir, pid)


def _lock_file(
    store_dir: Path, deadline: float | None, timeout: float | None, on_wait: WaitNotice | None
) -> int:
    fd = os.open(store_dir / LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    told = False
    try:
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                pid = _holder_pid(fd)
                if deadline is not None and time.monotonic() >= deadline:
                    raise _refusal(store_dir, pid, timeout) from None
                if not told and on_wait is not None:
                    on_wait(store_dir, pid)
                    told = True
                time.sleep(_POLL_SECONDS)
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _unlock_file(fd: int) -> None:
    try:
        os.ftruncate(fd, 0)
    finally:
        os.close(fd)  # closing the descriptor releases the flock


@contextmanager
def writer_lock(
    store_dir: Path, timeout: float | None = DEFAULT_LOCK_TIMEOUT, on_wait: WaitNotice | None = None
) -> Iterator[bool]:
    """在 ``store_dir`` 上持有写锁 (目录须已存在)。

    Args:
        store_dir: 存储目录。
        timeout: 最多等待的秒数; 0 表示不等待, None 表示一直等。
        on_wait: 需要等待时调用一次, 参数为存储目录与持锁进程号 (不知道时为 None)。

    Yields:
        bool: 这一次是否是本进程最外层的加锁 (恢复中断的写入只在最外层做一次)。

    Raises:
        StoreLockedError: 在 ``timeout`` 秒内没有等到锁。
    """
    key = os.path.realpath(store_dir)
    with _holdings_guard:
        holding = _holdings.setdefault(key, _Holding())
    deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
    if not holding.thread_lock.acquire(blocking=False):
        if on_wait is not None:
            on_wait(store_dir, os.getpid())
        acquired = (
            holding.thread_lock.acquire(timeout=-1 if timeout is None else max(timeout, 0.0))
            if timeout != 0
            else False
        )
        if not acquired:
            raise _refusal(store_dir, os.getpid(), timeout)
    try:
        outermost = holding.depth == 0
        if outermost:
            holding.fd = _lock_file(store_dir, deadline, timeout, on_wait)
        holding.depth += 1
        try:
            yield outermost
        finally:
            holding.depth -= 1
            if holding.depth == 0:
                fd, holding.fd = holding.fd, -1
                _unlock_file(fd)
    finally:
        holding.thread_lock.release()
