"""在子进程中运行沙盒数据服务。

子进程与调用方不共享 GIL, 下载与流式应答因此与调用方的计算并行; 它就是命令
``tolvane sandbox``, 在空闲端口上启动后打印地址与密钥, :class:`SandboxProcess`
读取它们。子进程不会成为孤儿: 离开上下文、调用 :meth:`SandboxProcess.stop` 或
调用方出错时它被停止; 调用方进程意外退出 (哪怕被 ``kill -9``) 时, 子进程的标准
输入随之关闭, 它随即自行退出。
"""

from __future__ import annotations

import os
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path

from ..exceptions import TolvaneError
from . import defaults

__all__ = ["SandboxProcess", "SandboxStartError"]


class SandboxStartError(TolvaneError, RuntimeError):
    """沙盒子进程没有启动 (参数不合法、端口被占用、超时等); 信息中附它日志的末尾。"""


_HEADER_KEYS = ("base_url", "api_key", "api_secret")
_STOP_GRACE_SECONDS = 10.0


class SandboxProcess:
    """在子进程中运行的沙盒数据服务; 也是启动与停止它的上下文管理器::

        with SandboxProcess(n_stocks=100) as sandbox:
            tolvane.init(sandbox.api_key, sandbox.api_secret, base_url=sandbox.base_url)

    Args:
        seed, n_stocks, start, end: 合成市场 (见 :class:`~tolvane.sandbox.SyntheticMarket`)。
        package_end: 基准数据包的结束日; None 表示市场末日。
        api_key, api_secret: 固定的密钥对; 不给时由子进程随机生成并打印。
        port: TCP 端口; 0 表示自动选择空闲端口。
        log_path: 子进程日志 (标准错误) 写入的文件; None 表示丢弃。
        startup_timeout: 等待子进程打印地址的最长秒数。

    Attributes:
        base_url, api_key, api_secret: 启动后从子进程读到的地址与密钥。
        process: 子进程的 :class:`subprocess.Popen`; 启动前为 None。
    """

    def __init__(
        self,
        *,
        seed: int = defaults.SEED,
        n_stocks: int = defaults.N_STOCKS,
        start=defaults.START,
        end=defaults.END,
        package_end=None,
        api_key: str | None = None,
        api_secret: str | None = None,
        port: int = 0,
        log_path: str | os.PathLike | None = None,
        startup_timeout: float = 120.0,
    ) -> None:
        self.command = [
            sys.executable,
            "-m",
            "tolvane",
            "sandbox",
            "--port",
            str(int(port)),
            "--seed",
            str(int(seed)),
            "--stocks",
            str(int(n_stocks)),
            "--start",
            str(start),
            "--end",
            str(end),
            "--stop-on-stdin-eof",
        ]
        if package_end is not None:
            self.command += ["--package-end", str(package_end)]
        for option, value in (("--api-key", api_key), ("--api-secret", api_secret)):
            if value is not None:
                self.command += [option, value]
        self.log_path = None if log_path is None else Path(log_path)
        self.startup_timeout = float(startup_timeout)
        self.process: subprocess.Popen | None = None
        self.base_url = self.api_key = self.api_secret = ""
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._reader: threading.Thread | None = None

    def start(self) -> SandboxProcess:
        """启动子进程并等它打印地址与密钥; 返回 ``self``。

        Raises:
            SandboxStartError: 子进程启动失败或超时 (它已被停止; 说明中附日志的末尾)。
                它也是 ``RuntimeError``。
        """
        if self.process is not None:
            return self
        log = open(self.log_path, "wb") if self.log_path is not None else None
        try:
            # A session of its own: Ctrl+C reaches the caller, which then stops
            # the child in order instead of both racing to shut down.
            self.process = subprocess.Popen(
                self.command,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL if log is None else log,
                start_new_session=True,
            )
        finally:
            if log is not None:
                log.close()
        self._reader = threading.Thread(target=self._read_lines, name="tolvane-sandbox-stdout", daemon=True)
        self._reader.start()
        try:
            self._read_header()
        except BaseException:
            self.stop()
            raise
        return self

    def _read_lines(self) -> None:
        # Reads to the end so that the child never blocks on a full pipe.
        assert self.process is not None and self.process.stdout is not None, "started with stdout=PIPE"
        for line in self.process.stdout:
            self._lines.put(line.decode("utf-8", "replace"))
        self._lines.put(None)

    def _read_header(self) -> None:
        found: dict[str, str] = {}
        deadline = time.monotonic() + self.startup_timeout
        while len(found) < len(_HEADER_KEYS):
            try:
                line = self._lines.get(timeout=max(deadline - time.monotonic(), 0.0))
            except queue.Empty:
                raise SandboxStartError(
                    self._failure(f"沙盒子进程 {self.startup_timeout:.0f} 秒内没有启动")
                ) from None
            if line is None:
                assert self.process is not None, "the lines come from the started process"
                code = self.process.wait()
                raise SandboxStartError(self._failure(f"沙盒子进程启动失败 (退出码 {code})"))
            key, _, value = line.strip().partition(" ")
            if key in _HEADER_KEYS:
                found[key] = value.strip()
        self.base_url, self.api_key, self.api_secret = (found[key] for key in _HEADER_KEYS)

    def _failure(self, message: str) -> str:
        if self.log_path is None or not self.log_path.exists():
            return message
        tail = self.log_path.read_text("utf-8", "replace").strip().splitlines()[-5:]
        # Quoted, so that the child's own "tolvane sandbox: ..." lines do not read
        # as the caller's error.
        return "\n".join([message + f"; 日志 {self.log_path} 的末尾:", *(f"  | {line}" for line in tail)])

    @property
    def running(self) -> bool:
        """子进程是否仍在运行。"""
        return self.process is not None and self.process.poll() is None

    def stop(self) -> None:
        """停止子进程并等它退出: 先关闭它的标准输入让它自行停止, 超时再终止。"""
        process = self.process
        if process is None:
            return
        assert process.stdin is not None and process.stdout is not None, "started with both pipes"
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(timeout=_STOP_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            pass
        finally:
            # Past the grace time, and on Ctrl+C during the wait: the child
            # must not outlive us.
            if process.poll() is None:
                process.kill()
                process.wait()
            reader = self._reader
            if reader is not None:
                reader.join(timeout=1.0)
            if reader is None or not reader.is_alive():
                process.stdout.close()

    def __enter__(self) -> SandboxProcess:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
