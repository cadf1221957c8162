"""数据服务接口的路径前缀; 客户端 (:mod:`tolvane._http`) 与沙盒服务共用, 后者不必因此载入 HTTP 客户端。"""

__all__ = ["API_PREFIX"]

API_PREFIX = "/api/v1"
"""服务 API 的路径前缀; 端点路径为 ``API_PREFIX + "/factors"`` 等。"""
