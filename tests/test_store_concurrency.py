"""One store, several processes: readers while updates run, two writers at once, a writer
killed mid-write, the writer lock. Every store left behind must be readable and equal to
a whole version, every cell compared."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

import tolvane
from tolvane.backtest import prepare_store
from tolvane.backtest._prepare import BinaryPreparedDataStore
from tolvane.cli import main
from tolvane.exceptions import StoreLockedError
from tolvane.sandbox import SandboxServer, SyntheticMarket
from tolvane.sandbox.package import build_benchmark_package

import store_processes as states

WORKER = Path(__file__).with_name("store_processes.py")


def start_process(role: str, store: Path, *options: str) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, str(WORKER), role, str(store), *options],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def finish(process: subprocess.Popen, timeout: float = 120) -> dict:
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, err[-2000:]
    return json.loads(out.strip().splitlines()[-1])


@pytest.fixture
def processes():
    """Started processes, killed at the end of the test whatever happened."""
    started: list[subprocess.Popen] = []
    yield started
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=30)


def wait_for(path: Path, process: subprocess.Popen, timeout: float = 60) -> None:
    deadline = time.monotonic() + timeout
    while not path.exists():
        assert process.poll() is None, process.communicate()[1][-2000:]
        assert time.monotonic() < deadline, f"{path.name} never appeared"
        time.sleep(0.02)


def assert_whole_version(store_dir: Path, versions: set[int], after_a_kill: bool = False) -> int:
    """The store loads, equals one of ``versions`` in every cell, and, unless a writer was
    just killed (the next writer clears what it left), holds no file its metadata does
    not name."""
    store = states.open_store(store_dir)
    loaded = store.load()
    version = len(loaded["close_price"]) - states.FIRST_DATES
    assert version in versions
    assert states.differences(loaded, states.expected_version(len(loaded["close_price"]))) == []
    report = store.verify()
    named = {name for name in os.listdir(store_dir) if not name.startswith(".")} - {
        "metadata.pkl",
        "manifest.json",
    }
    assert len(named) >= report["files"] if after_a_kill else len(named) == report["files"]
    return version


def test_readers_see_whole_versions_while_updates_run_and_writers_are_killed(tmp_path, processes):
    store_dir = tmp_path / "store"
    states.create(store_dir)
    stop = tmp_path / "stop"
    readers = [start_process("read", store_dir, "--stop", str(stop)) for _ in range(2)]
    processes.extend(readers)
    try:
        finish(start_process("update", store_dir, "--count", "12", "--pause", "0.02"))
        version = 12
        rng = random.Random(7)
        # Writers killed at random moments, and right after some of their new files.
        for trial in range(8):
            options = ["--count", "3"] + (["--die-after-files", str(1 + trial % 3)] if trial % 2 else [])
            writer = start_process("update", store_dir, *options)
            if trial % 2 == 0:
                time.sleep(rng.uniform(0.0, 1.5))
                writer.kill()
            writer.wait(timeout=60)
            version = assert_whole_version(store_dir, set(range(version, version + 4)), after_a_kill=True)
        finish(start_process("update", store_dir, "--count", "2"))
    finally:
        stop.touch()
        results = [finish(reader) for reader in readers]
    assert_whole_version(store_dir, {version + 2})
    for result in results:
        assert result["problems"] == [] and result["loads"] >= 3
    assert max(len(result["versions"]) for result in results) > 1


def test_two_updaters_at_once_apply_one_after_the_other(tmp_path):
    store_dir = tmp_path / "store"
    states.create(store_dir)
    for trial in range(1, 5):
        writers = [start_process("update", store_dir, "--count", "3") for _ in range(2)]
        applied = sorted(version for writer in writers for version in finish(writer)["versions"])
        assert applied == list(range(6 * trial - 5, 6 * trial + 1))
        assert_whole_version(store_dir, {6 * trial})


def test_a_frame_loaded_before_updates_and_a_rebuild_keeps_its_values(tmp_path, processes):
    store_dir = tmp_path / "store"
    states.create(store_dir)
    ready, release = tmp_path / "ready", tmp_path / "release"
    reader = start_process("snapshot", store_dir, "--ready", str(ready), "--release", str(release))
    processes.append(reader)
    wait_for(ready, reader)
    store = states.open_store(store_dir)
    for version in range(1, 4):
        states.apply_update(store, version)
    wider = states.payload(range(0, 50), 9)
    wider["data"] = {
        key: frame.rename(columns=lambda code: "9" + code) if key != "benchmark_dict" else frame
        for key, frame in wider["data"].items()
    }
    store.write(wider)
    release.touch()
    assert finish(reader) == {"dates": states.FIRST_DATES, "changed": []}


def test_a_second_writer_waits_or_is_refused_with_the_holders_pid(tmp_path, processes):
    store_dir = tmp_path / "store"
    states.create(store_dir)
    ready, release = tmp_path / "ready", tmp_path / "release"
    holder = start_process("hold", store_dir, "--ready", str(ready), "--release", str(release))
    processes.append(holder)
    wait_for(ready, holder)
    store = states.open_store(store_dir)

    with pytest.raises(StoreLockedError) as refused:
        states.apply_update(store, 1, lock_timeout=0)
    assert str(refused.value) == f"存储 {store_dir} 正被另一个写入进程 (pid {holder.pid}) 占用"
    assert refused.value.holder_pid == holder.pid
    told = []
    began = time.monotonic()
    with pytest.raises(StoreLockedError, match=r"等待 0.3 秒后仍未释放"):
        store.write(
            states.payload(range(0, 10), 5), lock_timeout=0.3, on_wait=lambda path, pid: told.append(pid)
        )
    assert time.monotonic() - began >= 0.3 and told == [holder.pid]

    # The kernel releases the lock of a writer that dies holding it.
    holder.send_signal(signal.SIGKILL)
    holder.wait(timeout=30)
    states.apply_update(store, 1)
    assert_whole_version(store_dir, {1})
    assert store.add_component_matrices({}, []) == []


def test_the_command_line_says_it_waits_for_another_writer(tmp_path, capsys, processes):
    store_dir = tmp_path / "store"
    states.create(store_dir)
    ready, release = tmp_path / "ready", tmp_path / "release"
    holder = start_process("hold", store_dir, "--ready", str(ready), "--release", str(release))
    processes.append(holder)
    wait_for(ready, holder)
    connection = ["--base-url", "http://127.0.0.1:9", "--api-key", "k", "--api-secret", "s"]
    assert main(["update", str(store_dir), "--no-wait", *connection]) == 1
    assert f"正被另一个写入进程 (pid {holder.pid}) 占用" in capsys.readouterr().err
    assert main(["update", str(store_dir), "--wait", "0.2", *connection]) == 1
    err = capsys.readouterr().err
    assert f"存储 {store_dir} 正被另一个写入进程 (pid {holder.pid}) 占用, 等它结束" in err
    assert "等待 0.2 秒后仍未释放" in err
    release.touch()
    finish(holder)


# ------------------------------------------------------------------ builds from the service


@pytest.fixture(scope="module")
def service():
    with SandboxServer(n_stocks=25, start="2023-01-01", end="2023-06-30") as server:
        yield server


def run_service(store: Path, service, start: str | None, end: str) -> subprocess.Popen:
    options = [
        "--url",
        service.base_url,
        "--key",
        service.api_key,
        "--secret",
        service.api_secret,
        "--end",
        end,
    ] + (["--start", start] if start else [])
    return start_process("service", store, *options)


def assert_same_store(got: Path, want: Path) -> None:
    left, right = BinaryPreparedDataStore(got), BinaryPreparedDataStore(want)
    got_matrices, want_matrices = left.load(), right.load()
    assert list(got_matrices) == list(want_matrices)
    for key in want_matrices:
        pd.testing.assert_frame_equal(got_matrices[key], want_matrices[key], obj=key)
    got_bench, want_bench = left.load_benchmarks(), right.load_benchmarks()
    assert list(got_bench) == list(want_bench)
    for name in want_bench:
        pd.testing.assert_series_equal(got_bench[name], want_bench[name])
    report = left.verify()
    assert report["checksummed"] == report["files"]


def test_two_updates_and_two_builds_from_the_service_at_once(tmp_path, service):
    tolvane.init(service.api_key, service.api_secret, base_url=service.base_url)
    references = {end: tmp_path / f"full-{end}" for end in ("20230428", "20230630")}
    for end, folder in references.items():
        prepare_store(folder, "20230101", end)

    store_dir = tmp_path / "store"
    prepare_store(store_dir, "20230101", "20230331")
    for updater in [run_service(store_dir, service, None, end) for end in references]:
        finish(updater)
    assert_same_store(store_dir, references["20230630"])

    for builder in [run_service(tmp_path / "built", service, "20230101", end) for end in references]:
        finish(builder)
    end = BinaryPreparedDataStore(tmp_path / "built").dates()[-1]
    assert_same_store(tmp_path / "built", references[end])


def test_a_package_download_killed_at_any_moment_leaves_the_old_store_or_the_new(tmp_path):
    market = SyntheticMarket(3, 200, "2021-01-01", "2022-12-31")
    package = tmp_path / "package.zip"
    package.write_bytes(build_benchmark_package(market))
    old_dir, new_dir = tmp_path / "old", tmp_path / "new"
    with SandboxServer(market, package=package) as server:
        service = tolvane.init(server.api_key, server.api_secret, base_url=server.base_url)
        prepare_store(old_dir, "20210101", "20220630")
        download = [
            sys.executable,
            "-c",
            "import sys, tolvane; from tolvane.backtest import download_benchmark_package as get; "
            "get(tolvane.init(sys.argv[2], sys.argv[3], base_url=sys.argv[1]).http, sys.argv[4])",
            server.base_url,
            server.api_key,
            server.api_secret,
        ]
        began = time.monotonic()
        subprocess.run(download + [str(new_dir)], check=True, capture_output=True)
        whole = time.monotonic() - began
        assert service.http  # the service the package came from stays up
        rng = random.Random(3)
        outcomes = set()
        for trial in range(8):
            target = tmp_path / "targets" / f"store-{trial}"
            shutil.copytree(old_dir, target)
            downloader = subprocess.Popen(
                download + [str(target)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
            )
            time.sleep(rng.uniform(0.3, 1.0) * whole)
            downloader.kill()
            downloader.wait(timeout=30)
            end = BinaryPreparedDataStore(target).dates()[-1]
            assert_same_store(target, old_dir if end == "20220630" else new_dir)
            outcomes.add(end)
    assert outcomes  # which of the two each kill left is up to timing
