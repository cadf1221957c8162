"""The signed HTTP client: what reaches the service, and how failures surface."""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import json

import httpx
import pytest

from tolvane._http import API_PREFIX, HttpClient
from tolvane.exceptions import ApiError, AuthenticationError, NetworkError, QuotaExceededError, TolvaneError

KEY, SECRET = "ak-test", "sk-test"


def verify(request: httpx.Request) -> bool:
    """The service's side: rebuild the canonical string from what arrived."""
    body = request.content
    canonical = "\n".join(
        [
            request.method.upper(),
            request.url.path,
            request.url.query.decode(),
            request.headers["X-Timestamp"],
            request.headers["X-Nonce"],
            hashlib.sha256(body).hexdigest() if body else "",
        ]
    )
    expected = hmac.new(SECRET.encode(), canonical.encode(), hashlib.sha256).hexdigest()
    return request.headers["X-Api-Key"] == KEY and hmac.compare_digest(
        expected, request.headers["X-Signature"]
    )


def make_client(handler, base_url="http://service.test") -> HttpClient:
    return HttpClient(base_url, KEY, SECRET, transport=httpx.MockTransport(handler))


class TestSigning:
    def test_get_and_post_are_accepted_by_an_independent_verifier(self):
        seen = []

        def handler(request):
            seen.append(request)
            if not verify(request):
                return httpx.Response(401, json={"message": "bad signature"})
            if request.method == "GET":
                return httpx.Response(
                    200, json={"path": request.url.path, "query": request.url.query.decode()}
                )
            return httpx.Response(200, content=b"abc" * 10)

        client = make_client(handler, "http://service.test/base/")
        assert client.get(API_PREFIX + "/quota", params={"b": "x y", "a": "é"}) == {
            "path": "/base/api/v1/quota",
            "query": "b=x+y&a=%C3%A9",
        }
        with client.stream_post_iter(
            API_PREFIX + "/factors/stream", {"factor": ["因子"], "ukeys": ["000001"]}
        ) as chunks:
            assert b"".join(chunks) == b"abc" * 10
        assert json.loads(seen[-1].content) == {"factor": ["因子"], "ukeys": ["000001"]}
        assert seen[-1].headers["Content-Type"] == "application/json"

    def test_tampered_request_is_rejected_by_the_verifier(self):
        def handler(request):
            request.headers["X-Nonce"] = "0" * 64
            return httpx.Response(200 if verify(request) else 401, json={"message": "bad signature"})

        with pytest.raises(AuthenticationError, match="bad signature"):
            make_client(handler).get("/x")


class TestErrorMapping:
    @pytest.mark.parametrize(
        ("status", "payload", "error", "text"),
        [
            (401, {"message": "签名错误"}, AuthenticationError, "签名错误"),
            (403, {"detail": "forbidden"}, AuthenticationError, "forbidden"),
            (429, {"message": "配额已用尽"}, QuotaExceededError, "配额已用尽"),
            (400, {"message": "最多 100 个股票代码"}, ApiError, "最多 100 个股票代码"),
            (503, None, ApiError, "Service Unavailable"),
            (302, None, ApiError, "HTTP 302"),
        ],
    )
    def test_status_errors(self, status, payload, error, text):
        def handler(request):
            return httpx.Response(status, json=payload) if payload else httpx.Response(status)

        client = make_client(handler)
        with pytest.raises(error, match=text) as caught:
            client.get("/x")
        assert caught.value.status_code == status and isinstance(caught.value, TolvaneError)
        with pytest.raises(error, match=text):
            with client.stream_post_iter("/x", {}):
                pass

    def test_transport_errors_become_network_errors(self):
        def handler(request):
            raise httpx.ConnectError("refused", request=request)

        with pytest.raises(NetworkError) as caught:
            make_client(handler).get("/x")
        assert isinstance(caught.value.__cause__, httpx.ConnectError)

    def test_cut_stream_raises_instead_of_ending_short(self):
        class CutStream(httpx.SyncByteStream):
            def __iter__(self):
                yield b"first"
                raise httpx.RemoteProtocolError("peer closed connection")

        client = make_client(lambda request: httpx.Response(200, stream=CutStream()))
        received = []
        with pytest.raises(NetworkError) as caught:
            with client.stream_post_iter("/x", {}) as chunks:
                for chunk in chunks:
                    received.append(chunk)
        assert received == [b"first"]
        assert isinstance(caught.value.__cause__, httpx.RemoteProtocolError)

    def test_stream_exit_reads_a_short_rest_only_after_success(self):
        class Body(httpx.SyncByteStream):
            def __init__(self, chunks):
                self.chunks, self.pulled, self.closed = chunks, 0, False

            def __iter__(self):
                for chunk in self.chunks:
                    self.pulled += len(chunk)
                    yield chunk

            def close(self):
                self.closed = True

        def read_first_chunk(body, failure=None):
            client = make_client(lambda request: httpx.Response(200, stream=body))
            with contextlib.suppress(KeyError):
                with client.stream_post_iter("/x", {}) as chunks:
                    next(chunks)
                    if failure:
                        raise failure
            assert body.closed
            return body.pulled

        assert read_first_chunk(Body([b"head", b"", b"tail"])) == 8
        # A long rest is not read to the end: the connection is closed instead.
        assert 64 * 1024 <= read_first_chunk(Body([b"x" * 1024] * 1000)) <= 66 * 1024
        assert read_first_chunk(Body([b"head", b"tail"]), KeyError("stop")) == 4

    def test_invalid_json_reply(self):
        client = make_client(lambda request: httpx.Response(200, content=b"<html>"))
        with pytest.raises(ApiError, match="JSON"):
            client.get("/x")

    def test_key_pair_must_be_given(self):
        with pytest.raises(ValueError, match="api_key"):
            HttpClient("http://x", "", SECRET)
