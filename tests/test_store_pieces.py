"""Tail updates that share the pieces before their seam with the previous generation:
loads of any date range across pieces, mapped or read, the files an update leaves alone,
a store of pieces installed elsewhere, damaged piece lists, and the native mapping."""

from __future__ import annotations

import mmap
import os
import pickle

import numpy as np
import pandas as pd
import pytest

from tolvane.backtest._prepare import BinaryPreparedDataStore, map_file_pieces
from tolvane.backtest._store import StoreFormatError
from tolvane.backtest._store import pieces as store_pieces

STOCKS = [f"{number:06d}" for number in range(700)]
DATES = pd.bdate_range("2021-01-04", periods=80).strftime("%Y%m%d").tolist()


def matrices(rows: range, seed: int) -> dict:
    rng = np.random.default_rng(seed)
    index = pd.Index([DATES[row] for row in rows], name="DataDate")
    columns = pd.Index(STOCKS, name="ukey")
    shape = (len(index), len(STOCKS))
    return {
        "close_price": pd.DataFrame(rng.normal(10, 1, shape), index=index, columns=columns),
        "can_buy_stock": pd.DataFrame(rng.random(shape) > 0.5, index=index, columns=columns),
    }


def as_payload(data: dict) -> dict:
    first, last = data["close_price"].index[[0, -1]]
    return {"version": 1, "meta": {"start_date": first, "end_date": last}, "data": dict(data)}


@pytest.fixture
def page_pieces(monkeypatch):
    """Pieces of a page: every update of these small stores starts a new one."""
    monkeypatch.setattr(store_pieces, "PIECE_BYTES", mmap.PAGESIZE)


def pieces_of(store_dir, key="close_price") -> list[dict]:
    entry = pickle.loads((store_dir / "metadata.pkl").read_bytes())["datasets"][key]
    return entry.get("pieces", [{"file": entry.get("file"), "start": 0}])


def updated_store(store_dir, updates: int):
    """A store of 40 dates extended by ``updates`` nightly updates of two new dates each,
    every update rewriting the three rows before them; returns it and the expected frames."""
    written = BinaryPreparedDataStore(store_dir, [])
    expected = matrices(range(40), seed=0)
    written.write(as_payload(expected))
    for update in range(1, updates + 1):
        end = 40 + 2 * update
        tail = matrices(range(end - 5, end), seed=update)
        written.replace_tail(as_payload(tail), DATES[end - 5])
        expected = {key: pd.concat([frame.iloc[: end - 5], tail[key]]) for key, frame in expected.items()}
    return written, expected


def test_updates_share_the_pieces_before_their_seam_and_loads_join_them(tmp_path, page_pieces):
    written, expected = updated_store(tmp_path, 4)
    pieces = pieces_of(tmp_path)
    assert len(pieces) == 5 and pieces[0]["start"] == 0
    # The first write's file is still the first piece, and no update rewrote it.
    first = tmp_path / pieces[0]["file"]
    assert first.stat().st_size == 40 * len(STOCKS) * 8

    rng = np.random.default_rng(5)
    n_dates = len(expected["close_price"])
    ranges = [(0, n_dates), (n_dates - 1, n_dates), (3, 4)]
    ranges += [tuple(sorted(rng.choice(n_dates + 1, 2, replace=False))) for _ in range(12)]
    for lo, hi in ranges:
        for mapped in (True, False):
            got = written.load(DATES[lo], DATES[hi - 1], mmap=mapped)
            for key, frame in expected.items():
                pd.testing.assert_frame_equal(got[key], frame.iloc[lo:hi], check_dtype=False, obj=key)
    loaded = written.load()
    assert not loaded["close_price"].to_numpy().flags.writeable
    assert written.verify()["files"] == 3 + sum(len(pieces_of(tmp_path, key)) for key in expected)


def test_frames_mapped_across_pieces_outlive_later_updates_and_rewrites(tmp_path, page_pieces):
    written, expected = updated_store(tmp_path, 3)
    mapped = written.load()
    snapshot = {key: frame.copy() for key, frame in mapped.items()}
    end = 46
    for update in range(4, 7):
        end += 2
        written.replace_tail(as_payload(matrices(range(end - 5, end), seed=update)), DATES[end - 5])
    written.write(as_payload(matrices(range(10), seed=9)))
    for key, frame in mapped.items():
        pd.testing.assert_frame_equal(frame, snapshot[key])
    referenced = {piece["file"] for key in expected for piece in pieces_of(tmp_path, key)}
    assert len(referenced) == 2


