#!/usr/bin/env python3
"""Capture through the Python iterator against the C reader, in one run.

Both read the simulated board's counter stream (20480-byte packets, as fast as the board
makes them, on the virtual clock) through GetNextPacket and touch no data: the C reader is
bench_reader (BM_CReader: three captures of 1 GiB); the Python reader makes three captures
of 1 GiB with `board.capture()`, as NumPy arrays and as memoryviews. Every measurement runs
in a fresh process, since the packet store a process has grown stays with it, and rounds
alternate the readers so that they share the machine's load alike.

    DIROV410_LIBRARY=build/libdirov410.so PYTHONPATH=python \\
        python3 bench/bench_python_capture.py --c-reader build/bench/bench_reader
"""

import argparse
import json
import re
import statistics
import subprocess
import sys
import tempfile
import time

GIB = 1 << 30
CAPTURES = 3


def python_rate(use_numpy: bool) -> float:
    """Bytes per second of CAPTURES captures of 1 GiB through the iterator."""
    import dirov410
    from dirov410 import sim

    sim.use_virtual_clock(True)
    with sim.attach() as simulated, dirov410.Board() as board:
        simulated.set_stream(sim.Pattern.COUNTER)
        seconds = 0.0
        for _ in range(CAPTURES):
            start = time.perf_counter()
            with board.capture(limit=GIB, numpy=use_numpy) as stream:
                for _ in stream:
                    pass
            seconds += time.perf_counter() - start
    return CAPTURES * GIB / seconds


def c_rate(reader: str) -> float:
    """Bytes per second of BM_CReader."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([reader, f"--benchmark_out={out.name}", "--benchmark_out_format=json"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        return json.load(out)["benchmarks"][0]["bytes_per_second"]


def python_rate_in_child(mode: str) -> float:
    done = subprocess.run([sys.executable, __file__, "--measure", mode], check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return float(re.search(r"^rate (\S+)$", done.stdout, re.MULTILINE).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--c-reader", default="build/bench/bench_reader")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--measure", choices=["numpy", "memoryview"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:  # one measurement, in this process, among the library's own lines
        print(f"rate {python_rate(args.measure == 'numpy')}", flush=True)
        return
    rates = {"C reader": [], "Python, NumPy arrays": [], "Python, memoryviews": []}
    for _ in range(args.rounds):
        rates["C reader"].append(c_rate(args.c_reader))
        rates["Python, NumPy arrays"].append(python_rate_in_child("numpy"))
        rates["Python, memoryviews"].append(python_rate_in_child("memoryview"))
    c = statistics.median(rates["C reader"])
    print(f"{'reader':22} {'median MB/s':>11} {'of C':>5}  runs (MB/s)")
    for name, values in rates.items():
        rate = statistics.median(values)
        runs = " ".join(f"{v / 1e6:.0f}" for v in values)
        print(f"{name:22} {rate / 1e6:11.0f} {100 * rate / c:4.0f}%  {runs}")


if __name__ == "__main__":
    main()
