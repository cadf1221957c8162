"""启动沙盒数据服务: ``python -m tolvane.sandbox [选项]``。"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
import time

from .market import SyntheticMarket
from .server import SandboxServer


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tolvane.sandbox",
        description="在回环地址上以数据服务的接口提供合成 A 股行情。")
    parser.add_argument("--host", default="127.0.0.1", help="回环地址 (默认 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8765, help="TCP 端口, 0 表示自动选择 (默认 8765)")
    parser.add_argument("--seed", type=int, default=7, help="行情随机种子 (默认 7)")
    parser.add_argument("--stocks", type=int, default=300, help="股票数 (默认 300)")
    parser.add_argument("--start", default="2019-01-01", help="行情首日 (默认 2019-01-01)")
    parser.add_argument("--end", default="2024-12-31", help="行情末日 (默认 2024-12-31)")
    parser.add_argument("--api-key", help="接受的访问密钥 (默认随机生成)")
    parser.add_argument("--api-secret", help="访问密钥对应的签名密钥 (默认随机生成)")
    parser.add_argument("--batch-rows", type=int, default=65536, help="流式应答每个 record batch 的行数")
    parser.add_argument("--log-level", default="INFO", help="日志级别 (默认 INFO)")
    args = parser.parse_args(argv)

    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    t0 = time.perf_counter()
    try:
        market = SyntheticMarket(args.seed, args.stocks, args.start, args.end)
        server = SandboxServer(market, host=args.host, port=args.port, api_key=args.api_key,
                               api_secret=args.api_secret, batch_rows=args.batch_rows)
        server.start()
    except (ValueError, OSError) as err:
        print(f"错误: {err}", file=sys.stderr)
        return 2
    print(f"tolvane 沙盒: {market.n_stocks} 只股票, {market.start} .. {market.end}, 种子 {market.seed} "
          f"(生成用时 {time.perf_counter() - t0:.1f} 秒)")
    print(f"base_url   {server.base_url}")
    print(f"api_key    {server.api_key}")
    print(f"api_secret {server.api_secret}")
    print("按 Ctrl+C 停止", flush=True)
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
