"""Decode-while-receiving cost of ``stream_decode`` over loopback.

Runs the sandbox data service in a child process (so that it does not share
the GIL with the client), then times the same factor request four ways, in
alternation, several rounds each:

* transfer: a plain ``httpx`` stream of the response, ``iter_bytes()`` only;
* client:   the package's ``HttpClient.stream_post_iter`` chunks only;
* arrow:    ``_StreamReader`` + ``pyarrow.ipc`` record batches, no pandas;
* decode:   ``stream_decode``: the batches also become DataFrames.

Medians and their ratios to the transfer are printed (goal: decoding adds at
most 15% to the transfer time). A separate, untimed pass measures the peak
memory of one decode against what it keeps (the frames) and against the size
of one record batch message of the stream.

    PYTHONPATH=src .venv/bin/python bench/bench_stream_decode.py [--rounds 7]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import time
import tracemalloc

import httpx
import pyarrow as pa

from tolvane._download import _StreamReader, stream_decode
from tolvane._http import API_PREFIX, HttpClient
from tolvane.sandbox import sign_headers

from support import start_sandbox as start_child_sandbox

KEY, SECRET = "bench-key", "bench-secret"
PATH = API_PREFIX + "/factors/stream"

SERVER = """
import sys
from tolvane.sandbox import Faults, SandboxServer
stocks, batch_rows, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
server = SandboxServer(n_stocks=stocks, start="2019-01-01", end="2024-12-31", api_key=sys.argv[4],
                       api_secret=sys.argv[5], batch_rows=batch_rows).start()
server.faults = Faults(chunk_delay=delay)
print(server.base_url, flush=True)
server.serve_forever()
"""


def start_sandbox(stocks: int, batch_rows: int, chunk_delay: float) -> tuple[subprocess.Popen, str]:
    """The sandbox in a child process; ``chunk_delay`` paces its stream chunks."""
    return start_child_sandbox(SERVER, str(stocks), str(batch_rows), str(chunk_delay), KEY, SECRET)


def plain_transfer(client: httpx.Client, body: dict) -> int:
    content = json.dumps(body, separators=(",", ":")).encode()
    headers = sign_headers(KEY, SECRET, "POST", PATH, content)
    headers.update({"Content-Type": "application/json", "Accept-Encoding": "identity"})
    received = 0
    with client.stream("POST", PATH, content=content, headers=headers) as response:
        response.raise_for_status()
        for chunk in response.iter_bytes():
            received += len(chunk)
    return received


def client_chunks(http: HttpClient, body: dict) -> None:
    with http.stream_post_iter(PATH, body) as chunks:
        for _chunk in chunks:
            pass


def arrow_batches(http: HttpClient, body: dict) -> None:
    with http.stream_post_iter(PATH, body) as chunks:
        for _batch in pa.ipc.open_stream(_StreamReader(chunks)):
            pass


def decode(http: HttpClient, body: dict) -> list:
    frames, _schema = stream_decode(http, PATH, body)
    return frames


def timed(function, *args) -> float:
    started = time.perf_counter()
    function(*args)
    return time.perf_counter() - started


def peak_memory(http: HttpClient, body: dict) -> dict[str, int]:
    """Python heap (tracemalloc) and Arrow pool peaks of one decode, and what it keeps."""
    pool = pa.proxy_memory_pool(pa.default_memory_pool())
    previous = pa.default_memory_pool()
    pa.set_memory_pool(pool)
    tracemalloc.start()
    try:
        frames = decode(http, body)
        heap_now, heap_peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        pa.set_memory_pool(previous)
    figures = {
        "frames": sum(int(f.memory_usage(deep=True).sum()) for f in frames),
        "batches": len(frames),
        "kept": heap_now + pool.bytes_allocated(),
        "peak": heap_peak + pool.max_memory(),
    }
    del frames  # their Arrow buffers must go back to the pool before it goes
    return figures


STAGES = {
    "transfer (httpx iter_bytes)": plain_transfer,
    "client chunks (HttpClient)": client_chunks,
    "reader + arrow batches": arrow_batches,
    "stream_decode (+ to_pandas)": decode,
}
MIB = 1024 * 1024


def measure(args, body: dict, chunk_delay: float) -> None:
    """Times every stage against one sandbox and prints medians and ratios."""
    server, base_url = start_sandbox(args.stocks, args.batch_rows, chunk_delay)
    try:
        with (
            httpx.Client(base_url=base_url, timeout=60) as client,
            HttpClient(base_url, KEY, SECRET, timeout=60) as http,
        ):
            sessions = {plain_transfer: client}
            size = plain_transfer(client, body)  # warm both paths and the server caches
            batches = len(decode(http, body))
            times = {name: [] for name in STAGES}
            for _ in range(args.rounds):
                for name, stage in STAGES.items():
                    times[name].append(timed(stage, sessions.get(stage, http), body))
            memory = peak_memory(http, body) if not chunk_delay else None
    finally:
        server.terminate()
        server.wait()

    medians = {name: statistics.median(values) for name, values in times.items()}
    transfer = medians["transfer (httpx iter_bytes)"]
    pacing = f"server pauses {chunk_delay * 1000:.0f} ms per batch" if chunk_delay else "unpaced"
    print(f"{size / MIB:.1f} MiB in {batches} batches, loopback {pacing}, medians of {args.rounds} rounds:")
    for name, median in medians.items():
        print(
            f"  {name:30s} {median * 1000:8.1f} ms  {size / MIB / median:7.1f} MiB/s"
            f"  x{median / transfer:.3f}"
        )
    ratio = medians["stream_decode (+ to_pandas)"] / transfer
    print(
        f"  ratio stream_decode / transfer: {ratio:.3f}"
        f" (decoding adds {100 * (ratio - 1):+.1f}%; goal <= +15%)"
    )
    if memory:
        overhead = memory["peak"] - memory["kept"]
        print(
            f"  memory: frames {memory['frames'] / MIB:.1f} MiB (pandas), kept after decode "
            f"{memory['kept'] / MIB:.1f} MiB, peak during decode {memory['peak'] / MIB:.1f} MiB; "
            f"transient {overhead / MIB:.1f} MiB = {overhead / (size / batches):.1f} average batch "
            f"messages (whole response {size / MIB:.1f} MiB)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--stocks", type=int, default=300)
    parser.add_argument("--batch-rows", type=int, default=65536)
    parser.add_argument(
        "--paced-delay",
        type=float,
        default=0.01,
        help="seconds the paced server waits before each batch (0 to skip)",
    )
    args = parser.parse_args()

    body = {"factor": ["alpha1", "alpha2", "vwap", "Close"], "start_date": "2019-01-01"}
    print(
        f"factor stream: {args.stocks} stocks, 2019-2024, {len(body['factor'])} factors, "
        f"batch_rows {args.batch_rows}"
    )
    measure(args, body, 0.0)
    if args.paced_delay:
        measure(args, body, args.paced_delay)


if __name__ == "__main__":
    main()
