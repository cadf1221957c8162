"""回测准备数据的二进制存储。

一个存储就是一个目录 (布局见 :class:`BinaryPreparedDataStoreBase`)。它被多个进程同时
使用 (夜间的更新旁边是笔记本与参数扫描), 所以:

- 同一时刻只有一个写入者: 写入者对目录加建议性的排他锁, 进程退出时由内核释放;
  另一个写入者等待 (有时限) 或立即失败 (:class:`StoreLockedError`);
- 读取者不加锁、不写入, 读到的是最近一次提交的版本; 映射读取的矩阵是一份快照:
  写入从不改动已提交版本引用的文件, 而是写新一代文件、原子地提交元数据, 再删除
  旧文件;
- 从磁盘读到的一切在映射之前校验 (类型只来自存储的类型表, 形状对照两条轴, 文件名
  限于目录之内, ``verify()`` 核对校验和); 损坏是指明文件的 :class:`StoreFormatError`。

中断的写入 (进程被杀) 只在写锁之下清理, 从不在读取时做。
"""

from ...exceptions import StoreFormatError, StoreLockedError
from .format import JOURNAL_FILE, LOCK_FILE, MANIFEST_FILE, METADATA_FILE, STORE_FORMAT
from .labels import clean_matrix, component_dataset_key, normalize_yyyymmdd
from .lock import DEFAULT_LOCK_TIMEOUT
from .store import BinaryPreparedDataStoreBase, PathLike

__all__ = [
    "BinaryPreparedDataStoreBase",
    "DEFAULT_LOCK_TIMEOUT",
    "JOURNAL_FILE",
    "LOCK_FILE",
    "MANIFEST_FILE",
    "METADATA_FILE",
    "PathLike",
    "STORE_FORMAT",
    "StoreFormatError",
    "StoreLockedError",
    "clean_matrix",
    "component_dataset_key",
    "normalize_yyyymmdd",
]
