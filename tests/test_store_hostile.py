"""Stores are files users download: every kind of damage must be the store's own error,
naming the file, never a crash. Each damaged store is read in a child process, so a
segfault fails the test instead of the run."""

from __future__ import annotations

import json
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tolvane.cli import main
from tolvane.exceptions import StoreFormatError, TolvaneError

from store_processes import create, open_store

# Reads every damaged store in turn, one JSON line each, so that the line missing
# after a crash names the case that crashed.
READER = """
import json, sys
from tolvane.backtest._prepare import BinaryPreparedDataStore
for folder, action in zip(sys.argv[1::2], sys.argv[2::2]):
    store = BinaryPreparedDataStore(folder, [])
    try:
        getattr(store, action)()
        outcome = {"error": None}
    except Exception as error:
        outcome = {"error": type(error).__name__, "message": str(error),
                   "store_error": type(error).__name__ == "StoreFormatError"}
    print(json.dumps(outcome), flush=True)
"""


def metadata_of(store_dir: Path) -> dict:
    return pickle.loads((store_dir / "metadata.pkl").read_bytes())


def rewrite_metadata(store_dir: Path, change) -> None:
    metadata = metadata_of(store_dir)
    change(metadata)
    (store_dir / "metadata.pkl").write_bytes(pickle.dumps(metadata))


def dataset_file(store_dir: Path, key: str = "close_price") -> Path:
    return store_dir / metadata_of(store_dir)["datasets"][key]["file"]


def label_file(store_dir: Path, axis: str = "dates_file") -> Path:
    return store_dir / metadata_of(store_dir)["axes"][axis]


def set_entry(key: str, field: str, value):
    return lambda metadata: metadata["datasets"][key].__setitem__(field, value)


def npy_with_header(header: str, body: bytes = b"") -> bytes:
    text = header.encode("latin1")
    text += b" " * (-(len(text) + 11) % 64) + b"\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + body


def truncate(path: Path, keep: int) -> None:
    path.write_bytes(path.read_bytes()[:keep])


def flip_byte(path: Path, offset: int) -> None:
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x01
    path.write_bytes(bytes(data))


# name -> (damage, action that must fail, words the message must hold)
DAMAGE = {
    "dtype object": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "dtype", "object")),
        "load",
        "dtype",
    ),
    "dtype of another type": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "dtype", "bool")),
        "load",
        "dtype",
    ),
    "dtype int64": (
        lambda d: rewrite_metadata(d, set_entry("open_price", "dtype", "int64")),
        "load",
        "dtype",
    ),
    "shape too tall": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "shape", [10**9, 800])),
        "load",
        "shape",
    ),
    "shape not a list": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "shape", "120x800")),
        "load",
        "shape",
    ),
    "file outside": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "file", "../outside.bin")),
        "load",
        "file",
    ),
    "absolute file": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "file", "/etc/passwd")),
        "load",
        "file",
    ),
    "file not text": (lambda d: rewrite_metadata(d, set_entry("close_price", "file", 7)), "load", "file"),
    "symlinked file": (
        lambda d: (dataset_file(d).unlink(), dataset_file(d).symlink_to("/etc/hostname")),
        "load",
        "符号链接",
    ),
    "dataset key escapes": (
        lambda d: rewrite_metadata(
            d, lambda m: m["datasets"].__setitem__("../../x", m["datasets"].pop("open_price"))
        ),
        "load",
        "数据集键",
    ),
    "truncated data": (lambda d: truncate(dataset_file(d), 1000), "load", "字节"),
    "longer data": (
        lambda d: dataset_file(d).write_bytes(dataset_file(d).read_bytes() + b"\0" * 8),
        "load",
        "字节",
    ),
    "missing data": (lambda d: dataset_file(d).unlink(), "load", "缺失"),
    "reversed dates": (lambda d: np.save(label_file(d), np.load(label_file(d))[::-1]), "load", "升序"),
    "dates not dates": (lambda d: np.save(label_file(d), np.array(["2020-01-0"] * 120)), "load", "YYYYMMDD"),
    "pickled dates": (
        lambda d: np.save(label_file(d), np.array([object()] * 120, dtype=object), allow_pickle=True),
        "load",
        "数组",
    ),
    "dates truncated": (
        lambda d: label_file(d).write_bytes(
            npy_with_header("{'descr': '<U8', 'fortran_order': False, 'shape': (120,), }", b"x" * 100)
        ),
        "load",
        "截断",
    ),
    "dates of a huge claimed length": (
        lambda d: label_file(d).write_bytes(
            npy_with_header(
                "{'descr': '<U8', 'fortran_order': False, 'shape': (1000000000000,), }", b"x" * 100
            )
        ),
        "load",
        "长度 120",
    ),
    "dates header garbage": (
        lambda d: label_file(d).write_bytes(b"\x93NUMPY\x01\x00\xff\x00" + b"(" * 300),
        "load",
        "数组头",
    ),
    "duplicate stocks": (
        lambda d: np.save(label_file(d, "stocks_file"), np.array(["000001"] * 800)),
        "load",
        "重复",
    ),
    "axes count negative": (
        lambda d: rewrite_metadata(d, lambda m: m["axes"].__setitem__("n_dates", -1)),
        "load",
        "n_dates",
    ),
    "axes count a flag": (
        lambda d: rewrite_metadata(d, lambda m: m["axes"].__setitem__("n_stocks", True)),
        "load",
        "n_stocks",
    ),
    "datasets a list": (
        lambda d: rewrite_metadata(d, lambda m: m.__setitem__("datasets", ["close_price"])),
        "load",
        "datasets",
    ),
    "metadata a list": (lambda d: (d / "metadata.pkl").write_bytes(pickle.dumps([1, 2])), "load", "dict"),
    "metadata truncated": (lambda d: truncate(d / "metadata.pkl", 40), "load", "metadata.pkl"),
    "benchmarks not a zip": (
        lambda d: (d / metadata_of(d)["benchmarks"]["file"]).write_bytes(b"PK\x03\x04junk"),
        "load_benchmarks",
        "benchmarks",
    ),
    "benchmarks member missing": (
        lambda d: rewrite_metadata(
            d, lambda m: m["benchmarks"]["series"]["000852"].__setitem__("position", 9)
        ),
        "load_benchmarks",
        "dates_9",
    ),
    "checksum malformed": (
        lambda d: rewrite_metadata(d, set_entry("close_price", "checksum", {"algorithm": "md5"})),
        "load",
        "algorithm",
    ),
    "flipped byte": (lambda d: flip_byte(dataset_file(d), 100_000), "verify", "第 0 块"),
    "flipped label byte": (lambda d: flip_byte(label_file(d, "stocks_file"), 200), "verify", "stocks."),
}


