"""存储文件的写入与读取。

写入只有两种: 小文件 (元数据、清单) 经同目录临时文件、fsync、改名原子地替换;
数据文件总是新建一代新文件 (独占创建, 写完 fsync), 边写边按 8 MiB 分块计算 SHA-256。
增量更新时新文件的前半部分从上一代文件复制, 复制部分整块的摘要直接沿用。

读取时标签文件先检查 .npy 头 (类型、形状) 与文件长度, 再读入内存; 基准序列的 .npz
同样逐个成员检查, 伪造的头无法让读取分配超出文件本身的内存。
"""

from __future__ import annotations

import hashlib
import io
import os
import secrets
import zipfile
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import TypeVar

import numpy as np

from ...exceptions import StoreFormatError
from .format import Checksum

#: Checksum block: an update re-hashes only the blocks at and after its seam.
BLOCK_BYTES = 8 * 2**20
_WRITE_PIECE_BYTES = 16 * 2**20
_MAX_NPY_HEADER_BYTES = 65536
# Copying, hashing, fsync and unlinking big files release the GIL: a few
# threads keep the disk and both cores of a small machine busy.
_FILE_THREADS = 3

_T = TypeVar("_T")


def run_concurrently(
    calls: dict[str, Callable[[], _T]], done: Callable[[str], None] | None = None
) -> dict[str, _T]:
    """在几个线程上执行 ``calls`` (键 → 无参函数), 按键的顺序返回结果。

    每完成一个调用 ``done(键)`` (在调用者的线程上)。任何一个失败时不再开始新的调用,
    等已开始的结束后抛出第一个异常。
    """
    if len(calls) <= 1:
        results = {}
        for key, call in calls.items():
            results[key] = call()
            if done is not None:
                done(key)
        return results
    with file_threads() as pool:
        return collect_results({key: pool.submit(call) for key, call in calls.items()}, done)


def file_threads() -> ThreadPoolExecutor:
    """写入与删除文件用的线程池 (``with`` 块结束时等所有已开始的调用结束)。"""
    return ThreadPoolExecutor(max_workers=_FILE_THREADS, thread_name_prefix="tolvane-store")


def collect_results(
    futures: dict[str, Future[_T]], done: Callable[[str], None] | None = None
) -> dict[str, _T]:
    """等 ``futures`` (键 → 已提交的调用) 完成, 按键的顺序返回结果。

    每完成一个调用 ``done(键)`` (在调用者的线程上)。任何一个失败时取消还没开始的,
    抛出第一个异常 (已开始的由线程池结束时等待)。
    """
    keys = {future: key for key, future in futures.items()}
    results = {}
    pending = set(keys)
    try:
        while pending:
            finished, pending = wait(pending, return_when=FIRST_EXCEPTION)
            for future in finished:
                results[keys[future]] = future.result()
                if done is not None:
                    done(keys[future])
    finally:
        for future in pending:
            future.cancel()
    return {key: results[key] for key in futures}


def new_generation() -> str:
    return secrets.token_hex(6)


