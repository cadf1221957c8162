"""Request signatures, checked against an independent HMAC computation."""

from __future__ import annotations

import hashlib
import hmac
import re
import types

import pytest

import tolvane._signer as signer

SECRET = "s3cret-密钥"
NONCE = "ab" * 32
TIMESTAMP = 1_700_000_000.987


@pytest.fixture
def fixed_clock(monkeypatch):
    monkeypatch.setattr(signer, "time", types.SimpleNamespace(time=lambda: TIMESTAMP))
    monkeypatch.setattr(signer, "secrets", types.SimpleNamespace(token_hex=lambda n: NONCE))


def expected_signature(canonical: str) -> str:
    return hmac.new(SECRET.encode(), canonical.encode(), hashlib.sha256).hexdigest()


@pytest.mark.usefixtures("fixed_clock")
class TestCanonicalString:
    @pytest.mark.parametrize(
        ("method", "path", "body", "params", "canonical_head", "body_hash"),
        [
            ("get", "/a/b", None, None, "GET\n/a/b\n", ""),
            ("GET", "", None, None, "GET\n/\n", ""),
            (
                "post",
                "https://svc.example:8443/data/q;v=1?b=2&a=1#frag",
                b"{}",
                None,
                "POST\n/data/q\nb=2&a=1",
                hashlib.sha256(b"{}").hexdigest(),
            ),
            ("GET", "/x?z=1", None, {"b": "2", "a": "x y"}, "GET\n/x\na=x+y&b=2", ""),
            ("GET", "/x?z=1", None, {}, "GET\n/x\nz=1", ""),
            ("GET", "factors", b"", None, "GET\nfactors\n", ""),
            ("GET", "/p", None, {"k": "é/&="}, "GET\n/p\nk=%C3%A9%2F%26%3D", ""),
        ],
    )
    def test_signature_over_canonical_string(self, method, path, body, params, canonical_head, body_hash):
        headers = signer.sign_request(SECRET, method, path, body, params=params)
        canonical = f"{canonical_head}\n1700000000\n{NONCE}\n{body_hash}"
        assert headers == {
            "X-Timestamp": "1700000000",
            "X-Nonce": NONCE,
            "X-Signature": expected_signature(canonical),
        }
        assert list(headers) == ["X-Timestamp", "X-Nonce", "X-Signature"]

    def test_empty_and_missing_body_sign_alike(self):
        assert signer.sign_request(SECRET, "POST", "/x", b"") == signer.sign_request(
            SECRET, "POST", "/x", None
        )
        assert signer._body_hash(b"") == signer._body_hash(None) == ""
        assert signer._body_hash(b"abc") == hashlib.sha256(b"abc").hexdigest()

    def test_method_case_only_inside_signature(self):
        method = "post"
        headers = signer.sign_request(SECRET, method, "/x")
        assert method == "post"
        assert headers["X-Signature"] == expected_signature(f"POST\n/x\n\n1700000000\n{NONCE}\n")

    def test_non_string_param_values_are_stringified(self):
        headers = signer.sign_request(SECRET, "GET", "/x", params={"n": 5})
        assert headers["X-Signature"] == expected_signature(f"GET\n/x\nn=5\n1700000000\n{NONCE}\n")


class TestLiveValues:
    def test_header_shapes_and_fresh_nonces(self):
        first = signer.sign_request(SECRET, "GET", "/x")
        second = signer.sign_request(SECRET, "GET", "/x")
        for headers in (first, second):
            assert re.fullmatch(r"\d{10}", headers["X-Timestamp"])
            assert re.fullmatch(r"[0-9a-f]{64}", headers["X-Nonce"])
            assert re.fullmatch(r"[0-9a-f]{64}", headers["X-Signature"])
        assert first["X-Nonce"] != second["X-Nonce"]
        assert first["X-Signature"] != second["X-Signature"]

    def test_errors_propagate(self):
        with pytest.raises(UnicodeEncodeError):
            signer.sign_request("\ud800", "GET", "/x")
        with pytest.raises(TypeError, match="not supported between"):
            signer.sign_request(SECRET, "GET", "/x", params={1: "a", "b": "c"})