@pytest.fixture(scope="module")
def damaged(tmp_path_factory) -> dict[str, tuple[Path, str, str]]:
    root = tmp_path_factory.mktemp("damaged")
    good = root / "good"
    create(good)
    cases = {}
    for number, (name, (damage, action, words)) in enumerate(DAMAGE.items()):
        folder = root / f"case-{number}"
        folder.mkdir()
        for path in good.iterdir():
            (folder / path.name).write_bytes(path.read_bytes())
        damage(folder)
        cases[name] = (folder, action, words)
    return cases


def test_every_kind_of_damage_is_a_store_error_naming_what_is_wrong(damaged):
    arguments = [str(value) for folder, action, _ in damaged.values() for value in (folder, action)]
    done = subprocess.run(
        [sys.executable, "-c", READER, *arguments], capture_output=True, text=True, timeout=300
    )
    outcomes = [json.loads(line) for line in done.stdout.splitlines()]
    names = list(damaged)
    assert done.returncode == 0, f"crashed reading {names[len(outcomes)]!r}: {done.stderr[-2000:]}"
    for name, outcome in zip(names, outcomes):
        folder, action, words = damaged[name]
        assert outcome["error"] == "StoreFormatError", (name, outcome)
        assert words in outcome["message"], (name, outcome["message"])


def test_a_damaged_store_is_refused_by_the_console_backtest_and_verify(damaged, tmp_path, capsys):
    weights = tmp_path / "weights.csv"
    weights.write_text("date,000001\n20200102,1.0\n20200103,1.0\n")
    folder, _, _ = damaged["dtype object"]
    assert (
        main(["backtest", "--store", str(folder), "--weights", str(weights), "--output", str(tmp_path)]) == 1
    )
    assert "dtype" in capsys.readouterr().err
    folder, _, _ = damaged["flipped byte"]
    assert main(["verify", str(folder)]) == 1
    err = capsys.readouterr().err
    assert "校验和不符" in err and "close_price." in err


def test_verify_passes_a_sound_store_and_names_files_without_checksums(tmp_path, capsys):
    create(tmp_path / "store")
    assert main(["verify", str(tmp_path / "store")]) == 0
    assert "存储完好" in capsys.readouterr().out
    # A store written before checksums were recorded: structure and lengths only.
    rewrite_metadata(
        tmp_path / "store", lambda m: [entry.pop("checksum") for entry in m["datasets"].values()]
    )
    report = open_store(tmp_path / "store").verify()
    assert report["files"] - report["checksummed"] == 3
    assert main(["verify", str(tmp_path / "store")]) == 0
    assert "3 个没有校验和" in capsys.readouterr().out


def test_a_package_whose_files_do_not_match_its_checksums_is_not_switched_in(tmp_path):
    target, package = tmp_path / "target", tmp_path / "package"
    create(target)
    before = open_store(target).load(mmap=False)
    files = sorted(os.listdir(target))
    create(package)
    flip_byte(dataset_file(package, "open_price"), 100)
    with pytest.raises(StoreFormatError, match="校验和不符") as refused:
        open_store(target).install(package)
    assert isinstance(refused.value, TolvaneError) and isinstance(refused.value, ValueError)
    after = open_store(target).load()
    for key, frame in before.items():
        assert frame.equals(after[key])
    assert sorted(os.listdir(target)) == files
