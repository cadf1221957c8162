"""tolvane 数据服务的本地替身 (沙盒)。

沙盒在真实的回环 socket 上提供一个确定性的合成 A 股市场, 接口、鉴权与流格式都与
远程数据服务相同, 研究代码、测试与演示因此可以离线运行::

    from tolvane._http import HttpClient
    from tolvane.sandbox import SandboxServer

    with SandboxServer(seed=7, n_stocks=100) as server:
        client = HttpClient(server.base_url, server.api_key, server.api_secret)
        ...

也可以在命令行启动: ``tolvane sandbox --port 8765 --api-key demo-key --api-secret demo-secret``;
:class:`SandboxProcess` 在子进程中这样启动它。
"""

import importlib

# Public name -> the submodule that defines it; loaded on first use, so that the
# command line can read the defaults without the market's libraries.
_EXPORTS = {
    "API_PREFIX": ".server",
    "ARROW_STREAM_CONTENT_TYPE": ".server",
    "COMPONENT_FACTORS": ".market",
    "DOWNLOAD_PATH": ".server",
    "INDEX_CODES": ".market",
    "FactorInfo": ".market",
    "Faults": ".server",
    "SandboxProcess": ".process",
    "SandboxServer": ".server",
    "SyntheticMarket": ".market",
    "canonical_request": ".server",
    "sign_headers": ".server",
    "trading_days": ".market",
}

__all__ = list(_EXPORTS)


def __getattr__(name: str):
    module_name = _EXPORTS.get(name)
    if module_name is None:
        raise AttributeError(f"module 'tolvane.sandbox' has no attribute {name!r}")
    value = getattr(importlib.import_module(module_name, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
