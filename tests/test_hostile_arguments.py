"""Every native function of every tolvane extension module, fed random hostile
arguments in a worker process: each call must end in a clean exception or a
correct result, never in a crash.

Functions are found by walking the package, so modules added later are covered
without being listed here. Parameters are drawn by name where a name says what
a function expects (matrices, series, a client, chunks, a buffer); the strategy
engine, the statistics and the runner get whole consistent markets with one
argument made hostile, and calls on unusual memory layouts must give the result
of the same call on plain arrays.
"""

from __future__ import annotations

import importlib
import inspect
import os
import pickle
import select
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile
from native_modules import extension_modules
from reference.strategy_stats import STAT_KEYS

TESTS = Path(__file__).resolve().parent
REPLY_LIMIT_SECONDS = 300  # a hung call fails the test instead of hanging the run


def is_native(value) -> bool:
    return type(value).__name__ == "native_function"  # the frame's function type


def native_functions() -> list[str]:
    """ "module:qualname" of every native function a module defines, methods included."""
    targets = []
    for name in extension_modules():
        module = importlib.import_module(name)
        for attribute, value in vars(module).items():
            if is_native(value) and value.__module__ == name:
                targets.append(f"{name}:{attribute}")
            elif isinstance(value, type) and value.__module__ == name:
                for member, method in vars(value).items():
                    if is_native(getattr(method, "__func__", method)):
                        targets.append(f"{name}:{attribute}.{member}")
    return targets


TARGETS = native_functions()


def test_functions_and_methods_of_every_module_are_found():
    assert {"tolvane._download", "tolvane._signer", "tolvane.backtest._strategy_kernel"} <= set(
        extension_modules()
    )
    assert {
        "tolvane.backtest._strategy_kernel:calc_strategy_vwap_daily_return",
        "tolvane._signer:sign_request",
        "tolvane._download:_StreamReader.readinto",
        "tolvane._quota:QuotaService.get_quota",
    } <= set(TARGETS)
    assert "tolvane._factor:stream_decode" not in TARGETS  # imported, not defined there


# --- recipes --------------------------------------------------------------

seeds = st.integers(0, 2**16)
value_recipes = st.sampled_from(sorted(hostile.VALUES)).map(lambda name: ("value", name))
contents = st.sampled_from(["values", "extreme"])
index_kinds = st.sampled_from(["dates", "dates", "duplicates", "timestamps", "ints"])


@st.composite
def array_recipes(draw, shape=None):
    if shape is None:
        shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=3)))
    dtype = draw(st.sampled_from(["float64", "float64", "float32", ">f8", "int64", "bool", "object", "text"]))
    return ("array", shape, dtype, draw(st.sampled_from(hostile.LAYOUTS)), draw(contents), draw(seeds))


@st.composite
def frame_recipes(draw, shape=None, dtype=None, index=None, flavour=None):
    shape = shape or (draw(st.integers(0, 5)), draw(st.integers(0, 4)))
    dtype = dtype or draw(st.sampled_from(["float64", "float64", "bool", "int64", "object", "text", ">f8"]))
    flavour = flavour or draw(st.sampled_from(["plain", "plain", "plain", "subclass", "lying", "duck"]))
    return (
        "frame",
        shape,
        dtype,
        draw(st.sampled_from(hostile.LAYOUTS)),
        draw(contents),
        draw(seeds),
        index or draw(index_kinds),
        flavour,
    )


def series_recipes(length=None, index=None):
    return st.builds(
        lambda n, dtype, content, seed, kind: ("series", n, dtype, content, seed, kind),
        st.integers(0, 30) if length is None else st.just(length),
        st.sampled_from(["float64", "float64", "int64", "object", "bool"]),
        contents,
        seeds,
        index_kinds if index is None else st.just(index),
    )


