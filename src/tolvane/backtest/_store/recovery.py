"""中断的写入留下的东西, 在写锁之下清理 (从不在读取时做)。

- 没有被任何已提交版本引用的数据文件与临时文件: 被杀掉的写入者留下的半成品, 删除。
- ``update.journal``: 早先版本就地改写末尾行时记下的撤销日志。写入者若在提交前被杀,
  数据文件的末尾已被改写而元数据仍是旧的; 按日志把被覆盖的字节写回, 再删除日志。
  本版本的写入从不改写已提交的文件, 也就不再写这个日志。
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from functools import partial
from pathlib import Path

from ...exceptions import StoreFormatError
from .files import run_concurrently
from .format import GENERATION_FILE, JOURNAL_FILE, TEMPORARY_FILE, is_plain_file_name, unpickle_plain


def has_interrupted_update(store_dir: Path) -> bool:
    """目录中是否留有早先版本中断的就地更新的日志。"""
    return (store_dir / JOURNAL_FILE).exists()


def roll_back_interrupted_update(store_dir: Path, committed_generation: str | None) -> bool:
    """按撤销日志恢复没有提交的就地更新, 然后删除日志。

    日志记录的新一代 (``new_generation``) 已经提交时, 只删除日志。

    Returns:
        bool: 是否写回了数据文件。

    Raises:
        StoreFormatError: 日志损坏或指向存储目录之外。
    """
    journal_path = store_dir / JOURNAL_FILE
    try:
        data = journal_path.read_bytes()
    except FileNotFoundError:
        return False
    journal = unpickle_plain(data, journal_path)
    rolled_back = False
    if not isinstance(journal, dict) or not isinstance(journal.get("files"), list):
        raise StoreFormatError(f"{journal_path} 的内容不是撤销日志")
    if journal.get("new_generation") != committed_generation:
        for item in journal["files"]:
            _restore(store_dir, item, journal_path)
        rolled_back = True
    journal_path.unlink(missing_ok=True)
    return rolled_back


def _restore(store_dir: Path, item, journal_path: Path) -> None:
    if not (
        isinstance(item, dict)
        and isinstance(item.get("file"), str)
        and is_plain_file_name(item["file"])
        and type(item.get("offset")) is int
        and type(item.get("size")) is int
        and isinstance(item.get("undo"), bytes)
        and 0 <= item["offset"] <= item["size"]
    ):
        raise StoreFormatError(f"{journal_path} 中的条目无法使用: {item!r:.120}")
    with open(store_dir / item["file"], "r+b") as handle:
        handle.seek(item["offset"])
        handle.write(item["undo"])
        handle.truncate(item["size"])
        handle.flush()
        os.fsync(handle.fileno())


def remove_unreferenced(store_dir: Path, referenced: Iterable[str]) -> list[str]:
    """删除目录中没有被引用的代文件与临时文件, 返回删除的文件名。"""
    keep = set(referenced)
    removed = [
        path
        for path in store_dir.iterdir()
        if path.name not in keep
        and (GENERATION_FILE.fullmatch(path.name) or TEMPORARY_FILE.fullmatch(path.name))
        and path.is_file()
    ]
    run_concurrently({path.name: partial(path.unlink, missing_ok=True) for path in removed})
    return [path.name for path in removed]
