"""Benchmark package download over loopback: throughput and memory.

Builds a zip package of ``--size-mib`` MiB (random, stored, so that the bytes on
the wire are the bytes on disk) in a temporary directory and serves it from
that file with the sandbox data service in a child process. Then, in
alternation, several rounds each, downloads it to the same part file:

* plain:  a bare ``httpx.stream`` loop, ``iter_bytes`` in 1 MiB chunks, each
  written to the file;
* bundle: ``_stream_download``, the same transfer with the resume logic and the
  progress bar.

The order alternates from round to round. Medians of wall time and of the
client's CPU time (steadier on a busy machine) and their ratios are printed
(goal: within 10% of the plain loop). A separate child process runs the whole
``download_benchmark_package`` (download and extraction) once and reports its
peak RSS growth (goal: under 32 MiB, whatever the package size). Temporary files are removed afterwards.

    PYTHONPATH=src .venv/bin/python bench/bench_bundle.py [--size-mib 200] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import httpx

from tolvane.backtest._bundle import _stream_download
from tolvane.sandbox import DOWNLOAD_PATH

from support import start_sandbox

KEY, SECRET = "bench-key", "bench-secret"
MIB = 1024 * 1024

SERVER = """
import sys
from tolvane.sandbox import SandboxServer
server = SandboxServer(n_stocks=5, start="2023-01-01", end="2023-03-31", api_key=sys.argv[2],
                       api_secret=sys.argv[3], package=sys.argv[1]).start()
print(server.base_url, flush=True)
server.serve_forever()
"""

# Peak RSS growth of one whole download and extraction, in a fresh process:
# the peak is reset after the imports ("5" to clear_refs), then compared with
# the resident size before the call.
MEMORY_PROBE = """
import sys
from pathlib import Path
from tolvane._http import HttpClient
from tolvane.backtest._bundle import download_benchmark_package

def status_kib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])

base_url, key, secret, store = sys.argv[1:5]
with HttpClient(base_url, key, secret) as http:
    Path("/proc/self/clear_refs").write_text("5")
    before = status_kib("VmRSS")
    download_benchmark_package(http, store)
    peak = status_kib("VmHWM")
print((peak - before) * 1024, before * 1024)
"""


def build_package(path: Path, size_mib: int) -> int:
    """A stored zip of random data, written a MiB at a time."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as zf:
        zf.writestr("metadata.pkl", b"\x80\x05}\x94.")
        with zf.open("close_price.bin", "w", force_zip64=True) as member:
            for _ in range(size_mib):
                member.write(os.urandom(MIB))
    return path.stat().st_size


def plain_download(url: str, dest: Path) -> None:
    with httpx.stream("GET", url, timeout=httpx.Timeout(300.0, connect=10.0)) as response:
        response.raise_for_status()
        with dest.open("wb") as out:
            for chunk in response.iter_bytes(MIB):
                out.write(chunk)


def bundle_download(url: str, dest: Path) -> None:
    _stream_download(url, dest)


def timed(download, url: str, dest: Path, size: int) -> tuple[float, float]:
    """Wall and client CPU seconds of one download."""
    dest.unlink(missing_ok=True)  # an existing part file would be resumed
    started, started_cpu = time.perf_counter(), time.process_time()
    download(url, dest)
    elapsed, cpu = time.perf_counter() - started, time.process_time() - started_cpu
    if dest.stat().st_size != size:
        raise RuntimeError(f"{download.__name__} wrote {dest.stat().st_size} of {size} bytes")
    return elapsed, cpu


def memory_growth(base_url: str, store: Path) -> tuple[int, int]:
    command = [sys.executable, "-c", MEMORY_PROBE, base_url, KEY, SECRET, str(store)]
    growth, baseline = subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()
    return int(growth), int(baseline)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where the temporary files go")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="tolvane-bench-bundle-", dir=args.dir))
    server = None
    try:
        size = build_package(work / "served.zip", args.size_mib)
        server, base_url = start_sandbox(SERVER, str(work / "served.zip"), KEY, SECRET)
        url = base_url + DOWNLOAD_PATH
        dest = work / "temp" / "benchmark.part"
        dest.parent.mkdir()
        stages = {"plain httpx loop": plain_download, "_stream_download": bundle_download}
        timed(plain_download, url, dest, size)  # warm the server's page cache
        times = {name: [] for name in stages}
        for round_ in range(args.rounds):
            # Alternate the order, so that neither side always follows the other's
            # write-back of the file it replaces.
            for name, download in sorted(stages.items(), reverse=bool(round_ % 2)):
                times[name].append(timed(download, url, dest, size))
        dest.unlink()
        growth, baseline = memory_growth(base_url, work / "store")
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)

    medians = {name: statistics.median(wall for wall, _ in values) for name, values in times.items()}
    cpu = {name: statistics.median(c for _, c in values) for name, values in times.items()}
    plain = medians["plain httpx loop"]
    print(f"package {size / MIB:.1f} MiB over loopback, 1 MiB chunks, medians of {args.rounds} rounds:")
    for name, median in medians.items():
        rounds = " ".join(f"{wall * 1000:.0f}" for wall, _ in times[name])
        print(
            f"  {name:20s} {median * 1000:8.1f} ms  {size / MIB / median:7.1f} MiB/s  x{median / plain:.3f}"
            f"  client CPU {cpu[name] * 1000:7.1f} ms  (rounds, ms: {rounds})"
        )
    ratio = medians["_stream_download"] / plain
    print(
        f"  ratio _stream_download / plain: {ratio:.3f} ({100 * (ratio - 1):+.1f}%; goal <= +10%); "
        f"client CPU ratio {cpu['_stream_download'] / cpu['plain httpx loop']:.3f}"
    )
    print(
        f"  download_benchmark_package peak RSS growth: {growth / MIB:.1f} MiB over a "
        f"{baseline / MIB:.1f} MiB process (goal < 32 MiB)"
    )


if __name__ == "__main__":
    main()
