#!/usr/bin/env python3
"""Black-box tests of tavorin-device-sim and tavorin-receiver against small loopback peers.

Usage: tool_tests.py CASE DEVICE_SIM RECEIVER

TAVORIN_EMULATOR, when set, is the command that runs the programs (wine-run
for the Windows build). Every wait has a deadline and every program started
here is ended by its own process id if it outlives its test.
"""

import itertools
import math
import os
import re
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

EMULATOR = shlex.split(os.environ.get("TAVORIN_EMULATOR", ""))
# A wine prefix's first start takes seconds; later ones well under one.
START_DEADLINE = 60.0 if EMULATOR else 10.0
EXIT_DEADLINE = 30.0 if EMULATOR else 10.0
RECORD = 48

SENT_LINE = re.compile(r"^Sent (\d+) poses, (\d+) bytes, fnv1a64 ([0-9a-f]{16})$")
RECEIVED_LINE = re.compile(
    r"^Received (\d+) datagrams, (\d+) bytes, (\d+) of exactly 48 bytes, fnv1a64 ([0-9a-f]{16})$")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def fnv1a64(data):
    # Written out here rather than taken from the tools, so a wrong constant
    # or byte order in their digest shows up as a mismatch.
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    # The relay's fixed port is in use by other tests on this machine.
    return port if port != 36487 else free_port(kind)


class Program:
    """A started tool; its output goes to files, read as it grows.

    Files rather than pipes: under wine a helper process inherits the pipes
    and keeps them open for seconds after the program itself has ended.
    """

    folder = None  # set by main() for the length of one case
    started = itertools.count()

    def __init__(self, path, args):
        self.command = EMULATOR + [path] + [str(a) for a in args]
        number = next(Program.started)
        self.out_path = os.path.join(Program.folder, "%d.stdout" % number)
        self.err_path = os.path.join(Program.folder, "%d.stderr" % number)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=EXIT_DEADLINE)
        return False

    @staticmethod
    def _lines(path):
        with open(path, "rb") as stream:
            text = stream.read().decode("utf-8", "replace")
        # A line is only whole once its newline is written.
        return [line.rstrip("\r") for line in text.split("\n")[:-1]]

    @property
    def stdout(self):
        return self._lines(self.out_path)

    @property
    def stderr(self):
        return self._lines(self.err_path)

    def describe(self):
        return "%s\n  stdout: %r\n  stderr: %r" % (" ".join(self.command), self.stdout, self.stderr)

    def wait_for_line(self, pattern, deadline):
        end = time.monotonic() + deadline
        seen = 0
        while True:
            ended = self.process.poll() is not None
            lines = self.stdout
            for line in lines[seen:]:
                if re.search(pattern, line):
                    return line
            seen = len(lines)
            check(not ended, "ended before a line matching %r\n%s" % (pattern, self.describe()))
            check(time.monotonic() < end,
                  "no line matching %r within %g s\n%s" % (pattern, deadline, self.describe()))
            time.sleep(0.02)

    def finish(self, deadline=None):
        try:
            return self.process.wait(timeout=deadline or EXIT_DEADLINE)
        except subprocess.TimeoutExpired:
            raise Failure("still running after %g s\n%s" % (deadline or EXIT_DEADLINE, self.describe()))

    def line_matching(self, pattern):
        found = [m for m in (pattern.match(line) for line in self.stdout) if m]
        check(len(found) == 1, "expected one line matching %r\n%s" % (pattern.pattern, self.describe()))
        return found[0]


def start_ready(path, args, ready):
    """Starts a program and waits for its ready line; a program that never
    gets ready is ended here, since no caller owns it yet."""
    program = Program(path, args)
    try:
        program.wait_for_line(ready, START_DEADLINE)
    except BaseException:
        program.__exit__(None, None, None)
        raise
    return program


def start_simulator(sim, port, *args):
    return start_ready(sim, ["--port", port, *args], r"^Listening on 127\.0\.0\.1:%d$" % port)


