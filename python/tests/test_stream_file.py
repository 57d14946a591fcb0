"""Streams as binary file objects."""

import array
import io
import shutil

import pytest

from conftest import SAMPLE

quorell = pytest.importorskip("quorell")

BIG = SAMPLE["Kivra7i/KivMod7Win.bin"]


def test_a_stream_is_a_raw_binary_file(sample):
    with quorell.open(sample) as container, container.open("Kivra7i/KivMod7Win.bin") as stream:
        assert isinstance(stream, io.RawIOBase)
        assert stream.readable() and stream.seekable() and not stream.writable()
        assert stream.name == "Kivra7i/KivMod7Win.bin"
        assert stream.entry.size == len(BIG)


def test_readinto_fills_any_writable_buffer(sample):
    with quorell.open(sample) as container, container.open("Kivra7i/KivMod7Win.bin") as stream:
        into = bytearray(1000)
        assert stream.readinto(into) == 1000 and into == BIG[:1000]
        view = memoryview(into)[100:300]
        assert stream.readinto(view) == 200 and into[100:300] == BIG[1000:1200]
        numbers = array.array("I", bytes(40))
        assert stream.readinto(numbers) == 40 and numbers.tobytes() == BIG[1200:1240]
        with pytest.raises(TypeError):
            stream.readinto(b"read-only bytes")
        stream.seek(-10, io.SEEK_END)
        assert stream.readinto(bytearray(100)) == 10
        assert stream.readinto(bytearray(100)) == 0


def test_seek_and_tell(sample):
    with quorell.open(sample) as container, container.open("Kivra7i/KivMod7Win.bin") as stream:
        assert stream.seek(5000) == 5000 and stream.read(4) == BIG[5000:5004]
        assert stream.seek(-4, io.SEEK_CUR) == 5000 and stream.tell() == 5000
        assert stream.seek(-3, io.SEEK_END) == len(BIG) - 3 and stream.read() == BIG[-3:]
        assert stream.seek(len(BIG) + 100) == len(BIG) + 100 and stream.read(10) == b""
        with pytest.raises(ValueError):
            stream.seek(-1)
        with pytest.raises(ValueError):
            stream.seek(0, 7)


def test_reads_of_compressed_and_empty_streams(sample):
    text = SAMPLE["Kivra7i/packed.txt"]
    with quorell.open(sample) as container:
        with container.open("Kivra7i/packed.txt") as stream:
            assert stream.read(10) == text[:10]
            stream.seek(len(text) // 2)
            assert stream.read() == text[len(text) // 2:]
        with container.open("empty") as stream:
            assert stream.read() == b"" and stream.read(10) == b"" and stream.size == 0


def test_standard_library_helpers_work_on_streams(sample, tmp_path):
    with quorell.open(sample) as container:
        with container.open("Kivra7i/KivMod7Win.bin") as stream, open(tmp_path / "out", "wb") as out:
            shutil.copyfileobj(stream, out, 65536)
        assert (tmp_path / "out").read_bytes() == BIG
        with container.open("Kivra7i/packed.txt") as stream:
            lines = io.TextIOWrapper(io.BufferedReader(stream), encoding="ascii").readlines()
            assert len(lines) == 5000 and lines[0] == "compressible line of text\n"


def test_closed_stream_refuses_io(sample):
    with quorell.open(sample) as container:
        stream = container.open("readme.txt")
        stream.close()
        stream.close()  # twice is harmless
        assert stream.closed
        for call in (stream.read, stream.tell, lambda: stream.readinto(bytearray(1)), stream.readable):
            with pytest.raises(ValueError):
                call()
