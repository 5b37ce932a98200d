# Black-box tests of tavorin-device-sim and tavorin-receiver against small loopback peers.
"""Runs the built companions (natively, or the .exe files through an emulator
such as wine) against TCP readers and UDP senders written here, and checks
what they send, print and return.

    python3 companions_test.py --sim build/native/tools/tavorin-device-sim \\
        --receiver build/native/tools/tavorin-receiver [Class.test ...]
    python3 companions_test.py --sim build/windows/tools/tavorin-device-sim.exe \\
        --receiver build/windows/tools/tavorin-receiver.exe --emulator scripts/wine-run

TAVORIN_TEST_TIME_SCALE (float, default 1) multiplies every deadline. Every
program started here is ended by its own process id if it outlives its test.
"""

import argparse
import math
import os
import re
import signal
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402  (tests/ is put on the path just above)
from harness import LOOPBACK, seconds  # noqa: E402

# Deadlines before scaling: a start (its ready line), an exit.
START = 15
EXIT = 10
RECORD = 48

SENT_LINE = re.compile(r"^Sent (\d+) poses, (\d+) bytes, fnv1a64 ([0-9a-f]{16})$")
RECEIVED_LINE = re.compile(
    r"^Received (\d+) datagrams, (\d+) bytes, (\d+) of exactly 48 bytes, fnv1a64 ([0-9a-f]{16})$")


class Tools:
    """The programs under test and how they are run."""

    def __init__(self, sim, receiver, emulator):
        self.sim = sim
        self.receiver = receiver
        self.emulator = list(emulator)


TOOLS = None  # set in main()


def fnv1a64(data):
    # Written out here rather than taken from the tools, so a wrong constant
    # or byte order in their digest shows up as a mismatch.
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def run(tool, args):
    return harness.Process(TOOLS.emulator + [tool] + list(args))


def start_simulator(port, *args):
    return harness.start_ready(TOOLS.emulator + [TOOLS.sim, "--port", port, *args],
                               r"^Listening on %s:%d$" % (re.escape(LOOPBACK), port), START)


def start_receiver(port, *args):
    return harness.start_ready(TOOLS.emulator + [TOOLS.receiver, port, *args],
                               r"^Listening on udp %s:%d$" % (re.escape(LOOPBACK), port), START)


def only_line(program, pattern):
    found = [m for m in (pattern.match(line) for line in program.lines()) if m]
    if len(found) != 1:
        raise AssertionError("expected one line matching %r\n%s" % (pattern.pattern, program.describe()))
    return found[0]


def read_stream(port, base_seconds):
    """Connects, reads to the end of the stream; returns the bytes and (time, size) per read."""
    deadline = harness.Deadline(base_seconds)
    data = bytearray()
    arrivals = []
    with socket.create_connection((LOOPBACK, port), timeout=deadline.left()) as link:
        for _ in range(10**7):  # bounded: the deadline ends it much sooner
            if deadline.passed():
                break
            link.settimeout(deadline.left())
            piece = link.recv(65536)
            if not piece:
                return bytes(data), arrivals
            arrivals.append((time.monotonic(), len(piece)))
            data += piece
    raise AssertionError("stream not ended within %.1f s (%d bytes so far)"
                         % (seconds(base_seconds), len(data)))


def decode_poses(data):
    if len(data) % RECORD:
        raise AssertionError("%d bytes is not a whole number of poses" % len(data))
    return [struct.unpack_from("<6d", data, offset) for offset in range(0, len(data), RECORD)]


def check_head_motion(test, poses, rate):
    """Plausible, smooth, moving: what a wrong byte order or a torn record breaks."""
    limits = (30, 30, 30, 180, 90, 180)  # cm for x y z, degrees for yaw pitch roll
    # No head turns or slides faster than this per second, in cm or degrees.
    fastest = 200.0
    for index, pose in enumerate(poses):
        for axis, value in enumerate(pose):
            test.assertTrue(math.isfinite(value) and abs(value) <= limits[axis],
                            "pose %d axis %d out of range: %r" % (index, axis, pose))
    for index in range(1, len(poses)):
        for axis in range(6):
            step = abs(poses[index][axis] - poses[index - 1][axis])
            test.assertLessEqual(step, fastest / rate, "pose %d axis %d jumps by %g: %r -> %r"
                                 % (index, axis, step, poses[index - 1], poses[index]))
    for axis in range(6):
        values = [pose[axis] for pose in poses]
        test.assertGreater(max(values) - min(values), 1e-3, "axis %d does not move" % axis)


