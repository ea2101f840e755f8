#!/usr/bin/env python3
"""Captures one second of the I2S stream from a simulated board and saves a picture of it:
the first milliseconds of both channels and their spectra. Prints the frequency of each
channel's tone.

    python3 scope.py [--png scope.png] [--raw second.raw]

--raw also keeps the captured second: 16-bit little-endian stereo frames, 48000 of them.
Against a real board, drop the two `sim` lines (the board is then found over USB).
Needs NumPy and matplotlib (Debian: python3-numpy, python3-matplotlib).
"""

import argparse

import matplotlib
import numpy as np

import dirov410
from dirov410 import sim

matplotlib.use("Agg")  # files only, no display needed
from matplotlib import pyplot as plt  # noqa: E402

SAMPLE_RATE = 48000  # stereo frames per second
FRAME_BYTES = 4  # 16-bit left and right samples
TONES = {"left": (440.0, 0.5), "right": (1250.0, 0.25)}  # frequency, amplitude
SHOWN_MS = 5


def capture_second() -> np.ndarray:
    """One second of frames, shape (48000, 2), int16."""
    sim.use_virtual_clock(True)
    second = np.empty((SAMPLE_RATE, 2), np.int16)
    with sim.attach(), dirov410.Board() as board:
        board.host_port_i2s_init()
        board.host_port_i2s_dma_set_left_sine(*TONES["left"])
        board.host_port_i2s_dma_set_right_sine(*TONES["right"])
        board.host_port_rx_i2s_dma_enable()
        at = 0
        with board.capture(limit=SAMPLE_RATE * FRAME_BYTES, dtype="<i2") as stream:
            for block in stream:  # a view of the packet: copied into `second` here
                frames = block.reshape(-1, 2)
                second[at:at + len(frames)] = frames
                at += len(frames)
        board.host_port_i2s_dma_disable()
    if at != SAMPLE_RATE:
        raise RuntimeError(f"captured {at} frames, expected {SAMPLE_RATE}")
    return second


def spectrum(samples: np.ndarray) -> np.ndarray:
    """Magnitude in dB relative to full scale, 1 Hz per bin (a one-second window)."""
    window = np.hanning(len(samples))
    magnitude = np.abs(np.fft.rfft(samples / 32768.0 * window)) * 2 / window.sum()
    return 20 * np.log10(np.maximum(magnitude, 1e-9))


def draw(second: np.ndarray, png: str) -> None:
    figure, (scope, spectra) = plt.subplots(2, 1, figsize=(8, 6), dpi=80)
    shown = SAMPLE_RATE * SHOWN_MS // 1000
    t = np.arange(shown) * 1000 / SAMPLE_RATE
    frequencies = np.fft.rfftfreq(SAMPLE_RATE, 1 / SAMPLE_RATE)
    for channel, (name, (tone, _)) in enumerate(TONES.items()):
        scope.plot(t, second[:shown, channel] / 32768.0, label=f"{name} ({tone:.0f} Hz)")
        spectra.plot(frequencies, spectrum(second[:, channel]), label=name, linewidth=0.8)
    scope.set(title="dirov410 I2S capture (simulated board)", xlabel="time (ms)",
              ylabel="amplitude (full scale)", ylim=(-1, 1))
    spectra.set(xlabel="frequency (Hz)", ylabel="dBFS", xlim=(0, 3000), ylim=(-140, 0))
    for axes in (scope, spectra):
        axes.grid(True, alpha=0.3)
        axes.legend(loc="upper right")
    figure.tight_layout()
    figure.savefig(png)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--png", default="scope.png", help="picture to write (default scope.png)")
    parser.add_argument("--raw", help="also write the captured second here")
    args = parser.parse_args()
    second = capture_second()
    if args.raw:
        second.astype("<i2").tofile(args.raw)
    draw(second, args.png)
    for channel, name in enumerate(TONES):
        print(f"{name}: {np.argmax(spectrum(second[:, channel]))} Hz")
    print(f"wrote {args.png}")


if __name__ == "__main__":
    main()
