#!/usr/bin/env python3
"""Times the Python module quorell against the qss tool on the same work.

  1. a 1 GiB plain stream read through Stream.readinto in 1 MiB pieces,
     next to `qss cat` of the same stream into /dev/null (aim: at least 0.9
     of its speed);
  2. 100,000 streams opened (and closed) by path, spread over 1,000 names of
     one storage.

Prints the median of --runs runs. The container is written under --dir and
deleted afterwards; it is read once first so both sides meet the page cache.
Run it with PYTHONPATH pointing at the built module (scripts/bench does).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import quorell

PIECE = 1 << 20
STREAM = "Kivra7i/KivMod7Win.bin"


class Pattern:
    """A file object giving size bytes of one random MiB over and over."""

    def __init__(self, size):
        self.left = size
        self.piece = os.urandom(PIECE)

    def read(self, count=-1):
        count = self.left if count < 0 else min(count, self.left)
        self.left -= count
        return self.piece[:count] if count <= PIECE else self.piece * (count // PIECE) + self.piece[: count % PIECE]


def build(path, size, names):
    with quorell.create(path) as container:
        container.root.create_storage("Kivra7i").create_stream("KivMod7Win.bin", Pattern(size))
        folder = container.root.create_storage("Many")
        for n in range(names):
            folder.create_stream(f"s{n}", b"x")


def read_with_module(path):
    buffer = bytearray(PIECE)
    total = 0
    start = time.perf_counter()
    with quorell.open(path) as container, container.open(STREAM) as stream:
        while count := stream.readinto(buffer):
            total += count
    return time.perf_counter() - start, total


def read_with_qss(qss, path):
    start = time.perf_counter()
    subprocess.run([qss, "cat", path, STREAM], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def open_by_name(path, opens, names):
    paths = [f"Many/s{n}" for n in range(names)]
    with quorell.open(path) as container:
        start = time.perf_counter()
        for n in range(opens):
            container.open(paths[n % names]).close()
        return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qss", required=True, help="the qss program")
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the container is written")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scale", type=int, default=1, help="divide every size by this")
    args = parser.parse_args()

    size = (1 << 30) // args.scale
    opens = 100_000 // args.scale
    names = 1000
    folder = tempfile.mkdtemp(prefix="quorell-bench-", dir=args.dir)
    path = os.path.join(folder, "bench.qss")
    try:
        build(path, size, names)
        read_with_module(path)  # into the page cache
        module_times, qss_times, open_times = [], [], []
        for _ in range(args.runs):
            seconds, total = read_with_module(path)
            if total != size:
                sys.exit(f"read {total} bytes of {size}")
            module_times.append(seconds)
            qss_times.append(read_with_qss(args.qss, path))
            open_times.append(open_by_name(path, opens, names))
    finally:
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)

    module, qss, opened = (statistics.median(t) for t in (module_times, qss_times, open_times))
    mib = size / (1 << 20)
    print(f"quorell (Python {sys.version.split()[0]}), medians of {args.runs} runs")
    print(f"{'case':<48} {'ours':>12} {'anchor':>12} {'ratio':>7}  aim")
    print(f"{f'read {mib:.0f} MiB via readinto, 1 MiB pieces':<48} {mib / module:>8.0f} MB/s"
          f" {mib / qss:>8.0f} MB/s {qss / module:>7.2f}  >= 0.90 (anchor: qss cat)")
    print(f"{f'{opens} opens by path (1000 names)':<48} {opened:>10.3f} s"
          f" {'':>12} {'':>7}  {opened / opens * 1e6:.1f} us per open")


if __name__ == "__main__":
    main()
