#!/usr/bin/env python3
"""Capture through the Python iterator against the C reader, in one run.

Both read the simulated board's counter stream (20480-byte packets, as fast as the board
makes them, on the virtual clock) through GetNextPacket and touch no data: the C reader is
bench_reader (BM_CReader); the Python reader iterates `board.capture()` as NumPy arrays and as
memoryviews. Rounds alternate C and Python so that both see the same machine load.

    DIROV410_LIBRARY=build/libdirov410.so PYTHONPATH=python \\
        python3 bench/bench_python_capture.py --c-reader build/bench/bench_reader
"""

import argparse
import json
import statistics
import subprocess
import tempfile
import time

import dirov410
from dirov410 import sim

GIB = 1 << 30


def python_rate(total: int, use_numpy: bool) -> float:
    """Bytes per second of one capture of `total` bytes through the iterator."""
    sim.reset()
    sim.use_virtual_clock(True)
    with sim.attach() as simulated, dirov410.Board() as board:
        simulated.set_stream(sim.Pattern.COUNTER)
        start = time.perf_counter()
        with board.capture(limit=total, numpy=use_numpy) as stream:
            for _ in stream:
                pass
        seconds = time.perf_counter() - start
    sim.reset()
    return total / seconds


def c_rate(reader: str) -> float:
    """Bytes per second of BM_CReader (the mean of its runs of 1 GiB)."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([reader, f"--benchmark_out={out.name}", "--benchmark_out_format=json"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        return json.load(out)["benchmarks"][0]["bytes_per_second"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--c-reader", default="build/bench/bench_reader")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    rates = {"C reader": [], "Python, NumPy arrays": [], "Python, memoryviews": []}
    for _ in range(args.rounds):
        rates["C reader"].append(c_rate(args.c_reader))
        rates["Python, NumPy arrays"].append(python_rate(GIB, True))
        rates["Python, memoryviews"].append(python_rate(GIB, False))
    c = statistics.median(rates["C reader"])
    print(f"{'reader':24} {'median MB/s':>12} {'of C':>6}   (1 GiB per run, {args.rounds} runs)")
    for name, values in rates.items():
        rate = statistics.median(values)
        print(f"{name:24} {rate / 1e6:12.0f} {100 * rate / c:5.0f}%")


if __name__ == "__main__":
    main()
