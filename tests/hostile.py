"""Hostile arguments for the native functions, built and used in a worker process.

The test process describes every argument as a recipe: nested tuples of plain
values that pickle and print well, so that a crash names the call that caused
it. The worker builds the objects, makes the call and reports how it ended.
Run as a script, it serves recipes from stdin until stdin is closed.
"""

from __future__ import annotations

import datetime as dt
import importlib
import math
import os
import pathlib
import pickle
import sys

import numpy as np
import pandas as pd
import pyarrow as pa


class Explosive:
    """Every question asked of it raises."""

    def __getattr__(self, name):
        raise RuntimeError(f"explosive .{name}")

    def _refuse(self, *args, **kwargs):
        raise RuntimeError("explosive")

    __len__ = __iter__ = __index__ = __float__ = __int__ = __bool__ = __getitem__ = _refuse
    __eq__ = __lt__ = __gt__ = __str__ = __fspath__ = __call__ = __enter__ = _refuse
    __hash__ = None


class LyingLength:
    """A container that claims a size it does not have."""

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        raise IndexError(index)


def raising_iterator():
    yield b"\x00"
    raise OSError("upstream failed")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


VALUES = {
    "none": lambda: None,
    "true": lambda: True,
    "zero": lambda: 0,
    "minus_one": lambda: -1,
    "huge_int": lambda: 2**200,
    "negative_huge_int": lambda: -(2**100),
    "int_subclass": lambda: IntSub(7),
    "nan": lambda: math.nan,
    "inf": lambda: math.inf,
    "minus_inf": lambda: -math.inf,
    "float_subclass": lambda: FloatSub(math.nan),
    "empty_str": lambda: "",
    "text": lambda: "000852",
    "unencodable_str": lambda: "\udc80",
    "str_subclass": lambda: StrSub("large"),
    "empty_bytes": lambda: b"",
    "bytes": lambda: b"\x00\xff" * 3,
    "bytearray": lambda: bytearray(5),
    "readonly_memoryview": lambda: memoryview(b"abcd"),
    "empty_list": lambda: [],
    "list": lambda: [1, "a", None],
    "list_subclass": lambda: ListSub([b"a"]),
    "empty_dict": lambda: {},
    "dict": lambda: {"a": 1, 2: "b"},
    "dict_subclass": lambda: DictSub(x=1),
    "tuple": lambda: (1.0, math.nan),
    "object": object,
    "explosive": Explosive,
    "lying_length": LyingLength,
    "raising_iterator": raising_iterator,
    "path": lambda: pathlib.Path("out") / "chart.png",
    "timestamp": lambda: pd.Timestamp("2024-01-02"),
    "date": lambda: dt.date(2024, 1, 2),
    "type": lambda: int,
    "empty_frame": pd.DataFrame,
    "empty_series": lambda: pd.Series(dtype=float),
    "empty_array": lambda: np.empty(0),
    "scalar_array": lambda: np.array(1.5),
}

LAYOUTS = ("C", "F", "strided", "reversed", "misaligned", "readonly", "broadcast")


def lay_out(values: np.ndarray, layout: str) -> np.ndarray:
    """The same logical array (up to "broadcast", which repeats the first row)
    with another memory layout."""
    if values.ndim == 0 or values.size == 0 or values.dtype == object:
        return values
    if layout == "F":
        return np.asfortranarray(values)
    if layout == "strided":
        wide = np.zeros(values.shape[:-1] + (values.shape[-1] * 2,), values.dtype)
        wide[..., ::2] = values
        return wide[..., ::2]
    if layout == "reversed":
        return np.ascontiguousarray(values[::-1])[::-1]
    if layout == "misaligned":
        raw = np.zeros(values.nbytes + 1, np.uint8)
        shifted = np.frombuffer(raw.data, values.dtype, values.size, offset=1).reshape(values.shape)
        shifted[...] = values
        return shifted
    if layout == "readonly":
        values = values.copy()
        values.flags.writeable = False
        return values
    if layout == "broadcast":
        return np.broadcast_to(values[:1], values.shape)
    return np.ascontiguousarray(values)


