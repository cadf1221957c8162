"""The chunk stream reader and the Arrow IPC stream decode."""

from __future__ import annotations

import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tolvane import _download
from tolvane._download import _StreamReader, stream_decode

TABLE = pa.table(
    {
        "date": pa.array([20240101 + i % 7 for i in range(23)], pa.int32()),
        "ukey": [f"{i:06d}.SZ" for i in range(23)],
        "value": [i / 3 if i % 5 else None for i in range(23)],
    }
)
BATCH_ROWS = [5, 5, 5, 5, 3]


def ipc_stream(table: pa.Table, batches: int | None = None) -> bytes:
    """The table as an IPC stream of 5-row batches; with ``batches``, only the
    schema and that many batches, without the end-of-stream marker."""
    sink = pa.BufferOutputStream()
    writer = pa.ipc.new_stream(sink, table.schema)
    for batch in table.to_batches(max_chunksize=5)[:batches]:
        writer.write_batch(batch)
    if batches is None:
        writer.close()
    return sink.getvalue().to_pybytes()


STREAM = ipc_stream(TABLE)


def split(data: bytes, size: int) -> list[bytes]:
    return [data[i : i + size] for i in range(0, len(data), size)]


def cut_after(batches: int | None, failure: Exception):
    """STREAM up to ``batches`` batches (None: nothing at all), half a message, then ``failure``."""
    prefix = ipc_stream(TABLE, batches) if batches is not None else b""
    yield from split(prefix, 100)
    yield STREAM[len(prefix) : len(prefix) + 20]
    raise failure


class FakeStream:
    """What ``HttpClient.stream_post_iter`` returns: a context yielding chunks."""

    def __init__(self, chunks, *, suppress=False):
        self.chunks, self.suppress, self.exit_args = chunks, suppress, None

    def __enter__(self):
        return iter(self.chunks)

    def __exit__(self, exc_type, exc, tb):
        self.exit_args = (exc_type, exc)
        self.traceback_was_current = exc is None or tb is exc.__traceback__
        return self.suppress


class FakeClient:
    def __init__(self, stream: FakeStream):
        self.stream, self.calls = stream, []

    def stream_post_iter(self, path, body):
        self.calls.append((path, body))
        return self.stream


def decode(chunks, **stream_options):
    return stream_decode(FakeClient(FakeStream(chunks, **stream_options)), "/p", {})


class TestStreamReader:
    def test_reads_across_chunks_and_skips_empty_ones(self):
        reader = _StreamReader(iter([b"ab", b"", b"cde"]))
        assert [reader.read(2), reader.read(2), reader.read(10), reader.read(1)] == [b"ab", b"cd", b"e", b""]

    @pytest.mark.parametrize("drain", [lambda r: r.read(), lambda r: r.read(-5), lambda r: r.readall()])
    def test_negative_or_missing_size_drains_everything(self, drain):
        reader = _StreamReader(iter([b"x", b"", b"yz", b"w"]))
        assert reader.read(1) == b"x"
        assert drain(reader) == b"yzw"
        assert reader.read() == b""

    def test_pulls_only_as_far_as_the_read_needs(self):
        taken = []
        reader = _StreamReader(taken.append(chunk) or chunk for chunk in [b"abcd", b"efgh", b"ijkl"])
        assert reader.read(0) == b"" and len(taken) == 0
        assert reader.read(3) == b"abc" and len(taken) == 1
        assert reader.read(2) == b"de" and len(taken) == 2
        assert reader._buffer == bytearray(b"fgh")  # read bytes leave the buffer

    def test_readinto_fills_only_what_it_read(self):
        reader = _StreamReader(iter([b"abc"]))
        target = bytearray(b"....")
        assert reader.readinto(target) == 3 and target == bytearray(b"abc.")
        assert reader.readinto(memoryview(target)) == 0
        with pytest.raises(TypeError, match=r"^'bytes' object does not support slice assignment$"):
            _StreamReader(iter([b"abc"])).readinto(b"1234")

    @pytest.mark.parametrize(
        "target",
        [memoryview(bytes(4)), memoryview(bytearray(8)).cast("d")],
        ids=["read-only", "other-format"],
    )
    def test_readinto_a_buffer_that_refuses_the_bytes_loses_none(self, target):
        reader = _StreamReader(iter([b"abc", b"def"]))
        with pytest.raises((TypeError, ValueError)):
            reader.readinto(target)
        assert reader.read() == b"abcdef"

    def test_readinto_refuses_a_read_that_returns_too_much(self):
        class Greedy(_StreamReader):
            def read(self, n=-1):
                return super().read(n + 2)

        target = bytearray(3)
        with pytest.raises(OSError, match="more than the 3 requested"):
            Greedy(iter([b"abcdef"])).readinto(target)
        assert target == bytearray(3)

    def test_closed_reader_reads_nothing(self):
        reader = _StreamReader(iter([b"abc"]))
        reader.close()
        for read in (
            lambda: reader.read(1),
            reader.read,
            reader.readall,
            lambda: reader.readinto(bytearray(2)),
        ):
            with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
                read()

    def test_arguments(self):
        assert _StreamReader(iter([b"abcd"])).read(2.9) == b"ab"
        assert _StreamReader(iter([b"abcd"])).read(True) == b"a"
        assert _StreamReader(iter([b"ab", b"cd"])).read(2**70) == b"abcd"
        reader = _StreamReader(iter([b"abcd"]))
        with pytest.raises(
            TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got NoneType\)$"
        ):
            reader.read(None)
        with pytest.raises(TypeError, match=r"^read\(\) takes at most 2 positional arguments \(3 given\)$"):
            reader.read(1, 2)
        with pytest.raises(
            TypeError, match=r"^readinto\(\) takes exactly 2 positional arguments \(1 given\)$"
        ):
            reader.readinto()

    def test_upstream_failures(self):
        with pytest.raises(TypeError, match=r"^list object is not an iterator$"):
            _StreamReader([b"abc"]).read(1)
        reader = _StreamReader(cut_after(None, ConnectionError("cut")))
        assert reader.read(20) == STREAM[:20]
        with pytest.raises(ConnectionError, match="cut"):
            reader.read(1)


