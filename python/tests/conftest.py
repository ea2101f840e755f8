import importlib.util
import sys
from pathlib import Path

import pytest

# Without an installed package, test the source tree.
if importlib.util.find_spec("dirov410") is None:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from dirov410 import Board, sim  # noqa: E402


@pytest.fixture
def simulated():
    """A simulated board in its main firmware, on the virtual clock."""
    sim.reset()
    sim.use_virtual_clock(True)
    board = sim.attach(reenumerate_ms=50)
    yield board
    sim.reset()


@pytest.fixture
def board(simulated):
    with Board() as b:
        sim.clear_events()
        yield b
