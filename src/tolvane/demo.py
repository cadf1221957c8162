"""tolvane 演示: ``python -m tolvane.demo``。

列出已构建的原生模块及其函数签名, 并给出一个示例请求的签名头。
"""

from __future__ import annotations

import importlib
import inspect

NATIVE_MODULES = (
    "tolvane._signer",
    "tolvane._download",
    "tolvane._factor",
    "tolvane._index_day",
    "tolvane._quota",
    "tolvane.backtest._strategy_kernel",
    "tolvane.backtest._prepare",
    "tolvane.backtest._bundle",
)


def _tour_modules() -> None:
    print("原生模块")
    for name in NATIVE_MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            print(f"  {name}: (尚未构建)")
            continue
        summary = (module.__doc__ or "").strip().splitlines()[0]
        print(f"  {name}: {summary}")
        for attribute, value in vars(module).items():
            if callable(value) and getattr(value, "__module__", None) == name and not isinstance(value, type):
                print(f"      {attribute}{inspect.signature(value)}")


def _tour_signature() -> None:
    from tolvane._http import API_PREFIX
    from tolvane._signer import sign_request

    path = API_PREFIX + "/factors/stream"
    body = b'{"factor":["alpha1"],"start_date":"2024-01-02"}'
    print(f"\n示例请求签名: POST {path}")
    for header, value in sign_request("demo-secret", "POST", path, body).items():
        print(f"  {header}: {value}")
    print("  X-Api-Key: <访问密钥, 由 HttpClient 添加>")


def main() -> None:
    _tour_modules()
    _tour_signature()


if __name__ == "__main__":
    main()