def start_receiver(receiver, port, *args):
    return start_ready(receiver, [port, *args], r"^Listening on udp 127\.0\.0\.1:%d$" % port)


def read_stream(port, deadline):
    """Connects, reads to the end of the stream; returns the bytes and (time, size) per read."""
    end = time.monotonic() + deadline
    data = bytearray()
    arrivals = []
    with socket.create_connection(("127.0.0.1", port), timeout=deadline) as link:
        while True:
            left = end - time.monotonic()
            check(left > 0, "stream not ended within %g s (%d bytes so far)" % (deadline, len(data)))
            link.settimeout(left)
            piece = link.recv(65536)
            if not piece:
                return bytes(data), arrivals
            arrivals.append((time.monotonic(), len(piece)))
            data += piece


def decode_poses(data):
    check(len(data) % RECORD == 0, "%d bytes is not a whole number of poses" % len(data))
    return [struct.unpack_from("<6d", data, offset) for offset in range(0, len(data), RECORD)]


def check_head_motion(poses, rate):
    """Plausible, smooth, moving: what a wrong byte order or a torn record breaks."""
    limits = (30, 30, 30, 180, 90, 180)  # cm for x y z, degrees for yaw pitch roll
    # No head turns or slides faster than this per second, in cm or degrees.
    fastest = 200.0
    for index, pose in enumerate(poses):
        for axis, value in enumerate(pose):
            check(math.isfinite(value) and abs(value) <= limits[axis],
                  "pose %d axis %d out of range: %r" % (index, axis, pose))
    for index in range(1, len(poses)):
        for axis in range(6):
            step = abs(poses[index][axis] - poses[index - 1][axis])
            check(step <= fastest / rate,
                  "pose %d axis %d jumps by %g: %r -> %r" % (index, axis, step, poses[index - 1], poses[index]))
    for axis in range(6):
        values = [pose[axis] for pose in poses]
        check(max(values) - min(values) > 1e-3, "axis %d does not move" % axis)


def stream_once(sim, rate, count):
    port = free_port(socket.SOCK_STREAM)
    with start_simulator(sim, port, "--rate", rate, "--count", count) as program:
        data, arrivals = read_stream(port, EXIT_DEADLINE + count / rate)
        code = program.finish()
        check(code == 0, "exit status %d\n%s" % (code, program.describe()))
        sent = program.line_matching(SENT_LINE)
    return data, arrivals, sent


def case_sim_stream(sim, _receiver):
    """Two runs: what arrives equals the summary, decodes as poses, and repeats exactly."""
    rate, count = 2000, 400
    digests = []
    for _ in range(2):
        data, _arrivals, sent = stream_once(sim, rate, count)
        check(len(data) == count * RECORD, "received %d bytes, expected %d" % (len(data), count * RECORD))
        check((int(sent.group(1)), int(sent.group(2))) == (count, len(data)),
              "summary %r disagrees with %d bytes received" % (sent.group(0), len(data)))
        check(sent.group(3) == fnv1a64(data),
              "summary digest %s, digest of the received bytes %s" % (sent.group(3), fnv1a64(data)))
        check_head_motion(decode_poses(data), rate)
        digests.append(sent.group(3))
    check(digests[0] == digests[1], "two runs with the same options differ: %s" % digests)


def case_sim_pacing(sim, _receiver):
    """101 poses at 100 Hz span one second: neither a burst nor a drifting schedule."""
    rate, count = 100, 101
    data, arrivals, _sent = stream_once(sim, rate, count)
    check(len(data) == count * RECORD, "received %d bytes" % len(data))
    span = arrivals[-1][0] - arrivals[0][0]
    # Under wine the reader sees late wake-ups of its own: more room above.
    latest = 1.3 if EMULATOR else 1.15
    check(0.95 <= span <= latest, "first to last pose took %.3f s, expected about 1 s" % span)
    # Half-way through the schedule about half the poses should have come.
    halfway = arrivals[0][0] + 0.5
    early = sum(size for at, size in arrivals if at <= halfway) // RECORD
    check(35 <= early <= 65, "%d poses within the first half second, expected about 51" % early)