def fill(shape, dtype: str, content: str, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return rng.random(shape) < 0.8
    if content == "extreme":
        values = rng.choice([0.0, -1.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 0.3], size=shape)
    else:
        values = np.where(rng.random(shape) < 0.1, math.nan, rng.uniform(0.05, 20.0, shape))
    if dtype == "int64":
        return np.nan_to_num(values, nan=0, posinf=9, neginf=-9).astype(dtype)
    if dtype == "object":
        return values.astype(object)
    if dtype == "text":
        return values.astype(str)
    if dtype == "datetime":
        return np.full(shape, np.datetime64("2024-01-02", "ns"))
    return values.astype(dtype)


def labels(kind: str, count: int):
    days = pd.bdate_range("2023-12-01", periods=count)
    if kind == "duplicates":
        return pd.Index(days.strftime("%Y%m%d")[[0] * min(count, 1) + list(range(max(count - 1, 0)))])
    if kind == "timestamps":
        return days
    if kind == "ints":
        return pd.RangeIndex(count)
    return pd.Index(days.strftime("%Y%m%d"))


class LyingFrame(pd.DataFrame):
    """A frame whose array has one row less than its index."""

    @property
    def _constructor(self):
        return LyingFrame

    def to_numpy(self, *args, **kwargs):
        return super().to_numpy(*args, **kwargs)[1:]


class SubFrame(pd.DataFrame):
    @property
    def _constructor(self):
        return SubFrame


class DuckFrame:
    """Index, columns and an array, as far as a matrix is read, with nothing else."""

    def __init__(self, frame, rows_shift):
        self.index, self.columns, self._frame, self._shift = frame.index, frame.columns, frame, rows_shift

    def __len__(self):
        return len(self.index)

    def to_numpy(self, *args, **kwargs):
        return self._frame.to_numpy(*args, **kwargs)[self._shift :]

    def __getattr__(self, name):
        return getattr(self._frame, name)


def arrow_stream(rows: int) -> bytes:
    table = pa.table(
        {
            "date": pd.date_range("2024-01-01", periods=rows).date,
            "ukey": [f"{i:06d}.SZ" for i in range(rows)],
            "value": np.linspace(0, 1, rows),
        }
    )
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        for batch in table.to_batches(max_chunksize=3):
            writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


def chunk_items(kind: str, size: int):
    stream = arrow_stream(7)
    if kind == "arrow":
        return [stream[i : i + size] for i in range(0, len(stream), size)]
    if kind == "arrow_cut":
        return [stream[:size], stream[size : len(stream) // 2]]
    if kind == "garbage":
        return [b"\xff" * size, b"", b"\x00" * 8]
    return [b"ab", "text", 5, None, bytearray(b"cd"), memoryview(b"ef")]


class FakeHttp:
    """A client whose streams yield ``chunks`` and whose JSON replies are ``reply``."""

    def __init__(self, chunks, reply, suppress):
        self.chunks, self.reply, self.suppress = chunks, reply, suppress

    def stream_post_iter(self, path, body):
        client = self

        class Stream:
            def __enter__(self):
                return client.chunks

            def __exit__(self, *exc_info):
                return client.suppress

        return Stream()

    def get(self, path, params=None):
        return self.reply


def resolve(target: str):
    module_name, _, qualname = target.partition(":")
    value = importlib.import_module(module_name)
    for part in qualname.split("."):
        value = getattr(value, part)
    return value


def build(recipe):
    kind, *spec = recipe
    if kind == "value":
        return VALUES[spec[0]]()
    if kind in ("str", "int", "float"):
        return spec[0]
    if kind == "array":
        shape, dtype, layout, content, seed = spec
        return lay_out(fill(shape, dtype, content, seed), layout)
    if kind == "frame":
        (rows, cols), dtype, layout, content, seed, index, flavour = spec
        values = lay_out(fill((rows, cols), dtype, content, seed), layout)
        frame = pd.DataFrame(
            values, index=labels(index, rows), columns=[f"{j:06d}" for j in range(cols)], copy=False
        )
        if flavour == "subclass":
            return SubFrame(frame)
        if flavour == "lying":
            return LyingFrame(frame)
        if flavour == "duck":
            return DuckFrame(frame, 1)
        return frame
    if kind == "series":
        length, dtype, content, seed, index = spec
        return pd.Series(fill((length,), dtype, content, seed), index=labels(index, length))
    if kind == "returns":  # a frame of strategy and benchmark daily returns
        length, content, seed, index, with_close = spec
        frame = pd.DataFrame(
            {
                "daily_return": fill((length,), "float64", content, seed) / 100,
                "index_day_return": fill((length,), "float64", content, seed + 1) / 100,
            },
            index=labels(index, length),
        )
        frame["extra_daily_return"] = frame["daily_return"] - frame["index_day_return"]
        if with_close:
            frame["close"] = fill((length,), "float64", content, seed + 2)
        return frame
    if kind == "yearly":  # a yearly metrics table as the module computes it
        return resolve("tolvane.backtest._strategy_kernel:_calc_yearly_performance_metrics")(build(spec[0]))
    if kind == "axes":
        import matplotlib.pyplot as plt

        plt.close("all")
        return plt.figure().add_subplot()
    if kind == "chunks":
        items_kind, size, iterator = spec
        items = chunk_items(items_kind, size)
        return iter(items) if iterator else items
    if kind == "http":
        chunks, reply, suppress = spec
        return FakeHttp(build(chunks), build(reply), suppress)
    if kind == "instance":
        cls, arguments = resolve(spec[0]), [build(argument) for argument in spec[1]]
        try:
            return cls(*arguments)
        except Exception:
            return cls.__new__(cls)
    if kind == "dict":
        return {key: build(value) for key, value in spec[0]}
    raise ValueError(f"unknown recipe {recipe!r}")


def plain_copy(value):
    """A frame's values, or an array, in a fresh C-ordered array (also inside
    a dict); anything else as it is."""
    if type(value) is pd.DataFrame:
        return pd.DataFrame(np.array(value.to_numpy(), order="C"), index=value.index, columns=value.columns)
    if type(value) is np.ndarray:
        return np.array(value, order="C")
    if type(value) is dict:
        return {key: plain_copy(item) for key, item in value.items()}
    return value


def call(case, plain=False):
    """("call", target, positional recipes, keyword recipes) -> (result, error);
    with ``plain``, every frame argument is first copied into plain memory."""
    _, target, args, kwargs = case
    function = resolve(target)
    try:
        built_args = [build(recipe) for recipe in args]
        built_kwargs = {name: build(recipe) for name, recipe in kwargs}
    except Exception as error:  # the recipe itself cannot be built: not a finding
        return None, ("unbuildable", f"{type(error).__name__}: {error}")
    if plain:
        built_args = [plain_copy(value) for value in built_args]
        built_kwargs = {name: plain_copy(value) for name, value in built_kwargs.items()}
    try:
        return function(*built_args, **built_kwargs), None
    except Exception as error:
        return None, error


def same(a, b) -> bool:
    if isinstance(a, (pd.Series, pd.DataFrame)):
        if type(a) is not type(b) or a.shape != b.shape or not a.index.equals(b.index):
            return False
        left, right = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
        return bool(np.allclose(left, right, rtol=1e-9, atol=1e-12, equal_nan=True))
    if isinstance(a, np.ndarray):
        return (
            isinstance(b, np.ndarray)
            and a.shape == b.shape
            and a.dtype == b.dtype
            and bool(np.allclose(a, b, rtol=1e-9, atol=1e-12, equal_nan=True))
        )
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    return a is b or a == b


def described(result, error):
    if isinstance(error, tuple):
        return error
    if error is not None:
        return ("raised", type(error).__name__, str(error)[:300])
    return ("returned", type(result).__name__, "")


def run(case):
    """How a case ended: ("returned", type, ""), ("raised", type, message),
    ("unbuildable", why), or ("differs", why) when a call on unusual memory
    layouts does not give the result of the same call on plain arrays."""
    if case[0] != "same":
        return described(*call(case))
    odd, plain = call(case[1]), call(case[1], plain=True)
    if isinstance(odd[1], tuple) or isinstance(plain[1], tuple):
        return described(*odd)
    if not same(odd[1] if odd[1] is not None else odd[0], plain[1] if plain[1] is not None else plain[0]):
        return ("differs", f"{described(*odd)} on unusual layouts, {described(*plain)} on plain ones")
    return described(*odd)


def serve():
    """Answers length-prefixed pickled cases from stdin, one reply each."""
    replies = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)  # whatever the calls print goes to the log, not into the replies
    requests = sys.stdin.buffer
    while header := requests.read(8):
        case = pickle.loads(requests.read(int.from_bytes(header, "little")))
        reply = pickle.dumps(run(case))
        replies.write(len(reply).to_bytes(8, "little") + reply)
        replies.flush()


if __name__ == "__main__":
    serve()
