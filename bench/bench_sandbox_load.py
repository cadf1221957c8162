"""The sandbox data service under load: many streaming clients, many slow connections.

Starts ``tolvane sandbox`` (the command users run; default market, small record
batches so that every answer spans several chunks) in a child process and puts
it under two loads in turn:

1. ``--clients`` clients at once, each on its own connection, each streaming the
   same factor table ``--requests`` times. A table counts as complete when its
   body is byte for byte the reference stream fetched before the load began.
2. ``--slow`` connections that send a request header one byte every
   ``--drip`` seconds; one that the service drops is opened again at once, so
   that the number stays up for ``--slow-seconds``.

Under each load a separate process (so that the load's own work does not delay
it) sends a signed quota request every 0.2 s and reports how long each took:
p50, p99 and max latency, and how many failed (a request counts as failed past
60 s, the client's read timeout). The goals: every table complete, no request
failed, and a quota answer within 1 s under both loads.

    PYTHONPATH=src .venv/bin/python bench/bench_sandbox_load.py [--clients 200] [--slow 300]
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

import httpx

from tolvane.sandbox import API_PREFIX, DOWNLOAD_PATH, sign_headers

KEY, SECRET = "bench-key", "bench-secret"
FACTORS = API_PREFIX + "/factors/stream"
QUOTA = API_PREFIX + "/quota"
STREAM_BODY = json.dumps({"factor": ["Close"], "start_date": "2024-01-01", "end_date": "2024-06-30"}).encode()
# What the package's own client allows (tolvane._http): 10 s to connect, 60 s to read.
TIMEOUT = httpx.Timeout(60.0, connect=10.0)
PROBE_EVERY = 0.2

# Sends a signed quota request every PROBE_EVERY seconds until stdin closes, each
# on a new connection as a newly started client's would be, then prints one
# line: the latencies, and null for each request that failed.
PROBE = """
import json, sys, threading, time
import httpx
from tolvane.sandbox import sign_headers
base_url, key, secret, path, every = sys.argv[1:6]
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
latencies = []
with httpx.Client(timeout=httpx.Timeout(60.0, connect=10.0),
                  limits=httpx.Limits(max_keepalive_connections=0)) as client:
    while not stop.is_set():
        started = time.perf_counter()
        try:
            r = client.get(base_url + path, headers=sign_headers(key, secret, "GET", path))
            ok = r.status_code == 200 and "available_bytes" in r.json()
        except httpx.HTTPError:
            ok = False
        latencies.append(time.perf_counter() - started if ok else None)
        stop.wait(float(every))
