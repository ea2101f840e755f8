import logging
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import dirov410
from dirov410 import Board, DirovError, dfu, sim
from dirov410._lib import COMMANDS

FIRMWARE_V2 = Path(__file__).resolve().parents[2] / "tests" / "data" / "firmware_v2.elf"


def sent():
    return [e.data for e in sim.events(sim.EventKind.OUT)]


@pytest.mark.parametrize("method, args, text, result", [
    ("cbus_write_word", (1, 0x20, -1), b"CBUS:WRITEWORD 1,20,ffffffff\n", None),
    ("cbus_read_word", (1, 0x20), b"CBUS:READWORD 1,20\n", 0xFFFF),
    ("cbus_write_byte_stream", (2, 0x10, b"\x01\x02"), b"CBUS:WRITEBYTESTREAM 2,10,#2\n\x01\x02", None),
    ("cbus_read_byte_stream", (2, 0x10, 3), b"CBUS:READBYTESTREAM 2,10,3\n", b"\x01\x02\x00"),
    ("cbus_write_word_stream", (3, 0, b""), b"CBUS:WRITEWORDSTREAM 3,0,#0\n", None),
    ("host_port_i2s_dma_set_right_sine", (-0.25, 3), b"I2S:SETRSINE -0.250000,3.000000\n", None),
    ("uart_set_config", (1, 115200, 8, 0, 1), b"UART:SETCONFIG 1,1c200,8,0,1\n", None),
    ("load_fi_QDR5X3X", (1, 0xFFFFFFFF, 2, 0xFFFF), b"SYS:LOADFI_QDR5X3X 1,ffffffff,2,ffff\n", None),
    ("gpio_write", (0,), b"GPIO:WRITE 0\n", None),
    ("gen_version", (), b"SYS:VERSION\n", 0x00010200),
])
def test_commands(board, method, args, text, result):
    assert all(callable(getattr(board, name, None)) for name in COMMANDS)
    board.cbus_write_word(1, 0x20, 0xFFFF)
    board.cbus_write_byte_stream(2, 0x10, b"\x01\x02")
    sim.clear_events()
    assert getattr(board, method)(*args) == result
    assert sent() == [text]
    assert board.serial == "DRV410-0001" and board.state == dirov410.ConnState.MAIN_FIRMWARE
    reply, refused = board.command("SYS:VERSION"), board.command("CBUS:SETSPIMODE 9")
    assert (reply.ok, reply.value, reply.error) == (True, 0x00010200, None)
    assert (refused.ok, refused.value, refused.error) == (False, None, "Bad SPI mode")


@pytest.mark.parametrize("method, args, error", [
    ("gpio_write", (0x10000,), ValueError), ("set_booten_1", (-1,), ValueError),
    ("cbus_write_word", (1, 2, 2**31), ValueError), ("timer_sleep", (2**32,), ValueError),
    ("host_port_i2s_dma_set_left_sine", (float("nan"), 1), ValueError),
    ("cbus_write_word_stream", (1, 2, bytes(256)), ValueError),
    ("gpio_write", ("1",), TypeError), ("gpio_write", (), TypeError),
])
def test_argument_checks_send_nothing(board, method, args, error):
    with pytest.raises(error):
        getattr(board, method)(*args)
    with pytest.raises(ValueError):
        board.command("GPIO:READ\nGPIO:READ")
    assert sent() == []


@pytest.mark.parametrize("op, code, name", [
    (sim.Op.BULK_WRITE, 31, "ERROR_GEN_FAILURE"), (sim.Op.BULK_READ, 995, "ERROR_OPERATION_ABORTED"),
    (sim.Op.BULK_READ, 1167, "ERROR_DEVICE_NOT_CONNECTED"), (sim.Op.BULK_WRITE, 4242, "ERROR_4242"),
])
def test_failed_exchange_carries_windows_error(board, op, code, name):
    sim.fail_nth(op, 1, code)
    with pytest.raises(DirovError) as e:
        board.gpio_read()
    assert (e.value.function, e.value.result, e.value.code, e.value.name) == ("gpio_read", -1, code, name)
    assert name in str(e.value)
    sim.fail_nth(op, 1, code)
    with pytest.raises(DirovError, match="usb_comms"):
        board.command("SYS:VERSION")
    assert board.gpio_read() >= 0  # the next exchange works again


