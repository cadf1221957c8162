"""存储中的基准指数日收益序列: 一个 .npz 文件, 每个基准一对日期与数值数组。"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .files import NewFile, npz_bytes, read_npz_arrays
from .format import BenchmarkSeries
from .labels import as_date_labels


def write_benchmarks(store_dir: Path, benchmark_dict: dict, generation: str) -> dict:
    """把基准名 → Series 写成新一代的 .npz 文件, 返回它在元数据中的条目。"""
    file_name = f"benchmarks.{generation}.npz"
    arrays, series_entries = {}, {}
    for position, (name, series) in enumerate(benchmark_dict.items()):
        if not isinstance(series, pd.Series):
            raise ValueError(f"基准 {name} 必须是 Series, 实际为 {type(series).__name__}")
        arrays[f"dates_{position}"] = np.asarray(as_date_labels(series.index), dtype=str)
        arrays[f"values_{position}"] = series.to_numpy(dtype=np.float64, na_value=np.nan)
        series_entries[str(name)] = {
            "position": position,
            "n_dates": len(series),
            "series_name": None if series.name is None else str(series.name),
            "index_name": None if series.index.name is None else str(series.index.name),
        }
    with NewFile(store_dir / file_name) as new:
        new.write(npz_bytes(arrays))
    return {"file": file_name, "series": series_entries, "checksum": new.checksum.as_entry()}


def read_benchmarks(path: Path, series: dict[str, BenchmarkSeries]) -> dict:
    """基准名 → (日期数组, 数值数组, 条目); 每个成员先按元数据检查类型与长度。"""
    wanted = {}
    for info in series.values():
        wanted[f"dates_{info.position}"] = ("U", info.n_dates)
        wanted[f"values_{info.position}"] = ("f", info.n_dates)
    arrays = read_npz_arrays(path, wanted) if wanted else {}
    return {
        name: (arrays[f"dates_{info.position}"], arrays[f"values_{info.position}"].astype(np.float64), info)
        for name, info in series.items()
    }


def merged_benchmarks(old: dict, benchmark_dict: dict, seam: str) -> dict:
    """已有的基准 (``read_benchmarks`` 的结果) 在 ``seam`` 之前的部分接上新序列在它及以后的部分。"""
    merged = {}
    old = {
        name: pd.Series(
            values, index=pd.Index(dates.tolist(), dtype="str", name=info.index_name), name=info.series_name
        )
        for name, (dates, values, info) in old.items()
    }
    for name in list(old) + [name for name in benchmark_dict if name not in old]:
        before = old.get(name)
        after = benchmark_dict.get(name)
        parts = []
        if before is not None:
            parts.append(before[before.index < seam])
        if after is not None:
            after = after.copy()
            after.index = as_date_labels(after.index).rename(after.index.name)
            parts.append(after[after.index >= seam])
        merged[name] = pd.concat(parts) if len(parts) > 1 else parts[0]
    return merged