# Any hostile value: the named ones, and arrays, frames and series of every kind.
hostile_values = st.one_of(value_recipes, value_recipes, array_recipes(), frame_recipes(), series_recipes())
returns_recipes = st.builds(
    lambda n, content, seed, kind, close: ("returns", n, content, seed, kind, close),
    st.integers(0, 30),
    contents,
    seeds,
    index_kinds,
    st.booleans(),
)
dated_returns_recipes = st.builds(
    lambda n, content, seed: ("returns", n, content, seed, "timestamps", False),
    st.integers(0, 600),
    contents,
    seeds,
)
chunk_recipes = st.builds(
    lambda kind, size, iterator: ("chunks", kind, size, iterator),
    st.sampled_from(["arrow", "arrow_cut", "garbage", "mixed"]),
    st.integers(1, 300),
    st.booleans(),
)
http_recipes = st.builds(
    lambda chunks, reply, suppress: ("http", chunks, reply, suppress),
    chunk_recipes,
    st.one_of(
        value_recipes, st.just(("dict", (("quota", ("value", "huge_int")), ("used", ("value", "nan")))))
    ),
    st.booleans(),
)
buffer_recipes = st.one_of(
    st.sampled_from(["bytearray", "readonly_memoryview", "bytes", "list"]).map(lambda name: ("value", name)),
    array_recipes(shape=(3,)),
)

MATRICES = (
    "signal_matrix",
    "strategy_matrix",
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)
SERIES = ("daily_return", "cumulative_return", "benchmark_daily_return", "annual_excess")
BY_NAME = {
    **{name: frame_recipes() for name in MATRICES},
    **{name: series_recipes() for name in SERIES},
    "total_frame": returns_recipes,
    "daily": st.one_of(returns_recipes, dated_returns_recipes),
    "yearly_metrics": st.one_of(dated_returns_recipes.map(lambda daily: ("yearly", daily)), frame_recipes()),
    "signal_df": st.one_of(frame_recipes(), st.just(("value", "none"))),
    "http": http_recipes,
    "chunks": chunk_recipes,
    "b": buffer_recipes,
    "stats": st.lists(st.tuples(st.sampled_from(STAT_KEYS), value_recipes), max_size=13).map(
        lambda items: ("dict", tuple(items))
    ),
    "ax": st.just(("axes",)),
}


def self_recipes(owner: str):
    init = list(inspect.signature(hostile.resolve(owner).__init__).parameters.values())[1:]
    arguments = [
        parameter_recipes(parameter)
        for parameter in init
        if parameter.kind not in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD)
    ]
    instances = st.tuples(*arguments).map(lambda built: ("instance", owner, built))
    return st.one_of(instances, instances, instances, hostile_values)


texts = st.sampled_from(["large", "long", "small", "chart.png", "策略", "", "000852"]).map(
    lambda t: ("str", t)
)
BY_ANNOTATION = {
    "str": texts,
    "int": st.integers(-3, 300).map(lambda n: ("int", n)),
    "float": st.floats(allow_nan=True, allow_infinity=True).map(lambda x: ("float", x)),
    "bool": st.booleans().map(lambda b: ("int", b)),
    "dict": st.lists(st.tuples(texts.map(lambda t: t[1]), value_recipes), max_size=3).map(
        lambda items: ("dict", tuple(items))
    ),
}


def parameter_recipes(parameter: inspect.Parameter, owner: str | None = None):
    """What a caller would plausibly pass, judged by the parameter's name or
    else its annotation; any hostile value when nothing says."""
    if parameter.name == "self" and owner:
        return self_recipes(owner)
    annotation = parameter.annotation if isinstance(parameter.annotation, str) else ""
    return BY_NAME.get(
        parameter.name, BY_ANNOTATION.get(annotation.split(" | ")[0].split("[")[0], hostile_values)
    )


def call_with(draw, target: str, chosen: dict):
    """A call of ``target`` with the recipes ``chosen`` by parameter name and
    the others drawn by name, up to two of them swapped for hostile values,
    passed as a Python caller passes them: a positional prefix, then keywords
    (defaults sometimes left out); now and then one argument too few or too
    many."""
    module_name, _, qualname = target.partition(":")
    owner = f"{module_name}:{qualname.rpartition('.')[0]}" if "." in qualname else None
    parameters = list(inspect.signature(hostile.resolve(target)).parameters.values())
    hostile_at = draw(st.lists(st.integers(0, len(parameters)), max_size=2))
    by_keyword_from = draw(st.integers(0, len(parameters)))
    args, kwargs = [], []
    for position, parameter in enumerate(parameters):
        keyword = position >= by_keyword_from or parameter.kind is parameter.KEYWORD_ONLY
        if keyword and parameter.default is not parameter.empty and draw(st.booleans()):
            continue
        if position in hostile_at:
            recipe = draw(hostile_values)
        elif parameter.name in chosen:
            recipe = chosen[parameter.name]
        else:
            recipe = draw(parameter_recipes(parameter, owner))
        if keyword:
            kwargs.append((parameter.name, recipe))
        else:
            args.append(recipe)
    miscount = draw(st.integers(0, 11))
    if miscount == 0 and args:
        args.pop()
    elif miscount == 1:
        args.append(draw(value_recipes))
    return ("call", target, tuple(args), tuple(kwargs))


