"""Shared containers for the quorell tests. Every test module skips itself
when the module was not built (pytest.importorskip)."""

import io
import random

import pytest

# Bytes of every stream the sample holds, by path.
SAMPLE = {
    "readme.txt": b"a small plain stream\n" * 3,
    "empty": b"",
    "Kivra7i/KivMod7Win.bin": bytes(random.Random(7).randbytes(300_000)),
    "Kivra7i/packed.txt": b"compressible line of text\n" * 5000,
    "Kivra7i/Deeper/leaf": b"leaf",
    "inner.qss/data.bin": bytes(range(256)) * 40,
    "inner.qss/Docs/notes": b"notes in a nested container",
}


@pytest.fixture
def sample(tmp_path):
    """A container holding SAMPLE: a sub-storage with a deeper one, a
    compressed stream and a nested container."""
    quorell = pytest.importorskip("quorell")
    path = tmp_path / "sample.qss"
    with quorell.create(path, block_size=512) as container:
        root = container.root
        root.create_stream("readme.txt", SAMPLE["readme.txt"])
        root.create_stream("empty", b"")
        kivra = root.create_storage("Kivra7i")
        kivra.create_stream("KivMod7Win.bin", io.BytesIO(SAMPLE["Kivra7i/KivMod7Win.bin"]))
        kivra.create_stream("packed.txt", SAMPLE["Kivra7i/packed.txt"], compress=True)
        kivra.create_storage("Deeper").create_stream("leaf", SAMPLE["Kivra7i/Deeper/leaf"])
        inner = root.create_nested("inner.qss", block_size=256, entry_width=2)
        inner.create_stream("data.bin", SAMPLE["inner.qss/data.bin"])
        inner.create_storage("Docs").create_stream("notes", SAMPLE["inner.qss/Docs/notes"])
    return path
