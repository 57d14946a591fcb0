"""Damaged containers: whatever the bytes say, the module raises
quorell.Error (or reads what is there) and never crashes or hangs. The
inputs are the kinds the C++ tests use: garbage, truncations, circular
chains, the fuzzing reproducers, and bytes flipped at random."""

import pathlib
import random
import struct

import pytest

quorell = pytest.importorskip("quorell")

REGRESSIONS = pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "regressions"


def read_everything(path):
    """Opens, walks and reads every stream; returns the errors met."""
    errors = []
    try:
        with quorell.open(path) as container:
            for name, entry in container.walk(onerror=errors.append):
                if entry.kind not in ("stream", "nested"):
                    continue
                try:
                    # A damaged directory can hold a storage and a stream of
                    # one name: the path reaches the first.
                    with container.open(name, as_stream=True) as stream:
                        if isinstance(stream, quorell.Stream):
                            data = stream.read()
                            assert len(data) == stream.size
                except quorell.Error as error:
                    errors.append(error)
    except quorell.Error as error:
        errors.append(error)
    assert all(isinstance(error.code, int) and error.code >= 0x80000000 for error in errors)
    return errors


def small_container(path, storages=1):
    with quorell.create(path, block_size=512) as container:
        for n in range(storages):
            folder = container.root.create_storage(f"S{n}")
            for i in range(12):  # a directory of several blocks
                folder.create_stream(f"s{i}", bytes([i]) * 1300)
        container.root.create_stream("z", b"packed " * 400, compress=True)
        container.root.create_nested("n", block_size=256).create_stream("x", b"x" * 900)
    return bytearray(path.read_bytes())


def link_offset(data, block):
    """Where the allocation table keeps the link of a block (table in block 1)."""
    width, block_size, data_offset = struct.unpack_from("<iii", data, 32)
    table_start = struct.unpack_from("<q", data, 48)[0]
    return data_offset + (table_start - 1) * block_size + width * block, width


def test_files_that_are_no_container(tmp_path):
    for name, data in {"empty": b"", "garbage": b"garbage" * 99, "zeros": bytes(4096)}.items():
        (tmp_path / name).write_bytes(data)
        with pytest.raises((quorell.NotAContainerError, quorell.TruncatedError)) as caught:
            quorell.open(tmp_path / name)
        assert caught.value.path.endswith(name)


def test_every_truncation(tmp_path):
    whole = small_container(tmp_path / "whole.qss")
    cut = tmp_path / "cut.qss"
    for length in list(range(0, 1024, 61)) + list(range(1024, len(whole), 509)):
        cut.write_bytes(whole[:length])
        read_everything(cut)
    cut.write_bytes(whole[:len(whole) // 2])
    assert read_everything(cut), "half a container read as if whole"


def test_circular_chains(tmp_path):
    path = tmp_path / "loop.qss"
    data = small_container(path)
    with quorell.open(path) as container:
        blocks = {"stream": container.open("S0")["s3"].first_block, "directory": container.root["S0"].first_block}
    for what, first in blocks.items():
        damaged = bytearray(data)
        second_at, width = link_offset(damaged, first)
        second = int.from_bytes(damaged[second_at:second_at + width], "little")
        at, _ = link_offset(damaged, second)
        damaged[at:at + width] = first.to_bytes(width, "little")  # the second block leads back to the first
        path.write_bytes(damaged)
        # The circle covers the length: the bytes are wrong but bounded.
        read_everything(path)
        # A length the circle would have to go round for ever to cover.
        record = damaged.find(b"s\x003\x00\x00\x00" if what == "stream" else b"S\x000\x00\x00\x00")
        struct.pack_into("<q", damaged, record + 88, 1 << 40)
        path.write_bytes(damaged)
        errors = read_everything(path)
        assert any(isinstance(error, quorell.CorruptError) for error in errors), what


def test_storages_sharing_a_directory_are_walked_once(tmp_path):
    path = tmp_path / "shared.qss"
    data = small_container(path, storages=3)
    # Point S1 and S2 at the directory of S0: a walk meets it three times.
    with quorell.open(path) as container:
        first = container.root["S0"].first_block
    for name in (b"S\x001\x00", b"S\x002\x00"):
        record = data.find(name + b"\x00\x00")
        struct.pack_into("<q", data, record + 80, first)
    path.write_bytes(data)
    seen = []
    with quorell.open(path) as container:
        paths = [p for p, _ in container.walk(onerror=seen.append)]
    assert "S0/s11" in paths and "S1/s0" not in paths
    assert len(seen) == 2 and all(isinstance(e, quorell.CorruptError) for e in seen)


@pytest.mark.parametrize("name", sorted(p.name for p in REGRESSIONS.glob("*") if not p.name.startswith("write-")))
def test_fuzzing_reproducers(name):
    read_everything(REGRESSIONS / name)


def test_random_damage(tmp_path):
    whole = small_container(tmp_path / "whole.qss")
    damaged_path = tmp_path / "damaged.qss"
    rng = random.Random(20240611)
    for _ in range(150):
        damaged = bytearray(whole)
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(len(damaged))
            damaged[at] = rng.randrange(256)
        damaged_path.write_bytes(damaged)
        read_everything(damaged_path)
