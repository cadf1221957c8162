"""Benchmark package download: resume over real HTTP, the service's faults, safe extraction."""

import hashlib
import io
import os
import shutil
import tempfile
import zipfile
from pathlib import Path

import httpx
import numpy as np
import pandas as pd
import pytest
from tqdm import tqdm

from tolvane._http import HttpClient
from tolvane.backtest import _bundle
from tolvane.backtest._prepare import BinaryPreparedDataStore
from tolvane.exceptions import NetworkError, TolvaneError
from tolvane.sandbox import DOWNLOAD_PATH, Faults, SandboxServer

MIB = 1 << 20


def build_package(members: dict[str, bytes]) -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data in members.items():
            compress = zipfile.ZIP_STORED if name.endswith(".bin") else zipfile.ZIP_DEFLATED
            zf.writestr(name, data, compress_type=compress)
    return buf.getvalue()


def packaged_store(seed: int) -> tuple[bytes, dict]:
    """A real store zipped as the service packs it, beside a member the store does not
    name; returns the archive and the store's matrices."""
    rng = np.random.default_rng(seed)
    dates = pd.Index(
        [f"2023{month:02d}{day:02d}" for month in (1, 2, 3, 4, 5) for day in range(1, 29)][:130],
        name="DataDate",
    )
    stocks = pd.Index([f"{n:06d}" for n in range(5000)], name="ukey")
    payload = {
        "version": 1,
        "meta": {"start_date": dates[0], "end_date": dates[-1]},
        "data": {
            "close_price": pd.DataFrame(rng.random((len(dates), len(stocks))), index=dates, columns=stocks),
            "can_buy_stock": pd.DataFrame(
                rng.random((len(dates), len(stocks))) > 0.2, index=dates, columns=stocks
            ),
            "benchmark_dict": {"000852": pd.Series(rng.normal(0, 0.01, len(dates)), index=dates)},
        },
    }
    with tempfile.TemporaryDirectory() as folder:
        store = BinaryPreparedDataStore(folder, [])
        store.write(payload)
        members = {
            path.name: path.read_bytes()
            for path in sorted(Path(folder).iterdir())
            if not path.name.startswith(".")
        }
        matrices = store.load(mmap=False)
    members["index/benchmark.csv"] = b"date,ukey,close\n" + b"20230103,000300.XSHG,3887.9\n" * 40000
    return build_package(members), matrices


# A package of a few MiB: the download writes whole 1 MiB chunks, so a cut only
# leaves something to resume from once more than a chunk has arrived.
PACKAGE, PACKAGED = packaged_store(seed=0)
CLOSE_PRICE_MEMBER = next(
    name for name in zipfile.ZipFile(io.BytesIO(PACKAGE)).namelist() if name.startswith("close_price.")
)


def tree_hashes(root: Path) -> dict[str, str]:
    return {
        p.relative_to(root).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
        for p in root.rglob("*")
        if p.is_file()
    }


def assert_installed(store_dir: Path) -> None:
    """The target holds the packaged store (its files renamed to a generation of its own)
    and nothing the store does not name; the temporary folder is gone."""
    store = BinaryPreparedDataStore(store_dir, [])
    loaded = store.load()
    assert list(loaded) == list(PACKAGED)
    for key, matrix in PACKAGED.items():
        pd.testing.assert_frame_equal(loaded[key], matrix)
    assert store.verify()["checksummed"] == 5
    assert not (store_dir / "index").exists() and not list(store_dir.parent.glob("temp/*.extract"))


def files_of(folder: Path) -> list[str]:
    return sorted(path.name for path in folder.iterdir() if not path.name.startswith("."))


@pytest.fixture(scope="module")
def package_server(tmp_path_factory):
    """A sandbox serving the package from a file that a test may replace."""
    path = tmp_path_factory.mktemp("served") / "package.zip"
    path.write_bytes(PACKAGE)
    with SandboxServer(n_stocks=5, start="2023-01-01", end="2023-03-31", package=path) as server:
        server.package_path = path
        yield server


@pytest.fixture
def served(package_server):
    package_server.reset()
    package_server.package_path.write_bytes(PACKAGE)
    yield package_server
    package_server.reset()
    package_server.package_path.write_bytes(PACKAGE)


@pytest.fixture
def client(served):
    with HttpClient(served.base_url, served.api_key, served.api_secret) as http:
        yield http


