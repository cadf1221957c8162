"""模块框架的自检模块(仅供测试)。"""

from dataclasses import dataclass
from typing import Any

LIMIT: int

def convert_all(
    count: int,
    ratio: float,
    flag: bool = False,
    mapping: dict | None = None,
    *,
    items: list = ...,
    label: str = "x",
) -> tuple: ...
def needs_keyword(value: Any, *, key: Any) -> Any: ...
def fail(kind: str) -> Any: ...
def read_global(name: str) -> Any: ...
def check_version(major: int, minor: int) -> None: ...

class Probe:
    def describe(self, value: Any = 1) -> tuple: ...
    @staticmethod
    def twice(value: Any) -> Any: ...

@dataclass
class Record:
    name: str
    values: list[float]
