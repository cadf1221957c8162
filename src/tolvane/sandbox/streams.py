"""Arrow IPC 流式应答: 因子与指数日线两个接口。

请求体先整体校验, 再逐个生成 record batch (每个至多 ``batch_rows`` 行)。应答使用
分块传输编码, 每个分块恰好一个 record batch (schema 消息随第一块发出, 流结束标记
随最后一块发出), 从不发送空分块。响应头发出之后的失败以断开连接、不发终止分块的
方式表现, 客户端因此不会把被截断的流误当作较短的完整流。
"""

from __future__ import annotations

import asyncio
import re
from collections.abc import Iterable, Iterator

import numpy as np
import pyarrow as pa

from .connection_base import ConnectionBase
from .faults import ConnectionCut, Faults
from .market import INDEX_CODES, SyntheticMarket
from .parsing import RequestError, parse_day, str_list

__all__ = [
    "ARROW_STREAM_CONTENT_TYPE",
    "FACTOR_SCHEMA",
    "INDEX_FIELDS",
    "MAX_FACTORS",
    "MAX_STOCK_CODES",
    "ArrowStreaming",
    "factor_stream",
    "index_stream",
]

#: Media type of the streamed answers.
ARROW_STREAM_CONTENT_TYPE = "application/vnd.apache.arrow.stream"

MAX_STOCK_CODES = 100
MAX_FACTORS = 20
INDEX_FIELDS = ("open", "high", "low", "close", "volume")

_EOS = b"\xff\xff\xff\xff\x00\x00\x00\x00"
_STOCK_CODE = re.compile(r"^([0-9]{6})(?:\.(XSHG|XSHE|SH|SZ|BJ))?$", re.IGNORECASE)

FACTOR_SCHEMA = pa.schema(
    [
        ("date", pa.date32()),
        ("ukey", pa.string()),
        ("value", pa.float64()),
        ("factor", pa.string()),
    ]
)

Stream = tuple[pa.Schema, Iterator[pa.RecordBatch]]


# ---------------------------------------------------------------------------
# Requests
# ---------------------------------------------------------------------------


def factor_stream(m: SyntheticMarket, body: dict, batch_rows: int) -> Stream:
    """``/factors/stream``: 所选因子在所选股票与日期上的有值单元格 (窄表)。"""
    names = str_list(body, "factor")
    if not names:
        raise RequestError(400, f"缺少 factor: 需要 1 到 {MAX_FACTORS} 个因子名")
    if len(names) > MAX_FACTORS:
        raise RequestError(400, f"因子数量超过上限: 每次最多 {MAX_FACTORS} 个, 实际 {len(names)} 个")
    known = set(m.factor_names())
    unknown = [n for n in names if n not in known]
    if unknown:
        raise RequestError(400, f"未知因子: {', '.join(unknown)}")
    codes = str_list(body, "ukeys")
    if codes and len(codes) > MAX_STOCK_CODES:
        raise RequestError(400, f"股票代码数量超过上限: 每次最多 {MAX_STOCK_CODES} 个, 实际 {len(codes)} 个")
    if body.get("start_date") is None:
        raise RequestError(400, "缺少 start_date")
    d0, d1 = _date_span(m, body)
    cols: np.ndarray | None = None
    if codes:
        positions: list[int] = []
        for c in codes:
            match = _STOCK_CODE.match(c)
            if match is None:
                raise RequestError(400, f"无效的股票代码: {c!r}")
            pos = m.stock_index(match.group(1))
            if pos is not None and pos not in positions:
                positions.append(pos)
        cols = np.array(sorted(positions), dtype=np.int64)
    return FACTOR_SCHEMA, _factor_batches(m, names, cols, d0, d1, batch_rows)


def index_stream(m: SyntheticMarket, body: dict, batch_rows: int) -> Stream:
    """``/index-day/stream``: 所选指数在所选日期上的日线 (宽表, 所选字段)。"""
    codes = str_list(body, "ukeys") or list(INDEX_CODES)
    unknown = [c for c in codes if c not in INDEX_CODES]
    if unknown:
        raise RequestError(400, f"未知指数代码: {', '.join(unknown)}; 可用: {', '.join(INDEX_CODES)}")
    fields = str_list(body, "fields") or list(INDEX_FIELDS)
    bad = [f for f in fields if f not in INDEX_FIELDS]
    if bad:
        raise RequestError(400, f"未知字段: {', '.join(bad)}; 可用: {', '.join(INDEX_FIELDS)}")
    d0, d1 = _date_span(m, body)
    schema = pa.schema([("date", pa.date32()), ("ukey", pa.string())] + [(f, pa.float64()) for f in fields])
    return schema, _index_batches(m, schema, codes, fields, d0, d1, batch_rows)


def _date_span(m: SyntheticMarket, body: dict) -> tuple[int, int]:
    dates = m.dates
    start = body.get("start_date")
    end = body.get("end_date")
    s = parse_day(start, "start_date") if start is not None else dates[0]
    e = parse_day(end, "end_date") if end is not None else dates[-1]
    if e < s:
        raise RequestError(400, "end_date 早于 start_date")
    return int(np.searchsorted(dates, s, "left")), int(np.searchsorted(dates, e, "right"))