@pytest.fixture
def recorded(monkeypatch):
    """Records the Range header of every download request and the settings and final
    position of every progress bar; the requests still go over the wire."""

    class Recorder:
        def __init__(self):
            self.ranges, self.bars = [], []

        def stream(self, method, url, **kwargs):
            self.ranges.append(kwargs["headers"].get("Range"))
            return httpx.stream(method, url, **kwargs)

        def __getattr__(self, name):
            return getattr(httpx, name)

    recorder = Recorder()

    def make_bar(**settings):
        bar = tqdm(file=io.StringIO(), **settings)
        recorder.bars.append((settings, bar))
        return bar

    monkeypatch.setattr(_bundle, "httpx", recorder)
    monkeypatch.setattr(_bundle, "tqdm", make_bar)
    return recorder


def url_of(server) -> str:
    return server.base_url + DOWNLOAD_PATH


# ------------------------------------------------------------------ whole download


def test_download_lays_out_the_package_beside_a_temp_dir(
    served, client, recorded, tmp_path, monkeypatch, caplog
):
    monkeypatch.setenv("HOME", str(tmp_path))
    caplog.set_level("INFO", logger="tolvane")
    store = _bundle.download_benchmark_package(client, "~/data/store")

    assert store == tmp_path / "data" / "store"
    assert_installed(store)
    assert (tmp_path / "data" / "temp").is_dir()
    assert not (tmp_path / "data" / "temp" / "benchmark.part").exists()
    assert recorded.ranges == [None]
    [(settings, bar)] = recorded.bars
    assert settings == {
        "total": len(PACKAGE),
        "initial": 0,
        "unit": "B",
        "unit_scale": True,
        "unit_divisor": 1024,
        "desc": "下载基准数据",
        "bar_format": "{desc} {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{rate_fmt}]",
        "mininterval": 1.0,
    }
    assert bar.n == len(PACKAGE)
    assert [r.getMessage() for r in caplog.records if r.name == "tolvane"] == [
        "开始下载回测基准数据包",
        "回测基准数据包下载完成",
    ]


def test_cut_downloads_keep_the_part_file_and_resume_until_complete(served, client, recorded, tmp_path):
    cut = 3 * MIB // 2
    served.faults = Faults(cut_after_bytes=cut, paths=(DOWNLOAD_PATH,), times=3)
    part = tmp_path / "temp" / "benchmark.part"
    for kept in (MIB, 2 * MIB, 3 * MIB):
        with pytest.raises(NetworkError) as failure:
            _bundle.download_benchmark_package(client, tmp_path / "store")
        assert str(failure.value) == "下载回测基准数据失败: 网络错误"
        assert isinstance(failure.value.__cause__, httpx.HTTPError)
        assert part.stat().st_size == kept  # whole chunks written before the cut
        assert files_of(tmp_path / "store") == []

    _bundle.download_benchmark_package(client, tmp_path / "store")
    assert recorded.ranges == [None] + [f"bytes={n * MIB}-" for n in (1, 2, 3)]
    assert [(s["initial"], s["total"]) for s, _ in recorded.bars] == [
        (n * MIB, len(PACKAGE)) for n in range(4)
    ]
    assert_installed(tmp_path / "store")
    assert not part.exists()


@pytest.mark.parametrize(
    "fault, part_bytes, sent_range, bar",
    [
        # 206: the five bytes on disk are kept and the rest appended.
        (Faults(), PACKAGE[:5], "bytes=5-", (5, len(PACKAGE))),
        # 200 to a Range request: the file is rewritten from the start.
        (Faults(ignore_range=True), b"stale", "bytes=5-", (0, len(PACKAGE))),
        # No Content-Length: a bar without a total.
        (Faults(chunked_download=True), None, None, (0, None)),
    ],
)
def test_part_file_continued_or_rewritten_by_the_answer(
    served, recorded, tmp_path, fault, part_bytes, sent_range, bar
):
    served.faults = fault
    part = tmp_path / "benchmark.part"
    if part_bytes is not None:
        part.write_bytes(part_bytes)
    _bundle._stream_download(url_of(served), part)
    assert part.read_bytes() == PACKAGE
    assert recorded.ranges == [sent_range]
    [(settings, progress)] = recorded.bars
    assert (settings["initial"], settings["total"]) == bar
    assert progress.n == len(PACKAGE)


@pytest.mark.parametrize(
    "fault, part_bytes, status",
    [
        (Faults(status=503), PACKAGE[:100], 503),
        (Faults(status=404), None, 404),
    ],
)
def test_http_errors_raise_and_leave_the_part_file(served, tmp_path, fault, part_bytes, status):
    served.faults = fault
    part = tmp_path / "benchmark.part"
    if part_bytes is not None:
        part.write_bytes(part_bytes)
    with pytest.raises(NetworkError) as failure:
        _bundle._stream_download(url_of(served), part)
    assert str(failure.value) == f"下载回测基准数据失败: HTTP {status}"
    assert failure.value.__notes__ == [f"已下载的部分保存在 {part}, 再次运行同一下载会从断点续传"]
    assert isinstance(failure.value.__cause__, httpx.HTTPStatusError)
    assert (part.read_bytes() if part.exists() else None) == part_bytes