@st.composite
def generic_calls(draw, target: str):
    return call_with(draw, target, {})


@st.composite
def chart_calls(draw, target: str):
    """The three return series of one backtest on shared dates, one of them
    now and then hostile, with the other parameters drawn by name."""
    length, index = (
        draw(st.integers(0, 40)),
        draw(st.sampled_from(["dates", "timestamps", "ints", "duplicates"])),
    )
    series = {name: draw(series_recipes(length, index)) for name in SERIES[:3]}
    if draw(st.booleans()):
        series[draw(st.sampled_from(SERIES[:3]))] = draw(hostile_values)
    return call_with(draw, target, series)


@st.composite
def market_calls(draw, target: str, plain_layouts: bool = False):
    """The weights and eight market matrices of one shape; unless only layouts
    vary, one of them (or a number) is swapped for a hostile value."""
    shape = (draw(st.integers(0, 6)), draw(st.integers(0, 5)))
    index = draw(st.sampled_from(["dates", "dates", "dates", "dates", "duplicates", "timestamps"]))
    flavour = "plain" if plain_layouts else None
    matrices = [
        draw(frame_recipes(shape, "bool" if "_sell" in name or "_buy" in name else "float64", index, flavour))
        for name in MATRICES[1:]
    ]
    if not plain_layouts:
        hostile_at = draw(st.integers(0, 12))
        if hostile_at < 9:
            matrices[hostile_at] = draw(st.one_of(frame_recipes(), hostile_values))
    numbers = (
        ()
        if plain_layouts
        else tuple(
            (name, draw(hostile_values)) for name in ("total_money", "fee") if draw(st.integers(0, 3)) == 0
        )
    )
    if target.endswith("run_strategy_backtest_core"):
        numbers += (("plot_save_path", ("value", "none")),)
    return ("call", target, tuple(matrices), numbers)


def layout_pairs(calls):
    """Calls whose result must not depend on how the frames lie in memory."""
    return calls.map(lambda call: ("same", call))


def stats_calls(target: str):
    signal = st.one_of(frame_recipes(), hostile_values)
    return st.builds(
        lambda frame, weights: ("call", target, (frame, weights), ()),
        st.one_of(returns_recipes, hostile_values),
        signal,
    )


def stats_layout_pairs(target: str):
    calls = st.builds(
        lambda frame, weights: ("call", target, (frame, weights), ()),
        returns_recipes,
        frame_recipes(dtype="float64", flavour="plain"),
    )
    return layout_pairs(calls)


GROUPS = "tolvane.backtest._groups"
GROUP_FUNCTIONS = (
    "group_vwap_daily_return",
    "group_vwap_daily_return_with_turnover",
    "factor_groups",
    "daily_rank_correlation",
)
MARKET_ARRAYS = (
    "prev_close_arr",
    "can_buy_arr",
    "cant_sell_arr",
    "close_arr",
    "buy_price_arr",
    "sell_price_arr",
    "split_arr",
    "dividend_arr",
)


@st.composite
def group_calls(draw, target: str, plain_layouts: bool = False):
    """A factor array with a market of the same shape (or a second array for
    the rank correlation), extreme values included; unless only layouts vary,
    one argument may be swapped for a hostile value."""
    shape = (draw(st.integers(0, 6)), draw(st.integers(0, 6)))

    def array(dtype):
        return ("array", shape, dtype, draw(st.sampled_from(hostile.LAYOUTS)), draw(contents), draw(seeds))

    group_num = ("int", draw(st.integers(1, max(1, shape[1]))))
    name = target.rpartition(":")[2]
    if name.startswith("group_vwap_daily_return"):
        market = (
            "dict",
            tuple((key, array("bool" if key.startswith("can") else "float64")) for key in MARKET_ARRAYS),
        )
        args = [array("float64"), market, group_num]
    elif name == "factor_groups":
        args = [array("float64"), group_num]
    else:
        args = [array("float64"), array("float64")]
    if not plain_layouts and draw(st.booleans()):
        args[draw(st.integers(0, len(args) - 1))] = draw(hostile_values)
    return ("call", target, tuple(args), ())


