"""tolvane 演示: ``python -m tolvane.demo [输出目录]``。

在固定种子的合成 A 股市场上回测一个因子选股策略: 打印统计表与基准汇总,
并把两张报告图写到输出目录(默认 ./demo-output)。
"""

from __future__ import annotations

import sys
from pathlib import Path


def main(argv: list[str] | None = None) -> None:
    from tolvane.backtest.report_demo import run_report_demo

    arguments = sys.argv[1:] if argv is None else argv
    output_dir = Path(arguments[0]) if arguments else Path("demo-output")
    run_report_demo(output_dir)


if __name__ == "__main__":
    main()