def test_part_file_longer_than_the_package_is_downloaded_anew(served, recorded, tmp_path):
    # The server answers 416 "bytes */<size>": nothing to continue, so start over.
    part = tmp_path / "benchmark.part"
    part.write_bytes(PACKAGE + b"extra")
    _bundle._stream_download(url_of(served), part)
    assert part.read_bytes() == PACKAGE
    assert recorded.ranges == [f"bytes={len(PACKAGE) + 5}-", None]


def test_a_damaged_part_file_is_discarded_and_downloaded_once_more(served, client, recorded, tmp_path):
    part = tmp_path / "temp" / "benchmark.part"
    part.parent.mkdir()
    part.write_bytes(corrupt(PACKAGE, CLOSE_PRICE_MEMBER))  # whole length: the server says 416
    _bundle.download_benchmark_package(client, tmp_path / "store")
    assert recorded.ranges == [f"bytes={len(PACKAGE)}-", None]
    assert_installed(tmp_path / "store")
    assert not part.exists()


def test_a_package_damaged_on_the_server_is_reported_after_one_more_download(
    served, client, recorded, tmp_path
):
    existing = tmp_path / "store"
    BinaryPreparedDataStore(existing, []).write(
        {
            "version": 1,
            "meta": {},
            "data": {
                "close_price": pd.DataFrame(
                    [[1.0]], index=pd.Index(["20230103"]), columns=pd.Index(["000001"])
                )
            },
        }
    )
    served.package_path.write_bytes(corrupt(PACKAGE, CLOSE_PRICE_MEMBER))
    with pytest.raises(TolvaneError) as failure:
        _bundle.download_benchmark_package(client, existing)
    assert str(failure.value) == "回测基准数据包损坏,无法解压"
    assert "重新下载了一次, 仍然损坏" in failure.value.__notes__[0]
    assert recorded.ranges == [None, None]
    assert BinaryPreparedDataStore(existing, []).load()["close_price"].iloc[0, 0] == 1.0


@pytest.mark.parametrize("served_from", [0, 4096 + 100])
def test_partial_answer_from_another_offset_restarts_the_download(served, recorded, tmp_path, served_from):
    # A server that answers bytes=4096- with a 206 starting elsewhere; appending
    # its bytes would corrupt the package.
    served.faults = Faults(range_start=served_from, paths=(DOWNLOAD_PATH,), times=1)
    part = tmp_path / "benchmark.part"
    part.write_bytes(PACKAGE[:4096])
    _bundle._stream_download(url_of(served), part)
    assert part.read_bytes() == PACKAGE
    assert recorded.ranges == ["bytes=4096-", None]


def test_finished_but_unextracted_download_is_extracted(served, client, recorded, tmp_path):
    # The process died between the last byte and the extraction: the server now
    # answers 416 "bytes */<size>" to every resume request.
    part = tmp_path / "temp" / "benchmark.part"
    part.parent.mkdir()
    part.write_bytes(PACKAGE)
    _bundle.download_benchmark_package(client, tmp_path / "store")
    assert recorded.ranges == [f"bytes={len(PACKAGE)}-"]
    assert_installed(tmp_path / "store")
    assert not part.exists()


def test_illegal_package_from_the_service_writes_nothing_and_keeps_the_part_file(served, client, tmp_path):
    served.package_path.write_bytes(build_package({"metadata.pkl": b"m", "../escape.txt": b"x"}))
    with pytest.raises(TolvaneError, match="^回测基准数据包含非法路径条目: ../escape.txt$"):
        _bundle.download_benchmark_package(client, tmp_path / "store")
    assert files_of(tmp_path / "store") == []
    assert not (tmp_path / "escape.txt").exists()
    assert (tmp_path / "temp" / "benchmark.part").exists()


# ------------------------------------------------------------------ service reply


class ReplyStub:
    """Stands in for the signed client's JSON reply (the download itself is real)."""

    def __init__(self, reply):
        self.reply, self.paths = reply, []

    def get(self, path):
        self.paths.append(path)
        return self.reply