print(json.dumps(latencies), flush=True)
"""


def start_service(batch_rows: int) -> tuple[subprocess.Popen, str]:
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tolvane",
            "sandbox",
            "--port",
            "0",
            "--api-key",
            KEY,
            "--api-secret",
            SECRET,
            "--batch-rows",
            str(batch_rows),
            "--log-level",
            "ERROR",
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        text=True,
        env={**os.environ, "TOLVANE_SANDBOX_CACHE": "off"},
    )  # the user's cache stays as it was
    for line in server.stdout:
        if line.startswith("base_url"):
            return server, line.split()[1]
    raise RuntimeError("the sandbox did not start")


class Probe:
    """Quota requests from a process of its own while a load runs."""

    def __init__(self, base_url: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-c", PROBE, base_url, KEY, SECRET, QUOTA, str(PROBE_EVERY)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )

    def finish(self) -> list[float | None]:
        out, _ = self.process.communicate("", timeout=120)
        return json.loads(out)


def signed(path: str, body: bytes) -> dict[str, str]:
    return sign_headers(KEY, SECRET, "POST", path, body)


def reference_digest(base_url: str) -> tuple[str, int]:
    """The digest and size of the stream every client asks for. The package is
    fetched first: the service makes it (and its market) once, and no load
    should run while it does."""
    httpx.get(base_url + DOWNLOAD_PATH, timeout=600.0).raise_for_status()
    r = httpx.post(
        base_url + FACTORS, content=STREAM_BODY, headers=signed(FACTORS, STREAM_BODY), timeout=TIMEOUT
    )
    r.raise_for_status()
    return hashlib.sha256(r.content).hexdigest(), len(r.content)


async def streaming_client(base_url: str, requests: int, expected: str, tally: dict) -> None:
    async with httpx.AsyncClient(timeout=TIMEOUT, limits=httpx.Limits(max_connections=1)) as client:
        for _ in range(requests):
            digest = hashlib.sha256()
            try:
                async with client.stream(
                    "POST", base_url + FACTORS, content=STREAM_BODY, headers=signed(FACTORS, STREAM_BODY)
                ) as r:
                    async for piece in r.aiter_bytes():
                        digest.update(piece)
                if r.status_code != 200:
                    status = f"HTTP {r.status_code}"
                    tally["status"][status] = tally["status"].get(status, 0) + 1
                    continue
            except httpx.HTTPError as error:
                kind = type(error).__name__
                tally["errors"][kind] = tally["errors"].get(kind, 0) + 1
                continue
            tally["ok"] += 1
            tally["complete"] += digest.hexdigest() == expected


async def streaming_load(base_url: str, clients: int, requests: int, expected: str) -> dict:
    tally = {"ok": 0, "complete": 0, "status": {}, "errors": {}}
    await asyncio.gather(*(streaming_client(base_url, requests, expected, tally) for _ in range(clients)))
    return tally


async def dripping_connection(host: str, port: int, drip: float, until: float, drops: list) -> None:
    """Keeps one connection open that sends a request header a byte at a time."""
    header = f"GET {QUOTA} HTTP/1.1\r\nHost: {host}\r\n" + "X-Padding: " + "x" * 4096
    while time.monotonic() < until:
        try:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(host, port), max(until - time.monotonic(), 0.01)
            )
        except (TimeoutError, OSError):
            drops[0] += 1
            await asyncio.sleep(drip)
            continue
        try:
            for byte in header:
                if time.monotonic() >= until or reader.at_eof():
                    break
                writer.write(byte.encode())
                await writer.drain()
                try:  # wait for the next drip, or for the service to answer or drop us
                    await asyncio.wait_for(reader.read(65536), drip)
                    break  # an answer (a 408, a refusal) or the end: the service let go of us
                except TimeoutError:
                    pass
        except OSError:
            pass
        finally:
            writer.close()
        if time.monotonic() < until:
            drops[0] += 1


async def slow_load(base_url: str, connections: int, drip: float, seconds: float) -> int:
    host, port = base_url.removeprefix("http://").rsplit(":", 1)
    until = time.monotonic() + seconds
    drops = [0]
    tasks = []
    for _ in range(connections):  # opened over about a second, as slow clients trickle in
        tasks.append(asyncio.create_task(dripping_connection(host, int(port), drip, until, drops)))
        await asyncio.sleep(1.0 / connections)
    await asyncio.gather(*tasks)
    return drops[0]


def latency_line(label: str, latencies: list[float | None]) -> str:
    answered = sorted(x for x in latencies if x is not None)
    failed = len(latencies) - len(answered)
    if not answered:
        return f"{label}: {len(latencies)} quota requests, all failed"
    p99 = answered[min(len(answered) - 1, round(0.99 * (len(answered) - 1)))]
    return (
        f"{label}: {len(latencies)} quota requests, {failed} failed; latency p50 "
        f"{statistics.median(answered) * 1000:.0f} ms, p99 {p99 * 1000:.0f} ms, "
        f"max {answered[-1] * 1000:.0f} ms"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--requests", type=int, default=3, help="streams per client")
    parser.add_argument("--slow", type=int, default=300, help="slow connections")
    parser.add_argument("--drip", type=float, default=1.0, help="seconds between a slow client's bytes")
    parser.add_argument("--slow-seconds", type=float, default=20.0)
    parser.add_argument("--batch-rows", type=int, default=8192)
    args = parser.parse_args()

    server, base_url = start_service(args.batch_rows)
    try:
        expected, size = reference_digest(base_url)
        print(f"sandbox at {base_url}; each stream {size / 1e6:.2f} MB")

        probe = Probe(base_url)
        time.sleep(0.5)  # the probe's first answers come from an idle service
        started = time.perf_counter()
        tally = asyncio.run(streaming_load(base_url, args.clients, args.requests, expected))
        elapsed = time.perf_counter() - started
        latencies = probe.finish()
        total = args.clients * args.requests
        reasons = ", ".join(f"{n} {why}" for why, n in {**tally["status"], **tally["errors"]}.items())
        print(
            f"{args.clients} streaming clients x {args.requests}: {tally['ok']} of {total} requests ok, "
            f"{total - tally['ok']} failed{f' ({reasons})' if reasons else ''}; "
            f"{tally['complete']} tables complete; {elapsed:.1f} s"
        )
        print(latency_line(f"  under {args.clients} streaming clients", latencies))

        probe = Probe(base_url)
        drops = asyncio.run(slow_load(base_url, args.slow, args.drip, args.slow_seconds))
        latencies = probe.finish()
        print(
            f"{args.slow} slow connections for {args.slow_seconds:g} s "
            f"(one byte every {args.drip:g} s; {drops} dropped by the service and opened again)"
        )
        print(latency_line(f"  under {args.slow} slow connections", latencies))
    finally:
        server.terminate()
        server.wait(timeout=30)
    return 0


if __name__ == "__main__":
    sys.exit(main())