def test_no_board_raises_and_the_log_tells_why(caplog):
    sim.reset()
    with caplog.at_level(logging.INFO, logger="dirov410"):
        with pytest.raises(DirovError, match="Hx410DItfOpen") as e:
            Board().open()
    assert ("dirov410", logging.ERROR, "Device not connected or driver not installed") in \
        caplog.record_tuples
    assert e.value.message == "Device not connected or driver not installed"
    lines = []
    dirov410.set_log_handler(lambda level, line: lines.append((level, line)))
    try:
        with pytest.raises(DirovError):
            Board().open()
    finally:
        dirov410.set_log_handler(None)
    assert (dirov410.LOG_ERROR, "Device not connected or driver not installed") in lines
    no_usbfs = (dirov410.LOG_ERROR, "No USB access: /dev/bus/usb does not exist (no usbfs; a "
                "container needs the host's /dev/bus/usb)")
    assert (no_usbfs in lines) == (sys.platform == "linux" and not os.path.exists("/dev/bus/usb"))
    # A bad DIROV410_LOG is said once, through logging; nothing reaches stdout.
    package = Path(dirov410.__file__).resolve().parents[1]
    done = subprocess.run(
        [sys.executable, "-c", "import logging; logging.basicConfig(); import dirov410; "
         "dirov410.sim.attach(); dirov410.Board().open().gpio_read()"],
        capture_output=True, text=True,
        env=dict(os.environ, PYTHONPATH=str(package), DIROV410_LOG="bogus"))
    assert done.returncode == 0 and done.stdout == ""
    assert done.stderr.count("WARNING:dirov410:DIROV410_LOG=bogus is none of") == 1


def test_a_silent_board_times_out_and_never_holds_off_ctrl_c(simulated, request):
    # A runner may start the tests with SIGINT ignored (a shell's background job):
    # Ctrl-C is what is tested, so Python's own handler takes it for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGINT, previous))
    with Board(timeout=0.1) as board:
        simulated.set_silent()
        with pytest.raises(DirovError, match="semaphore timeout") as e:
            board.gpio_read()
        assert (e.value.code, e.value.timed_out) == (121, True)
        simulated.set_silent(False)
        simulated.set_stream(sim.Pattern.OFF)
        with board.capture(timeout=0.2) as stream, pytest.raises(DirovError) as e:
            next(iter(stream))
        assert e.value.timed_out
        Board(timeout=0)
        simulated.set_silent()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            board.gpio_read()
        assert time.monotonic() - started < 10
        simulated.set_silent(False)


@pytest.mark.parametrize("use_numpy", [True, False])
def test_capture_is_the_counter_stream_without_copies(board, simulated, tmp_path, use_numpy):
    simulated.set_stream(sim.Pattern.COUNTER, restart=True)
    limit, got = 7 * 20480 + 1000, []
    raw = tmp_path / "capture.raw"
    with board.capture(save_to=raw, limit=limit, buffer=65536, numpy=use_numpy) as stream:
        for block in stream:
            array = block if use_numpy else np.frombuffer(block, np.uint8)
            assert array.__array_interface__["data"][0] == stream.packet.address  # no copy
            assert not array.flags.writeable
            del array
            got.append(bytes(block))
            recent = stream.buffer.latest(4096)
            first = int.from_bytes(bytes(recent[:4]), "little")
            assert bytes(recent) == sim.counter_bytes(4 * first, 4096)
        assert (stream.stats.read_packets, stream.stats.read_bytes) == (8, limit)
    assert [len(g) for g in got] == [20480] * 7 + [1000]
    assert b"".join(got) == sim.counter_bytes(0, limit) == raw.read_bytes()
    if use_numpy:
        simulated.set_stream(restart=True)
        with board.capture(limit=8, dtype="<u4") as stream:
            assert next(stream).tolist() == [0, 1]