@pytest.mark.parametrize(
    "reply, error, message",
    [
        (None, TolvaneError, "服务端未返回有效的回测基准数据下载地址"),
        ({}, TolvaneError, "服务端未返回有效的回测基准数据下载地址"),
        ({"download_url": " \t "}, TolvaneError, "服务端未返回有效的回测基准数据下载地址"),
        ({"download_url": 42}, AttributeError, None),
        (
            {"download_url": "http://x/p.zip", "content_type": "application/zip; charset=binary"},
            TolvaneError,
            "不支持的回测基准数据包格式: application/zip; charset=binary",
        ),
        (
            {"download_url": "http://x/p.zip", "content_type": " Application/Zip "},
            TolvaneError,
            "不支持的回测基准数据包格式: Application/Zip",
        ),
        (
            {"download_url": "http://x/p.zip", "content_type": "application/x-zip-compressed"},
            TolvaneError,
            "不支持的回测基准数据包格式: application/x-zip-compressed",
        ),
    ],
)
def test_unusable_service_reply_is_refused_before_anything_is_created(tmp_path, reply, error, message):
    stub = ReplyStub(reply)
    with pytest.raises(error) as failure:
        _bundle.download_benchmark_package(stub, tmp_path / "store")
    if message:
        assert str(failure.value) == message
    assert stub.paths == ["/api/v1/backtest-data/benchmark-data"]
    assert list(tmp_path.iterdir()) == []


def test_blank_content_type_counts_as_zip(served, tmp_path):
    stub = ReplyStub({"download_url": f"  {url_of(served)}\n", "content_type": "   "})
    assert _bundle.download_benchmark_package(stub, tmp_path / "s") == tmp_path / "s"
    assert_installed(tmp_path / "s")


# ------------------------------------------------------------------ extraction


def archive_at(tmp_path: Path, members: dict[str, bytes]) -> Path:
    path = tmp_path / "package.zip"
    path.write_bytes(build_package(members))
    return path


@pytest.mark.parametrize("name", ["../escape.txt", "{outside}/escape.txt", "data/../../escape.txt"])
def test_entries_leaving_the_target_reject_the_whole_archive(tmp_path, name):
    name = name.format(outside=tmp_path.as_posix())
    archive = archive_at(tmp_path, {"metadata.pkl": b"meta", name: b"x"})
    store = tmp_path / "store"
    store.mkdir()
    with pytest.raises(TolvaneError) as failure:
        _bundle._extract_zip(archive, store)
    assert str(failure.value) == f"回测基准数据包含非法路径条目: {name}"
    assert list(store.iterdir()) == []
    assert not (tmp_path / "escape.txt").exists()


