"""数据集的分段文件: 校验、读取 (映射或读入内存), 以及增量更新时只写新的一段。

一个数据集的字节可以分在几个文件里首尾相接 (元数据见 :class:`.format.DatasetFile`):
增量更新与上一代共用前面的整段, 只写出从某个 ``PIECE_BYTES`` 边界起的新的一段。
"""

from __future__ import annotations

import mmap as mmap_module
from collections.abc import Callable
from pathlib import Path

import numpy as np

from ...exceptions import StoreFormatError
from .files import NewFile, read_exactly
from .format import Checksum, DatasetFile

# Where a tail update starts a dataset's new piece: at the last such boundary
# before its first changed row; every piece before it is shared with the
# previous generation. A multiple of the page size, so that the pieces map
# back into one contiguous view; 2 MiB keeps a huge page of the page cache whole.
PIECE_BYTES = 2 * 2**20
# Pieces a dataset may have before a tail update writes it whole again.
MAX_PIECES = 16

# A piece's file and the byte range of the dataset it holds: [start, end).
Span = tuple[Path, int, int]


def piece_entry(file_name: str, start: int, checksum: Checksum | None) -> dict:
    """一段在元数据中的条目。"""
    return {"file": file_name, "start": start, "checksum": None if checksum is None else checksum.as_entry()}


def checked_spans(entry: DatasetFile, data_path: Callable[[str], Path]) -> list[Span]:
    """数据集每一段的文件与它覆盖的字节范围 [起点, 终点); 最后一段的文件长度须正好
    到数据集末尾, 其余的至少覆盖到下一段的起点。``data_path`` 把文件名变成存储中的路径。"""
    spans = []
    for piece, start, end in entry.piece_spans():
        path = data_path(piece.file)
        size = path.stat().st_size
        last = end == entry.nbytes
        if size < end - start or (last and size != end - start):
            raise StoreFormatError(
                f"{path} 有 {size} 字节, 与形状 {entry.shape} 的 {entry.dtype} 数据"
                f"从字节 {start} 起{'到末尾' if last else '到下一段'}所需的 {end - start} 字节不符"
            )
        spans.append((path, start, end))
    return spans


def read_rows(entry: DatasetFile, spans: list[Span], lo: int, hi: int, mmap: bool) -> np.ndarray:
    """数据集第 ``lo`` 到 ``hi`` 行 (不含): 映射为只读数组, 或读入内存。"""
    rows, n_stocks = hi - lo, entry.shape[1]
    if rows == 0 or n_stocks == 0:
        return np.empty((rows, n_stocks), dtype=entry.dtype)
    row_bytes = n_stocks * entry.dtype.itemsize
    first, last = lo * row_bytes, hi * row_bytes
    # The pieces the rows lie in, from the page that holds their first byte.
    mapped_from = first - first % mmap_module.PAGESIZE
    used = [
        (path, max(mapped_from, start) - start, min(last, end) - max(mapped_from, start))
        for path, start, end in spans
        if start < last and end > mapped_from
    ]
    if mmap and len(used) == 1:
        path, offset, _ = used[0]
        return np.memmap(
            path, dtype=entry.dtype, mode="r", offset=offset + first - mapped_from, shape=(rows, n_stocks)
        )
    if mmap:
        # The native module imports this package, hence not at the top.
        from .._prepare import map_file_pieces

        joined = map_file_pieces([(str(path), offset, length) for path, offset, length in used])
    else:
        joined = np.empty(sum(length for _, _, length in used), dtype=np.uint8)
        position = 0
        for path, offset, length in used:
            with open(path, "rb", buffering=0) as handle:
                read_exactly(handle, offset, joined[position : position + length])
            position += length
    values = joined[first - mapped_from : last - mapped_from].view(entry.dtype)
    return values.reshape(rows, n_stocks)


def write_tail_piece(
    entry: DatasetFile, spans: list[Span], kept_rows: int, tail: np.ndarray, new_file: Path
) -> list[dict]:
    """数据集保留前 ``kept_rows`` 行, 其后换成 ``tail`` (同样的列): 写出新的最后一段
    ``new_file``, 返回新的分段条目。

    新的一段从第 ``kept_rows`` 行所在的 ``PIECE_BYTES`` 边界起: 边界到第 ``kept_rows``
    行之间的字节从原有的段复制, 其后是 ``tail``; 边界之前的段原样共用。数据集已有
    ``MAX_PIECES`` 段时整个写成一个文件, 段数因此有上限。
    """
    kept_bytes = kept_rows * entry.shape[1] * entry.dtype.itemsize
    seam = kept_bytes - kept_bytes % PIECE_BYTES
    shared = [piece for piece in entry.pieces if piece.start < seam]
    if len(shared) >= MAX_PIECES:
        shared, seam = [], 0
    with NewFile(new_file) as new:
        # The kept bytes from the seam on, from the pieces that hold them.
        for (path, start, end), piece in zip(spans, entry.pieces):
            copy_from, copy_to = max(start, seam), min(end, kept_bytes)
            if copy_from < copy_to:
                new.copy_range(path, copy_to - copy_from, piece.checksum, copy_from - start)
        new.write_values(tail)
    return [piece_entry(piece.file, piece.start, piece.checksum) for piece in shared] + [
        piece_entry(new_file.name, seam, new.checksum)
    ]