def fsync_directory(directory: Path) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:  # platforms without directory handles
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_atomic(path: Path, data: bytes) -> None:
    """把 ``data`` 原子地写成 ``path`` (同目录临时文件、fsync、改名); 失败时 ``path`` 不变。"""
    temporary = path.with_name(f".{path.name}.{new_generation()}.tmp")
    try:
        with open(temporary, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    fsync_directory(path.parent)


class BlockHasher:
    """按 ``block_bytes`` 分块累计 SHA-256; ``carried`` 是开头若干整块已知的摘要。"""

    def __init__(self, block_bytes: int = BLOCK_BYTES, carried: Iterable[str] = ()) -> None:
        self.block_bytes = block_bytes
        self.blocks = list(carried)
        self.size = len(self.blocks) * block_bytes
        self._current = hashlib.sha256()
        self._filled = 0

    def update(self, data) -> None:
        view = memoryview(data).cast("B")
        while len(view):
            take = min(len(view), self.block_bytes - self._filled)
            self._current.update(view[:take])
            self._filled += take
            self.size += take
            view = view[take:]
            if self._filled == self.block_bytes:
                self.blocks.append(self._current.hexdigest())
                self._current, self._filled = hashlib.sha256(), 0

    def finish(self) -> Checksum:
        if self._filled:
            self.blocks.append(self._current.hexdigest())
            self._current, self._filled = hashlib.sha256(), 0
        return Checksum(self.size, self.block_bytes, tuple(self.blocks))


def _write_all(fd: int, data) -> None:
    view = memoryview(data).cast("B")
    while len(view):
        view = view[os.write(fd, view) :]


class NewFile:
    """新建一个数据文件 (独占创建): 写入的内容边写边计算分块摘要, 成功时 fsync,
    失败时删除。用法::

        with NewFile(path) as new:
            new.write(data)
        new.checksum
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        self._checksum: Checksum | None = None
        self._hasher = BlockHasher()
        self._fd = -1

    @property
    def checksum(self) -> Checksum:
        """写完的文件 (with 块正常结束之后) 的分块摘要。"""
        if self._checksum is None:
            raise RuntimeError(f"{self.path} 还没有写完, 没有校验和")
        return self._checksum

    def __enter__(self) -> NewFile:
        self._fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        return self

    def __exit__(self, kind, value, traceback) -> None:
        try:
            if kind is None:
                os.fsync(self._fd)
        finally:
            os.close(self._fd)
            if kind is not None:
                self.path.unlink(missing_ok=True)
        if kind is None:
            self._checksum = self._hasher.finish()

    def write(self, data) -> None:
        _write_all(self._fd, data)
        self._hasher.update(data)

    def write_values(self, values: np.ndarray) -> None:
        """二维数组按 C 顺序写入, 每次至多约 16 MiB, 不额外占用整块内存。"""
        row_bytes = max(values.shape[1] * values.itemsize, 1) if values.ndim == 2 else values.itemsize
        rows_per_piece = max(_WRITE_PIECE_BYTES // row_bytes, 1)
        for start in range(0, values.shape[0], rows_per_piece):
            self.write(np.ascontiguousarray(values[start : start + rows_per_piece]))

    def copy_range(
        self, source: Path, nbytes: int, source_checksum: Checksum | None, source_offset: int = 0
    ) -> None:
        """写入 ``source`` 从 ``source_offset`` 起的 ``nbytes`` 字节。

        从源文件开头复制到新文件开头时, ``source_checksum`` 中完全落在这一段里的整块摘要
        直接沿用, 其余部分边复制边计算。
        用普通的读写而不是 ``os.copy_file_range``: 在不能共享数据块的文件系统 (ext4) 上
        两者一样快, 但后者经 splice 复制的页在页缓存中是小页, 之后映射读取这些文件的
        回测每页慢一个数量级。
        """
        carried = 0
        if (
            source_offset == 0
            and self._hasher.size == 0
            and source_checksum is not None
            and source_checksum.block_bytes == self._hasher.block_bytes
        ):
            carried = min(nbytes // source_checksum.block_bytes, len(source_checksum.blocks))
            self._hasher = BlockHasher(source_checksum.block_bytes, source_checksum.blocks[:carried])
        hashed_from = carried * self._hasher.block_bytes
        buffer = memoryview(bytearray(min(nbytes, _WRITE_PIECE_BYTES)))
        copied = 0
        with open(source, "rb", buffering=0) as handle:
            while copied < nbytes:
                piece = buffer[: min(nbytes - copied, len(buffer))]
                read_exactly(handle, source_offset + copied, piece)
                _write_all(self._fd, piece)
                if copied + len(piece) > hashed_from:
                    self._hasher.update(piece[max(hashed_from - copied, 0) :])
                copied += len(piece)


def read_exactly(handle, offset: int, into) -> None:
    """从打开的文件 ``handle`` 的 ``offset`` 处读满 ``into`` (可写的缓冲区)。

    Raises:
        StoreFormatError: 文件在读满之前结束。
    """
    view = memoryview(into).cast("B")
    done = 0
    while done < len(view):
        count = os.preadv(handle.fileno(), [view[done:]], offset + done)
        if count == 0:
            raise StoreFormatError(
                f"{handle.name} 比元数据记录的短: 从字节 {offset} 起只读到 {done} 字节, 需要 {len(view)}"
            )
        done += count


def file_checksum(path: Path, block_bytes: int) -> Checksum:
    """读出整个文件计算分块摘要。"""
    hasher = BlockHasher(block_bytes)
    with open(path, "rb") as handle:
        while piece := handle.read(_WRITE_PIECE_BYTES):
            hasher.update(piece)
    return hasher.finish()


# ---------------------------------------------------------------------------
# Reading
# ---------------------------------------------------------------------------


def _npy_header(handle, source: str) -> tuple[tuple, np.dtype]:
    try:
        version = np.lib.format.read_magic(handle)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(
                handle, max_header_size=_MAX_NPY_HEADER_BYTES
            )
        else:
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(
                handle, max_header_size=_MAX_NPY_HEADER_BYTES
            )
    except Exception as err:  # a garbled header fails in the parser with many types
        raise StoreFormatError(f"{source} 的数组头无法读取: {err}") from err
    if fortran and len(shape) > 1:
        raise StoreFormatError(f"{source} 不是按行存放的数组")
    return shape, dtype


def _read_checked_array(handle, source: str, kind: str, count: int, available: int) -> np.ndarray:
    """读一个 .npy 数组: 一维、类型种类为 ``kind``、长度为 ``count``, 否则报错。

    ``available`` 是文件 (或成员) 的总字节数, 读取前先与头部声明的长度比较。"""
    shape, dtype = _npy_header(handle, source)
    if dtype.hasobject or dtype.kind != kind or shape != (count,):
        raise StoreFormatError(
            f"{source} 的数组为 {dtype} {shape}, 应为长度 {count} 的{'文本' if kind == 'U' else '数值'}数组"
        )
    nbytes = count * dtype.itemsize
    if nbytes > available:
        raise StoreFormatError(f"{source} 被截断: 数组需要 {nbytes} 字节, 只有 {available}")
    data = handle.read(nbytes)
    if len(data) != nbytes:
        raise StoreFormatError(f"{source} 被截断: 数组需要 {nbytes} 字节, 只有 {len(data)}")
    return np.frombuffer(data, dtype=dtype).copy()


def read_label_file(path: Path, count: int) -> np.ndarray:
    """读存储的日期或股票文件: 长度为 ``count`` 的文本数组。

    Raises:
        FileNotFoundError: 文件不存在 (调用方可能要重读元数据)。
        StoreFormatError: 类型、长度不符或文件被截断。
    """
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        array = _read_checked_array(handle, str(path), "U", count, size)
        if handle.tell() != size:
            raise StoreFormatError(f"{path} 在数组之后还有多余的字节")
    return array


def read_npz_arrays(path: Path, wanted: dict[str, tuple[str, int]]) -> dict[str, np.ndarray]:
    """读 .npz 中的若干成员: ``wanted`` 为成员名 → (类型种类, 长度)。"""
    arrays = {}
    try:
        with zipfile.ZipFile(path) as archive:
            for name, (kind, count) in wanted.items():
                try:
                    info = archive.getinfo(name + ".npy")
                except KeyError:
                    raise StoreFormatError(f"{path} 中没有成员 {name}") from None
                with archive.open(info) as member:
                    arrays[name] = _read_checked_array(member, f"{path}:{name}", kind, count, info.file_size)
    except StoreFormatError:
        raise
    except FileNotFoundError:
        raise
    except (
        zipfile.BadZipFile,
        zipfile.LargeZipFile,
        OSError,
        EOFError,
        ValueError,
        NotImplementedError,
    ) as err:
        raise StoreFormatError(f"无法读取 {path}: {err}") from err
    return arrays


def verify_checksum(path: Path, recorded: Checksum) -> None:
    """文件与记录的校验和不符时报错, 指明第一个损坏的块。"""
    actual = file_checksum(path, recorded.block_bytes)
    if actual.size != recorded.size:
        raise StoreFormatError(f"{path} 有 {actual.size} 字节, 清单记录的是 {recorded.size} 字节")
    for block, (want, got) in enumerate(zip(recorded.blocks, actual.blocks)):
        if want != got:
            start = block * recorded.block_bytes
            raise StoreFormatError(
                f"{path} 的校验和不符: 第 {block} 块"
                f" (字节 {start}..{min(start + recorded.block_bytes, actual.size)})"
                f" 已损坏"
            )


def npy_bytes(array: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    np.save(buffer, array, allow_pickle=False)
    return buffer.getvalue()


def npz_bytes(arrays: dict[str, np.ndarray]) -> bytes:
    buffer = io.BytesIO()
    # mypy lets **arrays fill savez's `allow_pickle: bool` too; the keys here are member names.
    np.savez(buffer, **arrays)  # type: ignore[arg-type]
    return buffer.getvalue()


def move_durably(source: Path, target: Path) -> None:
    """把文件移到 ``target`` (同一文件系统上改名, 否则复制), 内容落盘。"""
    with open(source, "rb") as handle:
        os.fsync(handle.fileno())
    try:
        os.replace(source, target)
    except OSError:
        with NewFile(target) as new, open(source, "rb") as handle:
            while piece := handle.read(BLOCK_BYTES):
                new.write(piece)