def test_entry_that_climbs_and_comes_back_is_legal(tmp_path):
    archive = archive_at(tmp_path, {"data/../metadata.pkl": b"meta", "data/x.bin": b"x"})
    store = tmp_path / "store"
    store.mkdir()
    _bundle._extract_zip(archive, store)
    extracted = tree_hashes(store)
    assert sorted(extracted.values()) == sorted(hashlib.sha256(d).hexdigest() for d in (b"meta", b"x"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["package.zip", "store"]


def corrupt(package: bytes, member: str) -> bytes:
    """Flips the first data byte of a member: a stored one fails its CRC, a
    deflated one fails to decompress."""
    with zipfile.ZipFile(io.BytesIO(package)) as zf:
        info = zf.getinfo(member)
    data = bytearray(package)
    data[info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)] ^= 0xFF
    return bytes(data)


@pytest.mark.parametrize(
    "content",
    [
        os.urandom(4096),
        PACKAGE[: len(PACKAGE) // 2],
        corrupt(PACKAGE, CLOSE_PRICE_MEMBER),
        corrupt(PACKAGE, "index/benchmark.csv"),
    ],
)
def test_damaged_archive_is_a_package_error(tmp_path, content):
    archive = tmp_path / "package.zip"
    archive.write_bytes(content)
    store = tmp_path / "store"
    store.mkdir()
    with pytest.raises(TolvaneError) as failure:
        _bundle._extract_zip(archive, store)
    assert str(failure.value) == "回测基准数据包损坏,无法解压"
    assert failure.value.__cause__ is not None


def patched_headers(
    package: bytes, flag_bits: int = 0, method: int | None = None, file_size: int | None = None
) -> bytes:
    """Rewrites fields of every local and central header: general purpose flags,
    compression method, uncompressed size."""
    data = bytearray(package)
    for signature, flags_at, method_at, size_at in ((b"PK\x03\x04", 6, 8, 22), (b"PK\x01\x02", 8, 10, 24)):
        start = 0
        while (start := data.find(signature, start)) >= 0:
            data[start + flags_at : start + flags_at + 2] = (
                int.from_bytes(data[start + flags_at : start + flags_at + 2], "little") | flag_bits
            ).to_bytes(2, "little")
            if method is not None:
                data[start + method_at : start + method_at + 2] = method.to_bytes(2, "little")
            if file_size is not None:
                data[start + size_at : start + size_at + 4] = file_size.to_bytes(4, "little")
            start += 4
    return bytes(data)


def members_zip(names: list[str], data: bytes = b"payload") -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as zf:
        for name in names:
            zf.writestr(zipfile.ZipInfo(name), data)
    return buffer.getvalue()


@pytest.mark.parametrize(
    "content, cause",
    [
        (patched_headers(members_zip(["metadata.pkl"]), flag_bits=0x1), "已加密"),
        (patched_headers(members_zip(["metadata.pkl"]), method=99), "压缩方法不受支持"),
        (members_zip(["data", "data/x.bin"]), "所在的目录与一个文件同名"),
        (members_zip(["data/x.bin", "data"]), "既是文件又是目录"),
        (members_zip(["a" * 300 + ".bin"]), "名字过长"),
        (members_zip(["x/" * 600 + "y.bin"]), "名字过长"),
    ],
)
def test_malformed_archives_are_a_package_error_and_extract_nothing(tmp_path, content, cause):
    archive = tmp_path / "package.zip"
    archive.write_bytes(content)
    store = tmp_path / "store"
    store.mkdir()
    with pytest.raises(TolvaneError) as failure:
        _bundle._extract_zip(archive, store)
    assert str(failure.value) == "回测基准数据包损坏,无法解压"
    assert cause in str(failure.value.__cause__)
    assert list(store.iterdir()) == []


def test_a_member_that_expands_past_its_declared_size_stops_there(tmp_path):
    archive = tmp_path / "package.zip"
    archive.write_bytes(patched_headers(members_zip(["metadata.pkl"], b"x" * 4096), file_size=16))
    store = tmp_path / "store"
    store.mkdir()
    with pytest.raises(TolvaneError, match="^回测基准数据包损坏,无法解压$") as failure:
        _bundle._extract_zip(archive, store)
    assert "CRC" in str(failure.value.__cause__)
    assert (store / "metadata.pkl").stat().st_size <= 16


def test_duplicate_members_are_a_package_error(tmp_path):
    archive = tmp_path / "package.zip"
    with pytest.warns(UserWarning, match="Duplicate name"):
        archive.write_bytes(members_zip(["metadata.pkl", "metadata.pkl"]))
    store = tmp_path / "store"
    store.mkdir()
    with pytest.raises(TolvaneError, match="^回测基准数据包损坏,无法解压$") as failure:
        _bundle._extract_zip(archive, store)
    assert "重名" in str(failure.value.__cause__)
    assert list(store.iterdir()) == []


def test_an_archive_larger_than_the_free_space_is_refused(tmp_path, monkeypatch):
    class NearlyFullDisk:
        @staticmethod
        def disk_usage(path):
            return shutil.disk_usage(path)._replace(free=100 << 20)

    archive = archive_at(tmp_path, {"metadata.pkl": b"m", "big.bin": bytes(60 << 20)})
    store = tmp_path / "store"
    store.mkdir()
    monkeypatch.setattr(_bundle, "shutil", NearlyFullDisk)
    with pytest.raises(
        TolvaneError, match=r"^回测基准数据包解压后有 62914561 字节, 目标磁盘只剩 104857600 字节"
    ):
        _bundle._extract_zip(archive, store)
    assert list(store.iterdir()) == []


# ------------------------------------------------------------------ flattening


def make_tree(root: Path, files: list[str]) -> None:
    for name in files:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(name)


@pytest.mark.parametrize(
    "files, expected",
    [
        (
            [".DS_Store", "pkg/metadata.pkl", "pkg/.keep", "pkg/sub/x.npy"],
            [".DS_Store", ".keep", "metadata.pkl", "sub/x.npy"],
        ),
        (["metadata.pkl", "pkg/a.npy"], None),
        (["a/x.npy", "b/y.npy"], None),
        (["only.npy"], None),
    ],
)
def test_flatten_single_subdir(tmp_path, files, expected):
    make_tree(tmp_path, files)
    _bundle.flatten_single_subdir(tmp_path)
    found = sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file())
    assert found == (expected or sorted(files))
    if expected:
        assert not (tmp_path / "pkg").exists()
        assert (tmp_path / "metadata.pkl").read_text() == "pkg/metadata.pkl"


# ------------------------------------------------------------------ arguments


def test_url_must_be_exactly_a_str(tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'url' has incorrect type \(expected str, got bytes\)$"):
        _bundle._stream_download(b"http://127.0.0.1/x", tmp_path / "p")
    assert not (tmp_path / "p").exists()
