"""Reading containers: storages as mappings, paths, walking, entries."""

import pytest

from conftest import SAMPLE

quorell = pytest.importorskip("quorell")


def test_every_stream_reads_back_as_written(sample):
    with quorell.open(sample) as container:
        for path, data in SAMPLE.items():
            with container.open(path) as stream:
                assert stream.size == len(data)
                assert stream.read() == data, path


def test_backslash_and_slash_paths_name_the_same_stream(sample):
    with quorell.open(sample) as container:
        with container.open("Kivra7i\\Deeper\\leaf") as stream:
            assert stream.read() == b"leaf"
        with container.open("/Kivra7i//Deeper/leaf") as stream:
            assert stream.read() == b"leaf"


def test_storage_is_a_mapping_in_directory_order(sample):
    with quorell.open(sample) as container:
        root = container.root
        assert list(root) == ["readme.txt", "empty", "Kivra7i", "inner.qss"]
        assert list(root.keys()) == list(root)
        assert len(root) == 4
        assert "Kivra7i" in root and "kivra7i" not in root and 7 not in root and "a\0b" not in root
        assert root.get("missing") is None
        with pytest.raises(KeyError):
            root["missing"]
        with pytest.raises(quorell.NotFoundError) as caught:
            root["missing"]
        assert caught.value.code == 0x81016002
        assert [name for name, _ in root.items()] == list(root)
        assert root.load_error is None


def test_entries_describe_kind_size_and_stored_mode(sample):
    with quorell.open(sample) as container:
        root = container.root
        readme = root["readme.txt"]
        assert (readme.name, readme.kind, readme.size, readme.head_offset) == ("readme.txt", "stream", 63, 0)
        assert not readme.compressed and readme.stored_mode == "plain"
        assert root["Kivra7i"].kind == "storage" and root["Kivra7i"].stored_mode is None
        assert root["inner.qss"].kind == "nested"
        packed = container.open("Kivra7i")["packed.txt"]
        assert packed.compressed and packed.stored_mode == "lz4"
        assert 0 < packed.stored_length < packed.size == len(SAMPLE["Kivra7i/packed.txt"])
        assert "packed.txt" in repr(packed)


def test_open_returns_storages_and_nested_roots(sample):
    with quorell.open(sample) as container:
        kivra = container.open("Kivra7i")
        assert isinstance(kivra, quorell.Storage) and kivra.path == "Kivra7i"
        assert list(kivra) == ["KivMod7Win.bin", "packed.txt", "Deeper"]
        inner = container.open("inner.qss")
        assert isinstance(inner, quorell.Storage) and list(inner) == ["data.bin", "Docs"]
        assert container.open("").path == "" and container.open("Kivra7i/").path == "Kivra7i"
        # Once open, a storage stays open with its container: a second stream
        # of it, or the storage itself, opens again through it.
        with container.open("Kivra7i/packed.txt"), container.open("Kivra7i/KivMod7Win.bin"):
            assert list(container.open("Kivra7i")) == list(kivra)
    with quorell.open(sample) as container:
        # A nested container as its raw bytes: a container of its own.
        raw = container.open("inner.qss", as_stream=True)
        assert isinstance(raw, quorell.Stream)
        assert raw.read(28).startswith(b"Quorell")


def test_missing_paths_name_the_part_that_failed(sample):
    with quorell.open(sample) as container:
        with pytest.raises(quorell.NotFoundError) as caught:
            container.open("Kivra7i/Nope/leaf")
        assert caught.value.path == "Kivra7i/Nope"
        assert "no such entry" in str(caught.value)
        with pytest.raises(quorell.Error):
            container.open("readme.txt/below")  # a stream is no storage
    with pytest.raises(quorell.NotFoundError):
        quorell.open(sample.parent / "absent.qss")


def test_walk_visits_parents_before_children(sample):
    with quorell.open(sample) as container:
        paths = [path for path, _ in container.walk()]
        assert paths == [
            "readme.txt", "empty", "Kivra7i", "Kivra7i/KivMod7Win.bin", "Kivra7i/packed.txt",
            "Kivra7i/Deeper", "Kivra7i/Deeper/leaf", "inner.qss", "inner.qss/data.bin",
            "inner.qss/Docs", "inner.qss/Docs/notes",
        ]
        assert [p for p, _ in container.walk(nested=False)][-1] == "inner.qss"
        assert [p for p, _ in container.walk("Kivra7i/Deeper")] == ["Kivra7i/Deeper/leaf"]
        streams = {p: e.size for p, e in container.walk() if e.kind == "stream"}
        assert streams == {p: len(d) for p, d in SAMPLE.items()}
        # A walk cut short releases what it opened: the storages open again.
        next(iter(container.walk("Kivra7i")))
        assert list(container.open("Kivra7i/Deeper")) == ["leaf"]


def test_an_open_entry_is_busy_until_closed(sample):
    with quorell.open(sample) as container:
        first = container.open("readme.txt")
        with pytest.raises(quorell.Error):
            container.open("readme.txt")
        first.close()
        with container.open("readme.txt") as again:
            assert again.read(1) == b"a"


def test_closing_the_container_closes_what_it_opened(sample):
    container = quorell.open(sample)
    stream = container.open("readme.txt")
    storage = container.open("Kivra7i")
    container.close()
    assert stream.closed and storage.closed and container.closed
    with pytest.raises(ValueError):
        stream.read()
    with pytest.raises(ValueError):
        len(storage)
    with pytest.raises(ValueError):
        container.root


def test_version_is_the_librarys():
    assert quorell.__version__.count(".") == 2
    assert all(part.isdigit() for part in quorell.__version__.split("."))
