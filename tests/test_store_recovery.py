"""What an interrupted write leaves behind, cleared under the writer lock: files no
committed version names, and the undo journal of an older version's in-place update."""

from __future__ import annotations

import pickle

import pytest

from tolvane.backtest._store import recovery
from tolvane.exceptions import StoreFormatError


def journal_for(path, offset: int, original: bytes, new_generation: str) -> bytes:
    return pickle.dumps(
        {
            "base_generation": "000000000000",
            "new_generation": new_generation,
            "files": [
                {"file": path.name, "offset": offset, "size": len(original), "undo": original[offset:]}
            ],
        }
    )


def test_an_uncommitted_update_is_rolled_back_and_a_committed_one_only_forgotten(tmp_path):
    data = tmp_path / "close_price.0123456789ab.bin"
    original = bytes(range(64))
    data.write_bytes(original[:40] + b"\xff" * 50)  # tail rewritten and extended in place
    journal = tmp_path / "update.journal"
    journal.write_bytes(journal_for(data, 40, original, new_generation="aaaaaaaaaaaa"))

    assert recovery.has_interrupted_update(tmp_path)
    assert recovery.roll_back_interrupted_update(tmp_path, committed_generation="000000000000")
    assert data.read_bytes() == original and not journal.exists()

    journal.write_bytes(journal_for(data, 40, b"\0" * 64, new_generation="aaaaaaaaaaaa"))
    assert not recovery.roll_back_interrupted_update(tmp_path, committed_generation="aaaaaaaaaaaa")
    assert data.read_bytes() == original and not recovery.has_interrupted_update(tmp_path)
    assert not recovery.roll_back_interrupted_update(tmp_path, committed_generation=None)


@pytest.mark.parametrize(
    "content",
    [
        b"not a pickle",
        pickle.dumps(["a", "list"]),
        pickle.dumps(
            {"new_generation": "x", "files": [{"file": "/etc/passwd", "offset": 0, "size": 1, "undo": b""}]}
        ),
        pickle.dumps(
            {"new_generation": "x", "files": [{"file": "a.bin", "offset": 9, "size": 1, "undo": b""}]}
        ),
    ],
)
def test_a_damaged_or_escaping_journal_is_refused_and_changes_nothing(tmp_path, content):
    (tmp_path / "a.bin").write_bytes(b"keep")
    (tmp_path / "update.journal").write_bytes(content)
    with pytest.raises(StoreFormatError):
        recovery.roll_back_interrupted_update(tmp_path, committed_generation="y")
    assert (tmp_path / "a.bin").read_bytes() == b"keep"


def test_only_unreferenced_generation_files_and_temporaries_are_removed(tmp_path):
    names = [
        "close_price.0123456789ab.bin",
        "close_price.ba9876543210.bin",
        ".metadata.pkl.0123456789ab.tmp",
        "dates.0123456789ab.npy",
        "metadata.pkl",
        "manifest.json",
        ".writer.lock",
        "notes.txt",
        "close_price.bin",
    ]
    for name in names:
        (tmp_path / name).write_bytes(b"x")
    removed = recovery.remove_unreferenced(
        tmp_path, ["close_price.0123456789ab.bin", "dates.0123456789ab.npy"]
    )
    assert sorted(removed) == [".metadata.pkl.0123456789ab.tmp", "close_price.ba9876543210.bin"]
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(set(names) - set(removed))