def stream_once(test, rate, count):
    port = harness.free_port(socket.SOCK_STREAM)
    with start_simulator(port, "--rate", rate, "--count", count) as program:
        # The stream's own length is real time, not a deadline to stretch.
        data, arrivals = read_stream(port, EXIT + count / rate / harness.SCALE)
        code = program.finish(EXIT)
        test.assertEqual(code, 0, program.describe())
        sent = only_line(program, SENT_LINE)
    return data, arrivals, sent


def send_failed(program):
    return any(line.startswith("tavorin-device-sim: send failed after ")
               for line in program.stderr_lines())


class Simulator(unittest.TestCase):
    def test_sim_stream(self):
        """Two runs: what arrives equals the summary, decodes as poses, and repeats exactly."""
        rate, count = 2000, 400
        digests = []
        for _ in range(2):
            data, _arrivals, sent = stream_once(self, rate, count)
            self.assertEqual(len(data), count * RECORD, "bytes received")
            self.assertEqual((int(sent.group(1)), int(sent.group(2))), (count, len(data)),
                             "summary %r disagrees with %d bytes received" % (sent.group(0), len(data)))
            self.assertEqual(sent.group(3), fnv1a64(data), "summary digest, digest of the received bytes")
            check_head_motion(self, decode_poses(data), rate)
            digests.append(sent.group(3))
        self.assertEqual(digests[0], digests[1], "two runs with the same options differ")

    def test_sim_pacing(self):
        """101 poses at 100 Hz span one second: neither a burst nor a drifting schedule."""
        rate, count = 100, 101
        data, arrivals, _sent = stream_once(self, rate, count)
        self.assertEqual(len(data), count * RECORD, "bytes received")
        span = arrivals[-1][0] - arrivals[0][0]
        # A measured span, not a deadline: not scaled. Under wine the reader
        # sees late wake-ups of its own: more room above.
        latest = 1.3 if TOOLS.emulator else 1.15
        self.assertTrue(0.95 <= span <= latest, "first to last pose took %.3f s, expected about 1 s" % span)
        # Half-way through the schedule about half the poses should have come.
        halfway = arrivals[0][0] + 0.5
        early = sum(size for at, size in arrivals if at <= halfway) // RECORD
        self.assertTrue(35 <= early <= 65, "%d poses within the first half second, expected about 51" % early)

    def test_sim_peer_gone(self):
        """A relay that disconnects mid-stream gives an error and an exit, not a hang or a signal death."""
        port = harness.free_port(socket.SOCK_STREAM)
        with start_simulator(port, "--rate", 1000, "--count", 1000000) as program:
            with socket.create_connection((LOOPBACK, port), timeout=seconds(EXIT)) as link:
                got = 0
                for _ in range(10 * RECORD):  # bounded: each read brings a byte at least
                    if got >= 10 * RECORD:
                        break
                    piece = link.recv(4096)
                    self.assertTrue(piece, "stream ended early")
                    got += len(piece)
            code = program.finish(EXIT)
            self.assertEqual(code, 2, "exit status after the peer left\n" + program.describe())
            self.assertTrue(send_failed(program), "no send error reported\n" + program.describe())
            sent = only_line(program, SENT_LINE)
            self.assertTrue(10 <= int(sent.group(1)) < 1000000, "summary %r" % sent.group(0))

    def test_sim_peer_stalls(self):
        """A relay that stays connected but stops reading: the simulator gives up
        on its send timeout instead of blocking for ever."""
        port = harness.free_port(socket.SOCK_STREAM)
        with start_simulator(port, "--rate", 100000, "--count", 100000000) as program:
            with socket.create_connection((LOOPBACK, port), timeout=seconds(EXIT)) as link:
                link.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                self.assertTrue(link.recv(RECORD), "nothing streamed")
                # Never read again. The pose that no longer fits may go out in
                # part before its first 5 s timeout, and fail on the next one:
                # those 10 s are the simulator's own, not scaled.
                code = program.finish(EXIT + 10 / harness.SCALE)
            self.assertEqual(code, 2, "exit status with a stalled peer\n" + program.describe())
            self.assertTrue(send_failed(program), "no send error reported\n" + program.describe())

    def test_sim_accept_timeout(self):
        """Nobody connects: the simulator gives up at its deadline."""
        port = harness.free_port(socket.SOCK_STREAM)
        with start_simulator(port, "--accept-timeout", 0.5) as program:
            began = time.monotonic()
            code = program.finish(EXIT)
            waited = time.monotonic() - began
            self.assertEqual(code, 2, program.describe())
            self.assertLess(waited, 0.5 + seconds(EXIT) / 2, "time taken to give up")
            self.assertEqual(program.stderr_lines(), ["tavorin-device-sim: no relay connected within 0.5 s"],
                             program.describe())


