"""每个访问密钥的流量用量与配额应答。"""

from __future__ import annotations

import threading
from typing import Any

__all__ = ["TrafficQuota"]


class TrafficQuota:
    """按访问密钥累计发出的数据字节数, 并据此给出配额应答。

    Attributes:
        daily_quota_bytes: 每日基础额度, 可随时修改。
        extra_quota_bytes: 加油包额度, 基础额度用完后才消耗, 可随时修改。
    """

    def __init__(self, daily_quota_bytes: int, extra_quota_bytes: int) -> None:
        self.daily_quota_bytes = int(daily_quota_bytes)
        self.extra_quota_bytes = int(extra_quota_bytes)
        self._initial = (self.daily_quota_bytes, self.extra_quota_bytes)
        self._lock = threading.Lock()
        self._usage: dict[str, int] = {}

    def reset(self) -> None:
        """清空用量, 恢复初始额度。"""
        with self._lock:
            self._usage.clear()
        self.daily_quota_bytes, self.extra_quota_bytes = self._initial

    def add_usage(self, api_key: str, n: int) -> None:
        with self._lock:
            self._usage[api_key] = self._usage.get(api_key, 0) + n

    def usage(self, api_key: str) -> int:
        """到目前为止向该密钥发送的数据字节数。"""
        with self._lock:
            return self._usage.get(api_key, 0)

    def reply(self, api_key: str) -> dict[str, Any]:
        """该密钥的配额应答 (六个字段)。"""
        used = self.usage(api_key)
        daily_used = min(used, self.daily_quota_bytes)
        extra_left = max(self.extra_quota_bytes - max(used - self.daily_quota_bytes, 0), 0)
        return {
            "daily_quota_bytes": self.daily_quota_bytes,
            "daily_used_bytes": daily_used,
            "extra_quota_bytes": extra_left,
            "available_bytes": max(self.daily_quota_bytes - daily_used, 0) + extra_left,
            "remaining_days": None,
            "license_type": "sandbox",
        }
