"""tolvane 的日志记录器。

``logger`` 是名为 "tolvane" 的标准 :class:`logging.Logger`; 是否输出、输出到哪里
由应用程序通过标准 logging 配置决定(库本身只挂一个 NullHandler)。
"""

from __future__ import annotations

import logging

__all__ = ["logger"]

logger = logging.getLogger("tolvane")
logger.addHandler(logging.NullHandler())
