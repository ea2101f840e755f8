#!/usr/bin/env python3
"""Captures one second of I2S from a simulated board, draws the latest few milliseconds
as a text scope and prints the frequencies of the two tones.

Against a real board, drop the two `sim` lines (the board is then found over USB).
"""

import numpy as np

import dirov410
from dirov410 import sim

SAMPLE_RATE = 48000  # stereo frames per second
FRAME_BYTES = 4  # 16-bit left and right samples
TONES = {"left": 440.0, "right": 1250.0}
SCOPE_FRAMES = 192  # 4 ms, drawn every other frame
SCOPE_ROWS = 9


def draw(samples: np.ndarray) -> str:
    """A text plot of int16 samples, one column per sample."""
    rows = np.round((1 - samples / 32768) * (SCOPE_ROWS - 1) / 2).astype(int)
    grid = [[" "] * len(samples) for _ in range(SCOPE_ROWS)]
    for column, row in enumerate(rows):
        grid[row][column] = "*"
    return "\n".join("|" + "".join(line) for line in grid)


def main() -> None:
    sim.use_virtual_clock(True)
    second = np.empty((SAMPLE_RATE, 2), np.int16)
    with sim.attach(), dirov410.Board() as board:
        board.host_port_i2s_init()
        board.host_port_i2s_dma_set_left_sine(TONES["left"], 0.5)
        board.host_port_i2s_dma_set_right_sine(TONES["right"], 0.25)
        board.host_port_rx_i2s_dma_enable()
        at = 0
        with board.capture(limit=SAMPLE_RATE * FRAME_BYTES, buffer=SCOPE_FRAMES * FRAME_BYTES,
                           dtype="<i2") as stream:
            for block in stream:  # a view of the packet: copied into `second` here
                frames = block.reshape(-1, 2)
                second[at:at + len(frames)] = frames
                at += len(frames)
            scope = stream.buffer.latest().view("<i2").reshape(-1, 2)
        board.host_port_i2s_dma_disable()
    print(f"left channel, latest {SCOPE_FRAMES} frames:\n{draw(scope[::2, 0])}")
    window = np.hanning(SAMPLE_RATE)
    for channel, name in enumerate(TONES):
        spectrum = np.abs(np.fft.rfft(second[:, channel] * window))
        print(f"{name}: {np.argmax(spectrum) * SAMPLE_RATE / len(second):.0f} Hz")


if __name__ == "__main__":
    main()
