"""``tolvane`` 命令行各子命令的执行: 连接数据服务, 调用公开 API, 在终端上报告结果。

选项的定义与解析在 :mod:`tolvane.cli`; 这里的每个 ``run_*`` 接受解析好的选项,
返回进程的退出状态。
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path

from .console import format_bytes, padded


def _connect(args: argparse.Namespace):
    missing = [
        option
        for option, value in (
            ("--base-url", args.base_url),
            ("--api-key", args.api_key),
            ("--api-secret", args.api_secret),
        )
        if not value
    ]
    if missing:
        names = {
            "--base-url": "TOLVANE_BASE_URL",
            "--api-key": "TOLVANE_API_KEY",
            "--api-secret": "TOLVANE_API_SECRET",
        }
        wanted = ", ".join(f"{option} (或 {names[option]})" for option in missing)
        args.parser.error(f"缺少数据服务的 {wanted}")
    import tolvane

    return tolvane.init(args.api_key, args.api_secret, base_url=args.base_url, timeout=args.timeout)


def _describe_store(store) -> str:
    axes = store.load_metadata().get("axes") or {}
    if not axes.get("n_dates"):
        return f"{store.store_dir}: 空存储"
    return (
        f"{store.store_dir}: {axes['first_date']} .. {axes['last_date']}, {axes['n_dates']} 个交易日, "
        f"{axes['n_stocks']} 只股票"
    )


# ------------------------------------------------------------------- commands
# How long an orphaned sandbox may take to stop cleanly before it just exits.
_ORPHAN_STOP_SECONDS = 5.0


def _stop_when_stdin_closes() -> None:
    """The parent that started us died or wants us gone: stop as on Ctrl+C,
    and exit outright if that has not ended the process soon after, so that
    no orphan keeps its port and memory."""

    def watch() -> None:
        # The bare descriptor: a thread blocked in sys.stdin's buffered reader
        # would hold its lock while the interpreter shuts down, which aborts.
        descriptor = sys.stdin.fileno()
        while os.read(descriptor, 65536):
            pass
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(_ORPHAN_STOP_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="tolvane-stdin-watch", daemon=True).start()


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def run_sandbox(args: argparse.Namespace) -> int:
    import logging

    from tolvane.sandbox import SandboxServer

    logging.basicConfig(
        level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s"
    )
    signal.signal(signal.SIGTERM, _interrupt)
    if args.stop_on_stdin_eof:
        _stop_when_stdin_closes()
    started = time.perf_counter()
    server = SandboxServer(
        seed=args.seed,
        n_stocks=args.stocks,
        start=args.start,
        end=args.end,
        host=args.host,
        port=args.port,
        api_key=args.api_key,
        api_secret=args.api_secret,
        batch_rows=args.batch_rows,
        package_end=args.package_end,
    )
    server.start()
    # The market and the package are made (or read from the cache) while the
    # service already answers; a request that needs them waits for them.
    preparing = threading.Thread(target=_prepare, args=(server,), name="tolvane-sandbox-prepare")
    preparing.start()
    print(
        f"tolvane 沙盒: {args.stocks} 只股票, {args.start} .. {args.end}, 种子 {args.seed}, "
        f"数据包止于 {server.package_end} (启动用时 {time.perf_counter() - started:.1f} 秒)"
    )
    print(f"base_url   {server.base_url}")
    print(f"api_key    {server.api_key}")
    print(f"api_secret {server.api_secret}")
    print("按 Ctrl+C 停止", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    if preparing.is_alive():
        # Stopped while the package is still being made: the interpreter would
        # wait for it, or, as a daemon, stop it inside the native modules at exit,
        # which crashes the process. Nothing of it is needed any more (the cache
        # is written whole or not at all), so the process ends here.
        logging.shutdown()
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)
    return 0


def _prepare(server) -> None:
    try:
        server.prepare()
    except Exception:  # requests that need them try again, and answer with the error
        import logging

        logging.getLogger("tolvane.sandbox").exception("生成市场或数据包失败")


def run_demo_command(args: argparse.Namespace) -> int:
    from tolvane.demo import run_demo

    run_demo(
        args.output,
        seed=args.seed,
        n_stocks=args.stocks,
        start=args.start,
        end=args.end,
        package_end=args.package_end,
    )
    return 0


_QUOTA_LABELS = (
    ("daily_quota_bytes", "今日额度"),
    ("daily_used_bytes", "今日已用"),
    ("extra_quota_bytes", "加油包剩余"),
    ("available_bytes", "可用"),
    ("remaining_days", "剩余天数"),
    ("license_type", "许可类型"),
)


def run_quota(args: argparse.Namespace) -> int:
    quota = _connect(args).get_quota()
    if args.json:
        print(json.dumps(quota, ensure_ascii=False, indent=2))
        return 0
    for key, label in _QUOTA_LABELS:
        value = quota.get(key)
        shown = format_bytes(value) if key.endswith("_bytes") and value is not None else value
        print(padded(label, 12) + ("--" if shown is None else str(shown)))
    return 0


def run_download(args: argparse.Namespace) -> int:
    from tolvane.backtest import BinaryPreparedDataStore, download_benchmark_package

    store_dir = download_benchmark_package(_connect(args).http, args.directory)
    print(f"基准数据包已解压: {_describe_store(BinaryPreparedDataStore(store_dir))}")
    return 0


def run_prepare(args: argparse.Namespace) -> int:
    from tolvane.backtest import prepare_store

    _connect(args)
    end = args.end or datetime.date.today().strftime("%Y%m%d")
    store = prepare_store(Path(args.directory).expanduser(), args.start, end, lock_timeout=args.wait)
    print(f"已构建 {_describe_store(store)}")
    return 0


def run_update(args: argparse.Namespace) -> int:
    from tolvane.backtest import BinaryPreparedDataStore, update_store

    _connect(args)
    directory = Path(args.directory).expanduser()
    before = BinaryPreparedDataStore(directory, []).dates() if directory.is_dir() else None
    store = update_store(directory, args.end, lock_timeout=args.wait)
    after = store.dates()
    if before is not None and len(after) == len(before) and (not len(after) or after[-1] == before[-1]):
        asked = f" (要求到 {args.end})" if args.end else ""
        print(f"已是最新{asked}, 没有新的交易日: {_describe_store(store)}")
    else:
        print(f"已更新 {_describe_store(store)}")
    return 0


def run_verify(args: argparse.Namespace) -> int:
    from tolvane.backtest import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(Path(args.directory).expanduser(), [])
    if not store.exists():
        raise FileNotFoundError(f"{store.store_dir} 中没有回测准备数据存储")
    report = store.verify()
    unchecked = report["files"] - report["checksummed"]
    note = f", 其中 {unchecked} 个没有校验和 (旧版本写入), 只检查了结构与长度" if unchecked else ""
    print(
        f"存储完好: {_describe_store(store)}; {report['files']} 个文件, {format_bytes(report['bytes'])}{note}"
    )
    return 0


def run_backtest(args: argparse.Namespace) -> int:
    from tolvane.backtest import run_store_backtest
    from tolvane.backtest.report import STATISTICS_FILE, format_report

    name = args.name or Path(args.weights).stem
    result = run_store_backtest(
        args.store,
        args.weights,
        benchmark=args.benchmark,
        output_dir=args.output,
        strategy_name=name,
        plot_title=args.title,
        image_kind=args.layout,
        rolling_window=args.rolling_window,
        total_money=args.capital,
        fee=args.fee,
        rule_fee=args.rule_fee,
    )
    print(format_report(result, args.benchmark))
    print()
    for path in result.plot_paths.values():
        print(f"报告图 {path}")
    print(f"统计   {Path(args.output).expanduser() / STATISTICS_FILE}")
    return 0


def run_factor(args: argparse.Namespace) -> int:
    from tolvane.backtest import factor_report, read_factor_file

    if Path(args.factor).suffix.lower() in (".csv", ".parquet"):
        factor, name = read_factor_file(args.factor), args.name or Path(args.factor).stem
    else:
        _connect(args)
        factor, name = args.factor, args.name or args.factor
    report = factor_report(
        factor,
        args.store,
        groups=args.groups,
        horizons=args.horizons,
        output_dir=args.output,
        factor_name=name,
        start_date=args.start,
        end_date=args.end,
        total_money=args.capital,
        fee=args.fee,
        rule_fee=args.rule_fee,
    )
    print(report.format_text())
    print()
    for path in report.image_paths.values():
        print(f"报告图 {path}")
    print(f"记录   {report.json_path}")
    return 0