# ---------------------------------------------------------------------------
# Record batches
# ---------------------------------------------------------------------------


def _factor_batches(
    m: SyntheticMarket, names: list[str], cols: np.ndarray | None, d0: int, d1: int, batch_rows: int
) -> Iterator[pa.RecordBatch]:
    # Days since the epoch, as date32 holds them; the cells of a factor found in
    # its flat values (a two-dimensional nonzero and gather cost twice as much).
    days = m.dates[d0:d1].astype(np.int32)
    all_codes = np.array(m.codes, dtype=object)
    codes = pa.array(all_codes if cols is None else all_codes[cols], type=pa.string())
    for name in names:
        values = m.factor(name)[d0:d1]
        if cols is not None:
            values = values[:, cols]
        values = np.ascontiguousarray(values).ravel()
        cells = np.flatnonzero(~np.isnan(values))
        rows, stocks = np.divmod(cells, len(codes))
        picked = values[cells]
        label = pa.scalar(name, pa.string())
        full_labels = pa.repeat(label, min(batch_rows, len(cells)))
        for s in range(0, len(cells), batch_rows):
            e = min(s + batch_rows, len(cells))
            yield pa.record_batch(
                [
                    pa.array(days[rows[s:e]]).view(pa.date32()),
                    codes.take(pa.array(stocks[s:e])),
                    pa.array(picked[s:e]),
                    # A slice would carry the whole label buffers into the stream.
                    full_labels if e - s == len(full_labels) else pa.repeat(label, e - s),
                ],
                schema=FACTOR_SCHEMA,
            )


def _index_batches(
    m: SyntheticMarket,
    schema: pa.Schema,
    codes: list[str],
    fields: list[str],
    d0: int,
    d1: int,
    batch_rows: int,
) -> Iterator[pa.RecordBatch]:
    dates = m.dates[d0:d1]
    for code in codes:
        bars = m.index_bars(code)
        label = pa.scalar(code, pa.string())
        for s in range(0, len(dates), batch_rows):
            e = min(s + batch_rows, len(dates))
            yield pa.record_batch(
                [pa.array(dates[s:e]), pa.repeat(label, e - s)]
                + [pa.array(bars[f][d0 + s : d0 + e]) for f in fields],
                schema=schema,
            )


def _ipc_chunks(schema: pa.Schema, batches: Iterable[pa.RecordBatch]) -> Iterator[list]:
    """把 Arrow IPC 流切成每块一个 record batch 的分块。

    每个分块是一组 buffer; schema 消息随第一个 batch, 流结束标记随最后一个 batch,
    因此没有空分块, 没有 batch 的流只有一个分块 (schema 与结束标记)。
    """
    head: list = [schema.serialize()]
    pending = None
    for batch in batches:
        if pending is not None:
            yield head + [pending]
            head = []
        pending = batch.serialize()
    yield head + ([pending] if pending is not None else []) + [_EOS]


# ---------------------------------------------------------------------------
# Sending (part of the connection handler)
# ---------------------------------------------------------------------------


def _next_chunk(chunks: Iterator[list]) -> tuple[list, int] | None:
    """The next chunk's buffers and its size; ``None`` after the last. Making a
    batch is the heavy part: it runs off the event loop."""
    parts = next(chunks, None)
    if parts is None:
        return None
    return parts, sum(len(p) for p in parts)


class ArrowStreaming(ConnectionBase):
    """连接处理中发送 Arrow 流式应答的部分。"""

    async def _send_stream(
        self, schema: pa.Schema, batches: Iterator[pa.RecordBatch], api_key: str, faults: Faults | None
    ) -> None:
        traffic = self.sandbox.traffic
        chunks = _ipc_chunks(schema, batches)
        chunk = await self._off_loop(_next_chunk, chunks)  # the first batch, before committing to 200
        self._start_answer(200, {"Content-Type": ARROW_STREAM_CONTENT_TYPE, "Transfer-Encoding": "chunked"})
        cut_bytes = faults.cut_after_bytes if faults else None
        cut_batches = faults.cut_after_batches if faults else None
        delay = faults.chunk_delay if faults else 0.0
        written_batches = 0
        while chunk is not None:
            parts, size = chunk
            if cut_batches is not None and written_batches >= cut_batches:
                raise ConnectionCut()
            if delay:
                await asyncio.sleep(delay)
            if cut_bytes is not None and self._sent + size > cut_bytes:
                await self._write_partial_chunk(parts, size, cut_bytes - self._sent)
                traffic.add_usage(api_key, cut_bytes - self._sent)
                raise ConnectionCut()
            await self._write_pieces([b"%X\r\n" % size, *parts, b"\r\n"])
            self._sent += size
            traffic.add_usage(api_key, size)
            written_batches += 1
            chunk = await self._off_loop(_next_chunk, chunks)
        await self._write(b"0\r\n\r\n")

    async def _write_partial_chunk(self, parts: list, size: int, budget: int) -> None:
        pieces = [b"%X\r\n" % size]
        for p in parts:
            if budget <= 0:
                break
            view = memoryview(p)[:budget]
            pieces.append(bytes(view))
            budget -= len(view)
        await self._write(b"".join(pieces))