def case_sim_peer_gone(sim, _receiver):
    """A relay that disconnects mid-stream gives an error and an exit, not a hang or a signal death."""
    port = free_port(socket.SOCK_STREAM)
    with start_simulator(sim, port, "--rate", 1000, "--count", 1000000) as program:
        with socket.create_connection(("127.0.0.1", port), timeout=EXIT_DEADLINE) as link:
            got = 0
            while got < 10 * RECORD:
                piece = link.recv(4096)
                check(piece, "stream ended early")
                got += len(piece)
        code = program.finish()
        check(code == 2, "exit status %d after the peer left, expected 2\n%s" % (code, program.describe()))
        check(any(line.startswith("tavorin-device-sim: send failed after ") for line in program.stderr),
              "no send error reported\n%s" % program.describe())
        sent = program.line_matching(SENT_LINE)
        check(10 <= int(sent.group(1)) < 1000000, "summary %r" % sent.group(0))


def case_sim_peer_stalls(sim, _receiver):
    """A relay that stays connected but stops reading: the simulator gives up
    on its send timeout instead of blocking for ever."""
    port = free_port(socket.SOCK_STREAM)
    with start_simulator(sim, port, "--rate", 100000, "--count", 100000000) as program:
        with socket.create_connection(("127.0.0.1", port), timeout=EXIT_DEADLINE) as link:
            link.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            check(link.recv(RECORD), "nothing streamed")
            # Never read again. The pose that no longer fits may go out in part
            # before its first 5 s timeout, and fail on the next one.
            code = program.finish(EXIT_DEADLINE + 10)
        check(code == 2, "exit status %d with a stalled peer, expected 2\n%s"
              % (code, program.describe()))
        check(any(line.startswith("tavorin-device-sim: send failed after ") for line in program.stderr),
              "no send error reported\n%s" % program.describe())


def case_sim_accept_timeout(sim, _receiver):
    """Nobody connects: the simulator gives up at its deadline."""
    port = free_port(socket.SOCK_STREAM)
    with start_simulator(sim, port, "--accept-timeout", 0.5) as program:
        began = time.monotonic()
        code = program.finish()
        waited = time.monotonic() - began
        check(code == 2, "exit status %d\n%s" % (code, program.describe()))
        check(waited < 0.5 + EXIT_DEADLINE / 2, "took %.1f s to give up" % waited)
        check(program.stderr == ["tavorin-device-sim: no relay connected within 0.5 s"],
              "unexpected error output\n%s" % program.describe())


def pose_text(pose):
    return "x %.2f y %.2f z %.2f yaw %.2f pitch %.2f roll %.2f" % pose


def case_receiver_decode(_sim, receiver):
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
    port = free_port(socket.SOCK_DGRAM)
    with start_receiver(receiver, port, "--count", len(datagrams), "--seconds", EXIT_DEADLINE,
                        "--quiet") as program:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for datagram in datagrams:
                sender.sendto(datagram, ("127.0.0.1", port))
        code = program.finish()
    check(code == 0, "exit status %d\n%s" % (code, program.describe()))
    received = program.line_matching(RECEIVED_LINE)
    payload = b"".join(datagrams)
    expected = (str(len(datagrams)), str(len(payload)), "1", fnv1a64(payload))
    check(received.groups() == expected, "summary %r, expected %r" % (received.group(0), expected))
    check("Last pose: " + pose_text(pose_b) in program.stdout,
          "last pose should be %s\n%s" % (pose_text(pose_b), program.describe()))
    check("Stopped: datagram count reached" in program.stdout, program.describe())


