"""tolvane: 中国 A 股量化研究 SDK。

常用入口:

- ``tolvane.init(api_key, api_secret, base_url=...)`` 初始化数据服务, 之后
  ``tolvane.get_instance()`` 返回服务对象(因子、指数日线、配额查询)。
- ``tolvane.backtest`` 策略回测与回测数据准备。
- ``tolvane.sandbox`` 本地沙盒数据服务与合成行情, 无需账号即可开发策略。
"""

__version__ = "0.1.0"

__all__ = ["init", "get_instance", "__version__"]


def __getattr__(name: str):
    # The service singleton pulls in the HTTP stack; load it on first use so
    # that importing a light submodule stays cheap.
    if name in ("init", "get_instance"):
        from . import singleton

        return getattr(singleton, name)
    raise AttributeError(f"module 'tolvane' has no attribute {name!r}")