def test_capture_ends_with_an_error_when_the_stream_fails(board, simulated, tmp_path):
    simulated.set_stream(sim.Pattern.COUNTER)
    sim.fail_nth(sim.Op.STREAM_WAIT, 3, 1167)
    with pytest.raises(DirovError, match="the board was disconnected") as e:
        with board.capture(save_to=tmp_path / "a.raw", buffer=4096) as stream:
            kept = stream.buffer
            for _ in stream:
                pass
    assert (e.value.code, e.value.name, e.value.disconnected) == \
        (1167, "ERROR_DEVICE_NOT_CONNECTED", True)
    with pytest.raises(RuntimeError):
        kept.latest()
    with board.capture(save_to=tmp_path / "b.raw", limit=5) as stream:  # all was stopped
        assert [len(b) for b in stream] == [5]
    assert (tmp_path / "b.raw").stat().st_size == 5
    with pytest.raises(ValueError):
        board.capture(limit=0)


def test_dfu_files_and_upgrade_end_to_end(board, simulated, tmp_path, caplog):
    path = tmp_path / "fw.dfu"
    dfu.create(FIRMWARE_V2, path)
    image = dfu.read(path)
    assert image.count == len(image.records()) > 1 and image.data == path.read_bytes()
    with pytest.raises(DirovError) as e:
        dfu.check_suffix(path)
    assert e.value.reason in ("BAD_LENGTH", "BAD_SIGNATURE")
    suffix = dfu.add_suffix(path, 0x1D50, 0x6410, 0x0100)
    assert dfu.read_suffix(path) == suffix and (suffix.vendor_id, suffix.dfu_version) == (0x1D50, 0x100)
    dfu.check_suffix(path)
    assert dfu.read(path) == image
    with pytest.raises(FileNotFoundError):
        dfu.create(tmp_path / "missing.elf", path)
    simulated.dfu_status_at_block(2, 7)
    with pytest.raises(DirovError) as e:
        board.upgrade(path)
    assert (e.value.function, e.value.reason) == ("FirmwareUpgrade", "errVERIFY")
    blocks = []
    caplog.set_level(logging.INFO, logger="dirov410")
    caplog.clear()
    board.open().upgrade(path, progress=lambda block, count: blocks.append((block, count)))
    assert blocks == [(b, image.count) for b in range(1, image.count + 1)]
    assert caplog.records and all(r.levelno < logging.ERROR for r in caplog.records), \
        "the retries of an upgrade that succeeds are no errors"
    assert board.firmware_version == simulated.firmware_version == 0x00020400
    assert simulated.firmware_image() == image.data
    dfu.remove_suffix(path)
    assert path.read_bytes() == image.data


def test_imports_and_captures_without_numpy(simulated):
    script = (
        "import sys; sys.modules['numpy'] = None\n"
        "import dirov410\nfrom dirov410 import sim\n"
        "assert not dirov410.numpy_available()\n"
        "sim.use_virtual_clock(True); s = sim.attach(); s.set_stream(sim.Pattern.COUNTER)\n"
        "with dirov410.Board() as b, b.capture(limit=30000, buffer=8192) as stream:\n"
        "    views = [bytes(v) for v in stream]\n"
        "    assert isinstance(stream.buffer.latest(), bytearray)\n"
        "assert b''.join(views) == sim.counter_bytes(0, 30000)\n")
    package = Path(dirov410.__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=str(package))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_scope_example_draws_both_tones(tmp_path):
    example = Path(__file__).resolve().parents[2] / "examples" / "python" / "scope.py"
    package = Path(dirov410.__file__).resolve().parents[1]
    png, raw = tmp_path / "scope.png", tmp_path / "second.raw"
    done = subprocess.run([sys.executable, str(example), "--png", str(png), "--raw", str(raw)],
                          capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(package)))
    assert done.returncode == 0, done.stderr
    assert "left: 440 Hz" in done.stdout and "right: 1250 Hz" in done.stdout
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 10000
    frames = np.fromfile(raw, "<i2").reshape(-1, 2) / 32768.0  # the captured second itself
    for channel, (tone, amplitude) in enumerate([(440, 0.5), (1250, 0.25)]):
        spectrum = np.abs(np.fft.rfft(frames[:, channel])) * 2 / len(frames)
        assert len(frames) == 48000 and np.argmax(spectrum) == tone
        assert abs(spectrum[tone] - amplitude) < 0.01 and np.sort(spectrum)[-2] < 0.01