def pose_text(pose):
    return "x %.2f y %.2f z %.2f yaw %.2f pitch %.2f roll %.2f" % pose


class Receiver(unittest.TestCase):
    def test_receiver_decode(self):
        """Known datagrams in, exact counts, digest and the decoded last pose out."""
        pose_a = (1.25, -2.5, 3.75, 10.0, -5.0, 2.5)
        pose_b = (-7.5, 0.25, 12.5, -33.75, 89.5, -170.0625)
        pose_c = (99.0, 99.0, 99.0, 99.0, 99.0, 99.0)
        datagrams = [
            struct.pack("<6d", *pose_a),
            bytes([0xAB]) * 20,                               # too short: counted, not decoded
            b"",                                              # empty: still a datagram
            struct.pack("<6d", *pose_b) + bytes(range(16)),   # longer: the first 48 bytes count
            struct.pack("<6d", *pose_c)[:47],                 # one byte short of a pose
        ]
        port = harness.free_port(socket.SOCK_DGRAM)
        with start_receiver(port, "--count", len(datagrams), "--seconds", seconds(EXIT),
                            "--quiet") as program:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                for datagram in datagrams:
                    sender.sendto(datagram, (LOOPBACK, port))
            code = program.finish(EXIT)
        self.assertEqual(code, 0, program.describe())
        received = only_line(program, RECEIVED_LINE)
        payload = b"".join(datagrams)
        expected = (str(len(datagrams)), str(len(payload)), "1", fnv1a64(payload))
        self.assertEqual(received.groups(), expected, "summary %r" % received.group(0))
        self.assertIn("Last pose: " + pose_text(pose_b), program.lines(), program.describe())
        self.assertIn("Stopped: datagram count reached", program.lines(), program.describe())

    def test_receiver_stops(self):
        """Each way of stopping ends the run in time, with its reason and a full summary."""
        pose = (1.5, -2.25, 0.5, 45.0, -12.5, 3.0)
        live = r"datagrams/s  " + re.escape(pose_text(pose)) + "$"
        # The stop times are measured against the receiver's own limits: not scaled.
        rows = [
            # options, datagrams to send, signal, reason, datagrams counted, earliest and latest stop (s)
            (["--count", 3, "--seconds", 30], 5, None, "datagram count reached", 3, 0.0, 5.0),
            # --idle only starts counting at the first datagram.
            # The lower bound only has to show it did not stop at 0.3 s; the ready
            # line is read late under load, so it keeps a wide margin.
            (["--seconds", 1.5, "--idle", 0.3], 0, None, "time is up", 0, 1.0, 5.0),
            (["--idle", 0.7, "--seconds", 30], 2, None, "no datagram for the idle time", 2, 0.6, 5.0),
            (["--seconds", 30], 1, signal.SIGINT, "signal", 1, 0.0, 5.0),
        ]
        if not TOOLS.emulator:
            # wine ends a Windows program on SIGTERM without raising it inside.
            rows.append((["--seconds", 30], 1, signal.SIGTERM, "signal", 1, 0.0, 5.0))
        for options, sends, stop_signal, reason, counted, earliest, latest in rows:
            with self.subTest(options=options, signal=stop_signal):
                port = harness.free_port(socket.SOCK_DGRAM)
                with start_receiver(port, *options) as program:
                    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                        for _ in range(sends):
                            sender.sendto(struct.pack("<6d", *pose), (LOOPBACK, port))
                    last_send = time.monotonic()
                    if stop_signal is not None:
                        # The live view shows the pose once a second before the stop.
                        program.wait_for_line(live, 5)
                        program.send_signal(stop_signal)
                    code = program.finish(EXIT)
                    took = time.monotonic() - last_send
                self.assertEqual(code, 0, program.describe())
                self.assertTrue(earliest <= took <= latest, "stopped after %.2f s" % took)
                self.assertIn("Stopped: " + reason, program.lines(), program.describe())
                received = only_line(program, RECEIVED_LINE)
                self.assertEqual(int(received.group(1)), counted, "summary %r" % received.group(0))


