"""请求内容的解析与校验; 违反规则时抛出带 HTTP 状态码的 :class:`RequestError`。"""

from __future__ import annotations

import datetime as _dt
import json
import re
from typing import Any

import numpy as np

__all__ = ["RequestError", "ascii_int", "json_object", "parse_day", "str_list"]

_ASCII_DIGITS = re.compile(r"[0-9]+")


class RequestError(Exception):
    """以 JSON ``{"message": ...}`` 与 ``status`` 应答的请求错误。"""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def ascii_int(text: str, max_digits: int) -> int | None:
    """``text`` 恰为至多 ``max_digits`` 位的 ASCII 十进制数字时的值, 否则为 ``None``。

    ``int()`` 本身还接受空白、正负号、下划线与 "²" 之类的非 ASCII 数字, 而且拒绝
    超过 4300 位的十进制文本, 所以请求中的数字一律先经过这里。
    """
    if len(text) > max_digits or _ASCII_DIGITS.fullmatch(text) is None:
        return None
    return int(text)


def json_object(body: bytes) -> dict:
    """请求体中的 JSON 对象。"""
    if not body:
        raise RequestError(400, "请求体必须是 JSON 对象")
    try:
        value = json.loads(body)
    except (ValueError, UnicodeDecodeError) as err:
        raise RequestError(400, f"请求体不是合法的 JSON: {err}") from None
    except RecursionError:
        raise RequestError(400, "请求体的 JSON 嵌套过深") from None
    if not isinstance(value, dict):
        raise RequestError(400, "请求体必须是 JSON 对象")
    return value


def parse_day(value: Any, name: str) -> np.datetime64:
    """``YYYY-MM-DD`` 或 ``YYYYMMDD`` (文本或整数) 形式的日期。"""
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise RequestError(400, f"{name} 必须是 YYYY-MM-DD 或 YYYYMMDD 格式的日期")
    text = str(value).strip()
    if re.fullmatch(r"[0-9]{8}", text):
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    if not re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
        raise RequestError(400, f"{name} 必须是 YYYY-MM-DD 或 YYYYMMDD 格式的日期: {value!r}")
    try:
        _dt.date.fromisoformat(text)
    except ValueError:
        raise RequestError(400, f"{name} 不是合法日期: {value!r}") from None
    return np.datetime64(text, "D")


def str_list(body: dict, key: str) -> list[str] | None:
    """``body[key]``: 一个字符串或字符串列表, 去掉首尾空白与重复项; 缺省为 ``None``。"""
    value = body.get(key)
    if value is None:
        return None
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise RequestError(400, f"{key} 必须是字符串列表")
    return list(dict.fromkeys(v.strip() for v in value))
