"""The cache of generated benchmark packages: keyed by every parameter and by the
code that builds them, written atomically, kept small, never in the way."""

import io
import os
import threading
import zipfile

import httpx
import pytest

from tolvane.sandbox import DOWNLOAD_PATH, SandboxServer, package_cache
from tolvane.sandbox import package as package_module

MARKET = {"seed": 3, "n_stocks": 6, "start": "2023-01-01", "end": "2023-03-31"}


def zip_of(text: str) -> bytes:
    """A zip holding `text`, the same bytes whenever it is made (a fixed file time)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr(zipfile.ZipInfo("content.txt", date_time=(2024, 1, 2, 0, 0, 0)), text)
    return buffer.getvalue()


class Builds:
    """Stands in for the package builder; counts its calls."""

    def __init__(self, text: str = "built") -> None:
        self.count = 0
        self.text = text

    def __call__(self) -> bytes:
        self.count += 1
        return zip_of(f"{self.text} {self.count}")


@pytest.fixture
def cache(tmp_path, monkeypatch):
    folder = tmp_path / "cache"
    monkeypatch.setenv(package_cache.CACHE_ENV, str(folder))
    return folder


def test_a_package_is_built_once_per_key_and_then_read_from_the_cache(cache):
    build = Builds()
    key = {"seed": 1, "n_stocks": 5, "package_end": "20230331"}
    first = package_cache.cached_package(key, build)
    assert package_cache.cached_package(dict(key), build) == first and build.count == 1
    other = package_cache.cached_package({**key, "package_end": "20230228"}, build)
    assert other != first and build.count == 2
    assert sorted(p.suffix for p in cache.iterdir()) == [".zip", ".zip"]  # no temporary file left


def test_a_change_to_the_code_that_builds_packages_is_a_new_key(cache, tmp_path, monkeypatch):
    source = tmp_path / "market.py"
    source.write_text("version = 1\n")
    monkeypatch.setattr(package_cache, "_producing_files", lambda: [source])
    package_cache.code_digest.cache_clear()
    try:
        build = Builds()
        package_cache.cached_package({"seed": 1}, build)
        source.write_text("version = 2\n")
        package_cache.code_digest.cache_clear()  # a new process sees the new code
        assert package_cache.cached_package({"seed": 1}, build) == zip_of("built 2")
    finally:
        package_cache.code_digest.cache_clear()


def test_the_code_digest_covers_the_store_writer_and_the_builder():
    names = {path.name for path in package_cache._producing_files()}
    assert {"market.py", "package.py", "store.py", "files.py"} <= names
    assert any(name.startswith("_prepare.") for name in names)


def test_where_the_cache_lives(tmp_path, monkeypatch):
    monkeypatch.delenv(package_cache.CACHE_ENV, raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert package_cache.cache_folder() == tmp_path / "tolvane" / "sandbox-packages"
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("XDG_CACHE_HOME", "relative/path")  # not absolute: to be ignored
    assert package_cache.cache_folder() == tmp_path / "home" / ".cache" / "tolvane" / "sandbox-packages"
    monkeypatch.setenv(package_cache.CACHE_ENV, "Off")
    assert package_cache.cache_folder() is None
    build = Builds()
    package_cache.cached_package({"seed": 1}, build)
    package_cache.cached_package({"seed": 1}, build)
    assert build.count == 2 and not (tmp_path / "home").exists()


def test_a_damaged_entry_is_built_again_and_an_unusable_folder_only_warns(cache, monkeypatch, caplog):
    build = Builds()
    package_cache.cached_package({"seed": 1}, build)
    [entry] = cache.iterdir()
    entry.write_bytes(entry.read_bytes()[:-30])
    assert package_cache.cached_package({"seed": 1}, build) == zip_of("built 2")
    assert entry.read_bytes() == zip_of("built 2")

    monkeypatch.setenv(package_cache.CACHE_ENV, str(entry))  # a file where the folder should be
    assert package_cache.cached_package({"seed": 1}, build) == zip_of("built 3")
    assert "无法写入缓存目录" in caplog.text


def test_only_the_most_recently_used_packages_are_kept(cache):
    build = Builds()
    kept = package_cache._KEPT_PACKAGES
    for seed in range(kept + 3):
        package_cache.cached_package({"seed": seed}, build)
        used = 1e9 + seed  # distinct ages, whatever the clock's resolution
        os.utime(cache / package_cache._file_name({"seed": seed}), (used, used))
    assert len(list(cache.iterdir())) == kept
    package_cache.cached_package({"seed": kept + 2}, build)  # the newest is still there
    assert build.count == kept + 3
    package_cache.cached_package({"seed": 0}, build)  # the oldest is gone
    assert build.count == kept + 4


def test_racing_writers_leave_one_whole_package(cache):
    barrier = threading.Barrier(6)
    results = []

    def build_and_store(k):
        def build():
            barrier.wait()  # every thread has missed the cache, all write at once
            return zip_of(f"writer {k}" * 10000)

        results.append(package_cache.cached_package({"seed": 1}, build))

    threads = [threading.Thread(target=build_and_store, args=(k,)) for k in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    [entry] = cache.iterdir()
    assert entry.read_bytes() in results and len(results) == 6


def test_sandboxes_of_the_same_market_share_one_build(cache, monkeypatch):
    built = []
    real_build = package_module.build_benchmark_package
    monkeypatch.setattr(
        package_module,
        "build_benchmark_package",
        lambda market, end: built.append(end) or real_build(market, end),
    )
    downloads = []
    for package_end in ("20230228", "2023-02-28", None):
        with SandboxServer(**MARKET, package_end=package_end) as server:
            downloads.append(httpx.get(server.base_url + DOWNLOAD_PATH).content)
    assert built == ["20230228", "20230331"]
    assert downloads[0] == downloads[1] != downloads[2]
    with zipfile.ZipFile(io.BytesIO(downloads[0])) as archive:
        assert "metadata.pkl" in archive.namelist()
    market = package_module.SyntheticMarket(**MARKET)
    with SandboxServer(market) as server:  # a market given by the caller is never looked up
        httpx.get(server.base_url + DOWNLOAD_PATH)
    assert len(built) == 3
