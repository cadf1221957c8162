"""How long ``tolvane sandbox`` takes to answer, from the start of its process.

First, where the time goes, each part in a fresh process (medians of three):
the interpreter itself, the imports on the command's path, making the demo's
market, building its benchmark package, and reading that package from the cache.

Then the command itself, as ``tolvane demo`` starts it (300 stocks, 2019-2024,
package ending 2024-06-30), ``--rounds`` times in each of two cases, interleaved:

* no cache: ``TOLVANE_SANDBOX_CACHE=off``, the package is built at every start;
* warm cache: a temporary cache folder that an earlier start has filled.

Measured from the start of the child process to: the first answer (a signed
quota request on a new connection), and the benchmark package downloaded whole.
Medians, spread (min..max) and the ratio of the two cases are printed. The goal:
a first answer within 1 s on a warm machine.

    PYTHONPATH=src .venv/bin/python bench/bench_sandbox_start.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import httpx

from tolvane.sandbox import API_PREFIX, DOWNLOAD_PATH, defaults, sign_headers

KEY, SECRET = "bench-key", "bench-secret"
QUOTA = API_PREFIX + "/quota"
MARKET = {"seed": defaults.SEED, "n_stocks": defaults.N_STOCKS, "start": defaults.START, "end": defaults.END}
PACKAGE_END = defaults.PACKAGE_END.replace("-", "")
COMMAND = [
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
    "--seed",
    str(MARKET["seed"]),
    "--stocks",
    str(MARKET["n_stocks"]),
    "--start",
    MARKET["start"],
    "--end",
    MARKET["end"],
    "--package-end",
    PACKAGE_END,
    "--log-level",
    "WARNING",
]

# Each part of a start on its own, in a fresh process; prints the seconds it took.
PARTS = {
    "interpreter": ("", "pass"),
    "imports (tolvane.cli, tolvane.sandbox)": ("", "import tolvane.cli, tolvane.sandbox"),
    "market": (
        "from tolvane.sandbox import SyntheticMarket",
        f"SyntheticMarket({MARKET['seed']}, {MARKET['n_stocks']}, '{MARKET['start']}', '{MARKET['end']}')",
    ),
    "package build (market included)": (
        "from tolvane.sandbox import SyntheticMarket\n"
        "from tolvane.sandbox.package import build_benchmark_package",
        f"build_benchmark_package(SyntheticMarket({MARKET['seed']}, {MARKET['n_stocks']}, "
        f"'{MARKET['start']}', '{MARKET['end']}'), '{PACKAGE_END}')",
    ),
    "package from a warm cache": (
        "from tolvane.sandbox import SandboxServer\n"
        f"server = SandboxServer(seed={MARKET['seed']}, n_stocks={MARKET['n_stocks']}, "
        f"start='{MARKET['start']}', end='{MARKET['end']}', package_end='{PACKAGE_END}')",
        "server.package_bytes()",
    ),
}
PART_SCRIPT = """
import time
t0 = time.perf_counter()
{setup}
t1 = time.perf_counter()
{work}
print(time.perf_counter() - t1 if {after_setup} else time.perf_counter() - t0)
"""


def part_seconds(setup: str, work: str, env: dict) -> float:
    if not setup and work == "pass":  # the interpreter: the whole process, from outside
        started = time.perf_counter()
        subprocess.run([sys.executable, "-c", "pass"], check=True, env=env)
        return time.perf_counter() - started
    script = PART_SCRIPT.format(setup=setup or "pass", work=work, after_setup=bool(setup))
    out = subprocess.run([sys.executable, "-c", script], check=True, env=env, capture_output=True, text=True)
    return float(out.stdout)


def one_start(env: dict) -> tuple[float, float]:
    """Seconds from the start of the command to its first answer, and to the package downloaded."""
    with httpx.Client(timeout=120.0) as client:  # made before the clock starts
        started = time.perf_counter()
        child = subprocess.Popen(
            COMMAND, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, env=env
        )
        try:
            base_url = next(line.split()[1] for line in child.stdout if line.startswith("base_url"))
            r = client.get(base_url + QUOTA, headers=sign_headers(KEY, SECRET, "GET", QUOTA))
            answered = time.perf_counter() - started
            assert r.status_code == 200, r.text
            package = client.get(base_url + DOWNLOAD_PATH)
            downloaded = time.perf_counter() - started
            assert package.status_code == 200 and package.content[:2] == b"PK"
        finally:
            child.terminate()
            child.wait(timeout=30)
    return answered, downloaded


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):5.2f} s ({min(values):.2f}..{max(values):.2f})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tolvane-start-bench-") as cache:
        cases = {
            "no cache": {**os.environ, "TOLVANE_SANDBOX_CACHE": "off"},
            "warm cache": {**os.environ, "TOLVANE_SANDBOX_CACHE": cache},
        }
        one_start(cases["warm cache"])  # fills the cache

        print("where the time goes (each part in a fresh process, median of 3):")
        for label, (setup, work) in PARTS.items():
            env = cases["warm cache"] if "cache" in label else cases["no cache"]
            try:
                seconds = statistics.median(part_seconds(setup, work, env) for _ in range(3))
            except subprocess.CalledProcessError:  # e.g. a version of the sandbox without a cache
                print(f"  {label:40s}   n/a")
                continue
            print(f"  {label:40s} {seconds:5.2f} s")

        results = {case: ([], []) for case in cases}
        for _ in range(args.rounds):
            for case, env in cases.items():
                answered, downloaded = one_start(env)
                results[case][0].append(answered)
                results[case][1].append(downloaded)

    print(f"\n`tolvane sandbox` for the demo's market, {args.rounds} interleaved rounds: median (min..max)")
    print(f"  {'':12s} {'first answer':24s} {'package downloaded':24s}")
    for case, (answers, downloads) in results.items():
        print(f"  {case:12s} {spread(answers):24s} {spread(downloads):24s}")
    (cold_a, cold_d), (warm_a, warm_d) = results.values()
    print(
        f"  warm / no cache: first answer x{statistics.median(warm_a) / statistics.median(cold_a):.2f}, "
        f"package x{statistics.median(warm_d) / statistics.median(cold_d):.2f}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