class CommandLine(unittest.TestCase):
    def test_busy_ports(self):
        """A port held by another program, or by a second copy of the tool, is refused clearly."""
        for kind, holder in [("tcp", "python"), ("tcp", "tool"), ("udp", "python"), ("udp", "tool")]:
            with self.subTest(kind=kind, holder=holder):
                kind_id = socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM
                port = harness.free_port(kind_id)
                if kind == "tcp":
                    tool, args = TOOLS.sim, ["--port", port, "--accept-timeout", 5]
                    message = "tavorin-device-sim: cannot listen on %s:%d: address already in use" % (
                        LOOPBACK, port)
                else:
                    tool, args = TOOLS.receiver, [port, "--seconds", 5]
                    message = "tavorin-receiver: cannot listen on udp %s:%d: address already in use" % (
                        LOOPBACK, port)
                with socket.socket(socket.AF_INET, kind_id) as held:
                    if holder == "python":
                        held.bind((LOOPBACK, port))
                        if kind == "tcp":
                            held.listen(1)
                        occupant = None
                    else:
                        occupant = start_simulator(port, "--accept-timeout", 30) if kind == "tcp" \
                            else start_receiver(port, "--seconds", 30)
                    try:
                        with run(tool, args) as program:
                            code = program.finish(EXIT)
                    finally:
                        if occupant is not None:
                            occupant.close()
                self.assertEqual(code, 2, program.describe())
                self.assertEqual(program.stderr_lines(), [message], program.describe())
                self.assertFalse(any(line.startswith("Listening") for line in program.lines()),
                                 program.describe())

    def test_bad_options(self):
        """Every malformed command line gives one error line and status 1, before any socket."""
        sim, receiver = TOOLS.sim, TOOLS.receiver
        tcp = harness.free_port(socket.SOCK_STREAM)
        udp = harness.free_port(socket.SOCK_DGRAM)
        # Rows that only break one option name a free port and a short life
        # otherwise, so an option wrongly accepted fails the row instead of
        # waiting on the relay's port.
        quick_sim = ["--port", tcp, "--accept-timeout", 1]
        quick_receiver = [udp, "--seconds", 1]
        rows = [
            (sim, ["--bogus"]),
            (sim, ["--port"]),
            (sim, ["--port", "0"]),
            (sim, ["--port", "65536"]),
            (sim, ["--port", "12x"]),
            (sim, ["--rate", "0"] + quick_sim),
            (sim, ["--rate", "fast"] + quick_sim),
            (sim, ["--seconds", "-1"] + quick_sim),
            (sim, ["--count", "0"] + quick_sim),
            (sim, ["--seconds", "1", "--count", "5"] + quick_sim),
            (sim, ["--accept-timeout", "nan", "--port", tcp]),
            (receiver, []),
            (receiver, ["0"]),
            (receiver, ["70000"]),
            (receiver, [udp, udp + 1, "--seconds", 1]),
            (receiver, ["--idle", "-2"] + quick_receiver),
            (receiver, ["--count", "1.5"] + quick_receiver),
            (receiver, ["--frobnicate"] + quick_receiver),
            (receiver, quick_receiver + ["--seconds"]),
        ]
        for tool, args in rows:
            name = os.path.basename(tool).replace(".exe", "")
            with self.subTest(name, args=args), run(tool, args) as program:
                code = program.finish(EXIT)
                self.assertEqual(code, 1, program.describe())
                errors = program.stderr_lines()
                self.assertTrue(len(errors) == 1 and errors[0].startswith(name + ": "),
                                "expected one error line\n" + program.describe())
                self.assertFalse(any(line.startswith("Listening") for line in program.lines()),
                                 program.describe())
        for tool in (sim, receiver):
            with self.subTest(os.path.basename(tool), args=["--help"]), run(tool, ["--help"]) as program:
                code = program.finish(EXIT)
                self.assertTrue(code == 0 and program.lines() and program.lines()[0].startswith("Usage: "),
                                program.describe())


def main():
    global TOOLS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the tavorin-device-sim binary")
    parser.add_argument("--receiver", required=True, help="the tavorin-receiver binary")
    parser.add_argument("--emulator", action="append", default=[],
                        help="runs the binaries (repeat for each word, e.g. scripts/wine-run)")
    options, rest = parser.parse_known_args()
    for path in (options.sim, options.receiver):
        if not os.path.exists(path):
            sys.exit("no such program: %s" % path)
    TOOLS = Tools(options.sim, options.receiver, options.emulator)
    if TOOLS.emulator:
        harness.prepare_emulator(TOOLS.emulator, TOOLS.sim)
    unittest.main(module=sys.modules[__name__], argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
