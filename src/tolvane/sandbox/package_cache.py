"""生成的基准数据包的缓存: 同样的市场与结束日, 下次启动时直接读出, 不再构建。

构建默认市场的数据包要几秒, 每次启动沙盒 (例如每次 ``tolvane demo``) 都重来一遍并无
必要。缓存目录默认为 ``$XDG_CACHE_HOME/tolvane/sandbox-packages`` (未设置时为
``~/.cache/tolvane/sandbox-packages``); 环境变量 ``TOLVANE_SANDBOX_CACHE`` 可以指定另一个
目录, 设为 ``off`` 则不使用缓存。

一个数据包的键包括决定其内容的全部参数 (种子、股票数、首尾交易日与数据包结束日) 和生成
它的代码的摘要: 合成市场与数据包模块、数据存储的写入代码、回测数据准备模块, 以及 numpy、
pandas 与 pyarrow 的版本。代码一改, 旧的数据包就不会再被取用。写入先写到同一目录的临时
文件, 落盘后改名, 同时启动的两个进程因此只会看到完整的数据包; 目录中只保留最近用过的
几个数据包。缓存目录无法读写时照常构建, 只记一条警告。
"""

from __future__ import annotations

import functools
import hashlib
import json
import logging
import os
import time
from collections.abc import Callable
from pathlib import Path

__all__ = ["CACHE_ENV", "cache_folder", "cached_package", "code_digest", "package_end_day"]

# The modules that only a cache look-up or a build needs are imported there: this
# one is imported when the service starts, and a quick start is the point of it.

CACHE_ENV = "TOLVANE_SANDBOX_CACHE"

logger = logging.getLogger("tolvane.sandbox")

_KEPT_PACKAGES = 8
_ABANDONED_TEMP_SECONDS = 3600.0
_LIBRARIES = ("numpy", "pandas", "pyarrow")


def package_end_day(first_day: str, last_day: str, end) -> str:
    """数据包的结束日 "YYYYMMDD": 缺省为市场末日 ``last_day``; 不能早于市场首日或晚于市场末日。"""
    from ..dates import compact_date

    first, last = compact_date(first_day), compact_date(last_day)
    if end is None:
        return last
    end = compact_date(end)
    if not first <= end <= last:
        raise ValueError(f"数据包结束日 {end} 不在市场区间 {first}..{last} 内")
    return end


def cache_folder() -> Path | None:
    """缓存数据包的目录; 缓存关闭时为 ``None``。"""
    setting = os.environ.get(CACHE_ENV, "").strip()
    if setting.lower() == "off":
        return None
    if setting:
        return Path(setting).expanduser()
    base = os.environ.get("XDG_CACHE_HOME", "")
    root = Path(base) if os.path.isabs(base) else Path.home() / ".cache"  # relative: to be ignored
    return root / "tolvane" / "sandbox-packages"


def _producing_files() -> list[Path]:
    """The files whose code shapes a package: the market, the package builder, the
    store writer and the native preparation module."""
    sandbox = Path(__file__).parent
    backtest = sandbox.parent / "backtest"
    files = [sandbox / name for name in ("market.py", "indices.py", "trading_calendar.py", "package.py")]
    files += sorted((backtest / "_store").rglob("*.py"))
    import importlib.util

    prepare = importlib.util.find_spec("tolvane.backtest._prepare")
    assert prepare is not None and prepare.origin is not None, "the native module is part of the package"
    files.append(Path(prepare.origin))
    return files


@functools.cache
def code_digest() -> str:
    """生成数据包的代码与所用库版本的 SHA-256 摘要。"""
    import importlib.metadata

    digest = hashlib.sha256()
    for path in _producing_files():
        content = path.read_bytes()
        digest.update(f"{path.name}\0{len(content)}\0".encode())
        digest.update(content)
    for library in _LIBRARIES:
        digest.update(f"{library}={importlib.metadata.version(library)}\0".encode())
    return digest.hexdigest()


def _file_name(key: dict) -> str:
    text = json.dumps(key, sort_keys=True) + code_digest()
    return hashlib.sha256(text.encode()).hexdigest()[:40] + ".zip"


def cached_package(key: dict, build: Callable[[], bytes]) -> bytes:
    """``key`` 描述的数据包: 缓存中有就读出, 否则调用 ``build()`` 构建并存入缓存。

    ``key`` 必须包含决定数据包内容的全部参数 (可用 JSON 表示); 生成数据包的代码的摘要
    由这里加入。
    """
    folder = cache_folder()
    if folder is None:
        return build()
    path = folder / _file_name(key)
    package = _read(path)
    if package is not None:
        return package
    package = build()
    try:
        _write(folder, path, package)
    except OSError as error:
        logger.warning("数据包无法写入缓存目录 %s: %s", folder, error)
    return package


def _read(path: Path) -> bytes | None:
    import io
    import zipfile

    try:
        package = path.read_bytes()
    except FileNotFoundError:
        return None
    except OSError as error:
        logger.warning("无法读取缓存的数据包 %s: %s", path, error)
        return None
    try:
        with zipfile.ZipFile(io.BytesIO(package)) as archive:
            archive.infolist()
    except (zipfile.BadZipFile, ValueError):
        logger.warning("缓存的数据包 %s 已损坏, 重新构建", path)
        return None
    try:
        os.utime(path)  # recently used: pruning keeps it
    except OSError:
        pass
    return package


def _write(folder: Path, path: Path, package: bytes) -> None:
    import tempfile

    folder.mkdir(parents=True, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.stem}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as out:
            out.write(package)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    _prune(folder)


def _prune(folder: Path) -> None:
    """Keeps the most recently used packages, and drops temporary files that a
    process which died while writing left behind."""
    now = time.time()
    packages = []
    for entry in folder.iterdir():
        try:
            used = entry.stat().st_mtime
            if entry.suffix == ".zip":
                packages.append((used, entry))
            elif entry.suffix == ".tmp" and now - used > _ABANDONED_TEMP_SECONDS:
                entry.unlink()
        except OSError:  # e.g. another process pruned it first
            pass
    for _, entry in sorted(packages, reverse=True)[_KEPT_PACKAGES:]:
        try:
            entry.unlink()
        except OSError:
            pass