def test_a_dataset_is_written_whole_again_once_it_has_the_most_pieces(tmp_path, page_pieces, monkeypatch):
    monkeypatch.setattr(store_pieces, "MAX_PIECES", 3)
    written, expected = updated_store(tmp_path, 6)
    assert len(pieces_of(tmp_path)) <= 3
    for key, frame in written.load().items():
        pd.testing.assert_frame_equal(frame, expected[key], check_dtype=False)
    written.verify()


def test_a_store_of_pieces_installs_under_names_of_its_own(tmp_path, page_pieces):
    source, expected = updated_store(tmp_path / "source", 3)
    target = BinaryPreparedDataStore(tmp_path / "target", [])
    target.install(tmp_path / "source")
    names = [piece["file"] for piece in pieces_of(tmp_path / "target")]
    assert len(names) == len(set(names)) == 4
    for key, frame in target.load().items():
        pd.testing.assert_frame_equal(frame, expected[key], check_dtype=False)
    target.verify()


def rewrite_pieces(store_dir, change) -> None:
    metadata = pickle.loads((store_dir / "metadata.pkl").read_bytes())
    change(metadata["datasets"]["close_price"]["pieces"])
    (store_dir / "metadata.pkl").write_bytes(pickle.dumps(metadata))


def shorten(path, by: int) -> None:
    path.write_bytes(path.read_bytes()[:-by])


def cut_short_of_next_piece(store_dir) -> None:
    pieces = pieces_of(store_dir)
    os.truncate(store_dir / pieces[1]["file"], pieces[2]["start"] - pieces[1]["start"] - 8)


@pytest.mark.parametrize(
    ("damage", "words"),
    [
        (lambda d: rewrite_pieces(d, lambda pieces: pieces.reverse()), "pieces"),
        (lambda d: rewrite_pieces(d, lambda pieces: pieces[1].__setitem__("start", 100)), "pieces"),
        (
            lambda d: rewrite_pieces(d, lambda pieces: pieces[1].__setitem__("file", pieces[0]["file"])),
            "pieces",
        ),
        (lambda d: rewrite_pieces(d, lambda pieces: pieces[2].__setitem__("start", 2**40)), "pieces"),
        (lambda d: rewrite_pieces(d, lambda pieces: pieces.clear()), "pieces"),
        (lambda d: rewrite_pieces(d, lambda pieces: pieces[1].__setitem__("file", "../x.bin")), "file"),
        (cut_short_of_next_piece, "到下一段"),
        (lambda d: shorten(d / pieces_of(d)[-1]["file"], 8), "到末尾"),
    ],
    ids=[
        "unsorted",
        "misaligned",
        "one file twice",
        "past the end",
        "none",
        "outside",
        "short",
        "last short",
    ],
)
def test_damaged_piece_lists_are_refused_naming_what_is_wrong(tmp_path, page_pieces, damage, words):
    written, _ = updated_store(tmp_path, 3)
    damage(tmp_path)
    for mapped in (True, False):
        with pytest.raises(StoreFormatError, match=words):
            written.load(mmap=mapped)


def test_the_native_mapping_checks_what_it_is_given(tmp_path):
    page = mmap.PAGESIZE
    first, second = tmp_path / "first.bin", tmp_path / "second.bin"
    first.write_bytes(bytes(range(256)) * (3 * page // 256))
    second.write_bytes(b"\x07" * (page + 10))
    joined = map_file_pieces([(str(first), page, page), (str(second), 0, page + 10)])
    assert len(joined) == 2 * page + 10 and not joined.flags.writeable
    assert joined[:256].tolist() == list(range(256)) and set(joined[page:].tolist()) == {7}
    first.unlink()
    os.truncate(second, 0)
    second.unlink()
    assert joined[:4].tolist() == [0, 1, 2, 3]

    second.write_bytes(b"\x01" * page)
    with pytest.raises(FileNotFoundError):
        map_file_pieces([(str(first), 0, page)])
    with pytest.raises(ValueError, match="页大小"):
        map_file_pieces([(str(second), 1, 10)])
    with pytest.raises(ValueError, match="页大小"):
        map_file_pieces([(str(second), 0, 10), (str(second), 0, 10)])
    with pytest.raises(OSError, match="短"):
        map_file_pieces([(str(second), 0, page + 1)])
    with pytest.raises(OSError, match="普通文件"):
        map_file_pieces([(str(tmp_path), 0, page)])
    os.mkfifo(tmp_path / "pipe")
    with pytest.raises(OSError, match="普通文件"):
        map_file_pieces([(str(tmp_path / "pipe"), 0, page)])
    (tmp_path / "link").symlink_to(second)
    with pytest.raises(OSError):
        map_file_pieces([(str(tmp_path / "link"), 0, page)])
    assert len(map_file_pieces([])) == 0
