"""回测准备数据的二进制存储。

一个存储就是一个目录::

    metadata.pkl             元数据 dict (pickle); 唯一的提交点
    manifest.json            给人看的清单: 版本、日期范围、数据集、每个文件的校验和
    dates.<代>.npy           存储的交易日 ("YYYYMMDD", 严格升序)
    stocks.<代>.npy          存储的股票代码
    <数据集>.<代>.bin        每个数据集一个文件: 日期 × 股票的原始值, 按日期优先 (C 顺序)
    benchmarks.<代>.npz      基准指数日收益序列
    .writer.lock             写锁

存储的类在 :mod:`.store`, 元数据的格式与校验在 :mod:`.format`, 文件的写入与读取在
:mod:`.files`, 写锁在 :mod:`.lock`, 中断的写入的清理在 :mod:`.recovery`。

存储被多个进程同时使用 (夜间的更新旁边是笔记本与参数扫描), 所以:

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