KERNEL = "tolvane.backtest._strategy_kernel"
SPECIAL = {
    **{
        f"{GROUPS}:{name}": lambda t: st.one_of(
            group_calls(t), layout_pairs(group_calls(t, plain_layouts=True))
        )
        for name in GROUP_FUNCTIONS
    },
    f"{KERNEL}:calc_strategy_vwap_daily_return": lambda t: st.one_of(
        market_calls(t), layout_pairs(market_calls(t, plain_layouts=True))
    ),
    f"{KERNEL}:run_strategy_backtest_core": lambda t: market_calls(t),
    f"{KERNEL}:calc_strategy_stats": lambda t: st.one_of(stats_calls(t), stats_layout_pairs(t)),
    **{
        f"{KERNEL}:{name}": chart_calls
        for name in (
            "_build_weekly_net_value_frame",
            "plot_strategy_performance",
            "_plot_strategy_performance_unlocked",
            "plot_weekly_net_value",
            "_plot_weekly_net_value_unlocked",
        )
    },
}
# Drawing a chart takes a good part of a second: fewer of those.
EXAMPLES = {
    f"{KERNEL}:calc_strategy_vwap_daily_return": 200,
    f"{KERNEL}:calc_strategy_stats": 150,
    **{f"{GROUPS}:{name}": 150 for name in GROUP_FUNCTIONS},
    f"{KERNEL}:run_strategy_backtest_core": 60,
    **{
        f"{KERNEL}:{name}": 15
        for name in (
            "plot_strategy_performance",
            "_plot_strategy_performance_unlocked",
            "plot_weekly_net_value",
            "_plot_weekly_net_value_unlocked",
        )
    },
}


def cases_for(target: str):
    special = SPECIAL.get(target)
    return st.one_of(special(target), generic_calls(target)) if special else generic_calls(target)


# --- the worker -----------------------------------------------------------


class Crash(AssertionError):
    pass


class Worker:
    """A child interpreter answering cases; started again after a crash."""

    def __init__(self, folder: Path):
        self.folder, self.process = folder, None

    def start(self):
        self.log = open(self.folder / "worker.log", "w+b")
        paths = [
            str(TESTS),
            *(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p),
        ]
        env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join(paths),
            "MPLBACKEND": "Agg",
            "MPLCONFIGDIR": str(self.folder / "mpl"),
        }
        self.process = subprocess.Popen(
            [sys.executable, str(TESTS / "hostile.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            cwd=self.folder,
            env=env,
        )

    def run(self, case):
        if self.process is None or self.process.poll() is not None:
            self.start()
        request = pickle.dumps(case)
        try:
            self.process.stdin.write(len(request).to_bytes(8, "little") + request)
            self.process.stdin.flush()
            ready, _, _ = select.select([self.process.stdout], [], [], REPLY_LIMIT_SECONDS)
            header = self.process.stdout.read(8) if ready else b""
            if len(header) == 8:
                return pickle.loads(self.process.stdout.read(int.from_bytes(header, "little")))
        except BrokenPipeError:
            pass
        self.process.kill()
        status = self.process.wait()
        self.log.seek(0)
        tail = self.log.read()[-4000:].decode(errors="replace")
        self.log.close()
        self.process = None
        raise Crash(f"worker ended with status {status} on {case!r}\n{tail}")

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.wait()
            self.log.close()


@pytest.fixture(scope="module")
def worker():
    with tempfile.TemporaryDirectory(prefix="tolvane-hostile-") as folder:
        runner = Worker(Path(folder))
        yield runner
        runner.close()


def check(outcome, case):
    kind = outcome[0]
    assert kind != "differs", f"{outcome[1]}: {case!r}"
    if kind == "raised":
        assert outcome[1] != "SystemError", f"{outcome}: {case!r}"


@pytest.mark.parametrize("target", TARGETS)
def test_hostile_arguments_never_crash(worker, target):
    @settings(
        max_examples=EXAMPLES.get(target, 40),
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(case=cases_for(target))
    def hostile_call(case):
        check(worker.run(case), case)

    hostile_call()