def case_receiver_stops(_sim, receiver):
    """Each way of stopping ends the run in time, with its reason and a full summary."""
    pose = (1.5, -2.25, 0.5, 45.0, -12.5, 3.0)
    live = r"datagrams/s  " + re.escape(pose_text(pose)) + "$"
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
    if not EMULATOR:
        # wine ends a Windows program on SIGTERM without raising it inside.
        rows.append((["--seconds", 30], 1, signal.SIGTERM, "signal", 1, 0.0, 5.0))
    for options, sends, stop_signal, reason, counted, earliest, latest in rows:
        port = free_port(socket.SOCK_DGRAM)
        with start_receiver(receiver, port, *options) as program:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                for _ in range(sends):
                    sender.sendto(struct.pack("<6d", *pose), ("127.0.0.1", port))
            last_send = time.monotonic()
            if stop_signal is not None:
                # The live view shows the pose once a second before the stop.
                program.wait_for_line(live, 5.0)
                program.process.send_signal(stop_signal)
            code = program.finish()
            took = time.monotonic() - last_send
        where = "options %r: " % options
        check(code == 0, where + "exit status %d\n%s" % (code, program.describe()))
        check(earliest <= took <= latest, where + "stopped after %.2f s" % took)
        check("Stopped: " + reason in program.stdout, where + program.describe())
        received = program.line_matching(RECEIVED_LINE)
        check(int(received.group(1)) == counted, where + "summary %r" % received.group(0))


def case_busy_ports(sim, receiver):
    """A port held by another program, or by a second copy of the tool, is refused clearly."""
    rows = [
        ("tcp", "python", sim),
        ("tcp", "tool", sim),
        ("udp", "python", receiver),
        ("udp", "tool", receiver),
    ]
    for kind, holder, tool in rows:
        kind_id = socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM
        port = free_port(kind_id)
        if kind == "tcp":
            args, message = ["--port", port, "--accept-timeout", 5], \
                "tavorin-device-sim: cannot listen on 127.0.0.1:%d: address already in use" % port
        else:
            args, message = [port, "--seconds", 5], \
                "tavorin-receiver: cannot listen on udp 127.0.0.1:%d: address already in use" % port
        with socket.socket(socket.AF_INET, kind_id) as held:
            if holder == "python":
                held.bind(("127.0.0.1", port))
                if kind == "tcp":
                    held.listen(1)
                occupant = None
            else:
                occupant = start_simulator(sim, port, "--accept-timeout", 30) if kind == "tcp" \
                    else start_receiver(receiver, port, "--seconds", 30)
            try:
                with Program(tool, args) as program:
                    code = program.finish()
            finally:
                if occupant is not None:
                    occupant.__exit__()
        where = "%s port held by %s: " % (kind, holder)
        check(code == 2, where + "exit status %d\n%s" % (code, program.describe()))
        check(program.stderr == [message], where + "expected %r\n%s" % (message, program.describe()))
        check(not any(line.startswith("Listening") for line in program.stdout), where + program.describe())


def case_bad_options(sim, receiver):
    """Every malformed command line gives one error line and status 1, before any socket."""
    tcp = free_port(socket.SOCK_STREAM)
    udp = free_port(socket.SOCK_DGRAM)
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
        with Program(tool, args) as program:
            code = program.finish()
        name = os.path.basename(tool).replace(".exe", "")
        where = "%s %r: " % (name, args)
        check(code == 1, where + "exit status %d, expected 1\n%s" % (code, program.describe()))
        check(len(program.stderr) == 1 and program.stderr[0].startswith(name + ": "),
              where + "expected one error line\n%s" % program.describe())
        check(not any(line.startswith("Listening") for line in program.stdout), where + program.describe())
    for tool in (sim, receiver):
        with Program(tool, ["--help"]) as program:
            code = program.finish()
        check(code == 0 and program.stdout and program.stdout[0].startswith("Usage: "),
              "--help: " + program.describe())


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}


def main(argv):
    if len(argv) != 4 or argv[1] not in CASES:
        sys.stderr.write("usage: %s {%s} DEVICE_SIM RECEIVER\n" % (argv[0], "|".join(sorted(CASES))))
        return 2
    try:
        with tempfile.TemporaryDirectory(prefix="tavorin-tool-test-") as folder:
            Program.folder = folder
            CASES[argv[1]](argv[2], argv[3])
    except Failure as failure:
        print("FAILED %s: %s" % (argv[1], failure))
        return 1
    print("passed %s" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
