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

from .market import COMPONENT_FACTORS, INDEX_CODES, FactorInfo, SyntheticMarket, trading_days
from .process import SandboxProcess
from .server import (
    API_PREFIX,
    ARROW_STREAM_CONTENT_TYPE,
    DOWNLOAD_PATH,
    Faults,
    SandboxServer,
    canonical_request,
    sign_headers,
)

__all__ = [
    "API_PREFIX",
    "ARROW_STREAM_CONTENT_TYPE",
    "COMPONENT_FACTORS",
    "DOWNLOAD_PATH",
    "INDEX_CODES",
    "FactorInfo",
    "Faults",
    "SandboxProcess",
    "SandboxServer",
    "SyntheticMarket",
    "canonical_request",
    "sign_headers",
    "trading_days",
]
