"""Writing: create() builds beside the destination and replaces it only on
commit; in-place writes; the library's refusals."""

import io
import os

import pytest

quorell = pytest.importorskip("quorell")


def read_all(path):
    contents = {}
    with quorell.open(path) as container:
        for name, entry in container.walk():
            if entry.kind == "stream":
                with container.open(name) as stream:
                    contents[name] = stream.read()
    return contents


def test_destination_changes_only_on_commit(tmp_path):
    target = tmp_path / "box.qss"
    with quorell.create(target) as container:
        container.root.create_stream("v", b"1")
    original = target.read_bytes()

    container = quorell.create(target)
    container.root.create_stream("v", b"2")
    assert target.read_bytes() == original
    assert any(name.startswith(".box.qss.qss-tmp-") for name in os.listdir(tmp_path))
    container.commit()
    assert container.closed
    assert read_all(target) == {"v": b"2"}
    assert os.listdir(tmp_path) == ["box.qss"]


def test_an_exception_or_discard_leaves_the_destination(tmp_path):
    target = tmp_path / "box.qss"
    target.write_bytes(b"not touched")
    with pytest.raises(RuntimeError):
        with quorell.create(target) as container:
            container.root.create_stream("v", b"new")
            raise RuntimeError("stop")
    container = quorell.create(target)
    container.root.create_stream("v", b"new")
    container.discard()
    assert target.read_bytes() == b"not touched"
    assert os.listdir(tmp_path) == ["box.qss"]


def test_storages_left_open_are_closed_by_the_commit(tmp_path):
    target = tmp_path / "box.qss"
    with quorell.create(target, block_size=512, entry_width=8) as container:
        deep = container.root.create_storage("A").create_storage("B")
        nested = container.root.create_nested("n.qss", block_size=1024)
        nested.create_stream("x", io.BytesIO(b"y" * 3_000_000))
        deep.create_stream("c", b"c" * 700, compress=True)
    assert deep.closed and nested.closed
    assert read_all(target) == {"A/B/c": b"c" * 700, "n.qss/x": b"y" * 3_000_000}


def test_small_segments_make_several_files(tmp_path):
    target = tmp_path / "seg.qss"
    data = os.urandom(50_000)
    with quorell.create(target, block_size=512, segment_size=16384) as container:
        container.root.create_stream("data", data)
    assert (tmp_path / "seg.qss.F0002").exists()
    assert read_all(target) == {"data": data}


def test_writing_in_place(tmp_path):
    target = tmp_path / "box.qss"
    with quorell.create(target) as container:
        container.root.create_stream("a", b"a")
    with quorell.open(target, writable=True) as container:
        assert container.writable
        container.root.create_storage("S").create_stream("b", b"b")
        container.commit()
        assert not container.closed
        container.root.create_stream("c", b"c")
    assert read_all(target) == {"a": b"a", "S/b": b"b", "c": b"c"}


def test_the_library_refusals_are_errors(tmp_path):
    with pytest.raises(quorell.Error) as caught:
        quorell.create(tmp_path / "bad.qss", block_size=1000)
    assert caught.value.code == 0x80070057
    with pytest.raises(quorell.Error):
        quorell.create(tmp_path / "bad.qss", entry_width=3)
    assert not list(tmp_path.iterdir())

    with quorell.create(tmp_path / "ok.qss") as container:
        root = container.root
        root.create_stream("name", b"")
        for bad in ("name", "", "x" * 32):
            with pytest.raises(quorell.Error):
                root.create_stream(bad, b"")
        with pytest.raises(ValueError):
            root.create_storage("nul\0inside")
        with pytest.raises(TypeError):
            root.create_stream("text", "not bytes")
        root.create_stream("x" * 31, b"longest name")
    with quorell.open(tmp_path / "ok.qss") as container:
        with pytest.raises(quorell.Error) as caught:
            container.root.create_stream("more", b"")
        assert "read-only" in caught.value.message


def test_names_beyond_ascii_round_trip(tmp_path):
    names = ["Grüße", "日本語", "emoji \U0001F600", "lone \udc80"]
    with quorell.create(tmp_path / "n.qss") as container:
        for name in names:
            container.root.create_stream(name, name.encode("utf-8", "surrogatepass"))
    with quorell.open(tmp_path / "n.qss") as container:
        assert list(container.root) == names
        for name in names:
            assert container.open(name).read() == name.encode("utf-8", "surrogatepass")