class TestStreamDecode:
    def test_one_frame_per_batch_in_stream_order(self):
        client = FakeClient(FakeStream(split(STREAM, 64)))
        frames, schema = stream_decode(client, "/api/v1/index-day/stream", {"ukeys": ["x"]})
        assert client.calls == [("/api/v1/index-day/stream", {"ukeys": ["x"]})]
        assert [len(f) for f in frames] == BATCH_ROWS and schema == TABLE.schema
        pd.testing.assert_frame_equal(pd.concat(frames, ignore_index=True), TABLE.to_pandas())
        assert client.stream.exit_args == (None, None)

    def test_zero_batches_still_give_the_schema(self):
        assert decode([ipc_stream(TABLE.slice(0, 0))]) == ([], TABLE.schema)

    def test_failure_goes_through_the_context_exit_unchanged(self):
        failure = ConnectionError("cut")
        stream = FakeStream(cut_after(2, failure))
        with pytest.raises(ConnectionError) as caught:
            stream_decode(FakeClient(stream), "/p", {})
        assert caught.value is failure
        assert stream.exit_args == (ConnectionError, failure) and stream.traceback_was_current

    def test_native_failure_reaches_the_exit_and_the_caller(self, monkeypatch):
        # An error raised in native code, with no Python frame and so no traceback.
        monkeypatch.setattr(_download, "ipc", object())
        stream = FakeStream([STREAM])
        with pytest.raises(AttributeError, match="open_stream"):
            stream_decode(FakeClient(stream), "/p", {})
        assert stream.exit_args[0] is AttributeError and stream.traceback_was_current

    def test_suppressing_exit_returns_what_was_decoded_so_far(self):
        frames, schema = decode(cut_after(2, ConnectionError("cut")), suppress=True)
        assert [len(f) for f in frames] == [5, 5] and schema == TABLE.schema
        assert decode(cut_after(None, ConnectionError("cut")), suppress=True) == ([], None)

    def test_argument_types(self):
        class Body(dict):
            pass

        client = FakeClient(FakeStream([STREAM]))
        with pytest.raises(
            TypeError, match=r"^Argument 'api_path' has incorrect type \(expected str, got bytes\)$"
        ):
            stream_decode(client, b"/p", {})
        with pytest.raises(
            TypeError, match=r"^Argument 'body' has incorrect type \(expected dict, got Body\)$"
        ):
            stream_decode(client, "/p", Body())
        assert client.calls == []


@st.composite
def chunkings(draw, data: bytes):
    """``data`` cut at arbitrary points, with a run of one-byte chunks and empty chunks."""
    run = draw(st.integers(0, len(data) - 1))
    cuts = sorted(
        [*draw(st.lists(st.integers(0, len(data)), max_size=40)), *range(run, min(run + 64, len(data)))]
    )
    edges = [0, *cuts, len(data)]
    chunks = [data[a:b] for a, b in zip(edges, edges[1:])]
    for position in draw(st.lists(st.integers(0, len(chunks)), max_size=5)):
        chunks.insert(position, b"")
    return chunks


@settings(max_examples=150, deadline=None)
@given(chunks=chunkings(STREAM))
def test_any_chunk_split_decodes_to_the_same_table(chunks):
    frames, schema = decode(chunks)
    assert [len(f) for f in frames] == BATCH_ROWS and schema == TABLE.schema
    pd.testing.assert_frame_equal(pd.concat(frames, ignore_index=True), TABLE.to_pandas())
