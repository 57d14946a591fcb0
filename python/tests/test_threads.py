"""Threads sharing one container: reads run without the GIL, and closing
the container under a reader is an error for the reader, not a crash."""

import concurrent.futures
import os
import threading

import pytest

quorell = pytest.importorskip("quorell")

CONTENTS = {f"Dir/stream{n}": os.urandom(200_000 + n * 7919) for n in range(8)}


@pytest.fixture
def many(tmp_path):
    path = tmp_path / "many.qss"
    with quorell.create(path, block_size=1024, segment_size=65536) as container:
        folder = container.root.create_storage("Dir")
        for name, data in CONTENTS.items():
            folder.create_stream(name.split("/")[1], data, compress=name.endswith("3"))
    return path


def test_threads_read_different_streams_of_one_container(many):
    def read(name, piece):
        with container.open(name) as stream:
            parts = []
            buffer = bytearray(piece)
            while count := stream.readinto(buffer):
                parts.append(bytes(buffer[:count]))
            return name, b"".join(parts)

    with quorell.open(many) as container:
        for _ in range(3):
            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                jobs = [pool.submit(read, name, 1000 + i * 3001) for i, name in enumerate(CONTENTS)]
                results = dict(job.result() for job in jobs)
            assert results == CONTENTS


def test_threads_sharing_one_stream_keep_it_whole(many):
    with quorell.open(many) as container, container.open("Dir/stream5") as stream:
        pieces = []

        def drain():
            while data := stream.read(4096):
                pieces.append(data)

        threads = [threading.Thread(target=drain) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sum(map(len, pieces)) == len(CONTENTS["Dir/stream5"])


def test_closing_the_container_under_readers(many):
    container = quorell.open(many)
    streams = [container.open(name) for name in CONTENTS]
    started = threading.Barrier(len(streams) + 1)
    outcomes = []

    def read(stream):
        started.wait()
        try:
            while stream.read(1024):
                pass
            outcomes.append("done")
        except (ValueError, quorell.Error) as error:
            outcomes.append(type(error).__name__)

    threads = [threading.Thread(target=read, args=(s,)) for s in streams]
    for thread in threads:
        thread.start()
    started.wait()
    container.close()
    for thread in threads:
        thread.join()
    assert len(outcomes) == len(streams)
    assert set(outcomes) <= {"done", "ValueError"}
