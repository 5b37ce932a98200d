# Black-box tests: the real tavorin-relay process against a real TCP device and UDP receiver on loopback.
"""Runs the built relay (natively, or a .exe through an emulator such as wine)
against a TCP listener on the device's endpoint standing in for the device and
a UDP socket standing in for Opentrack, and checks the console transcript byte
for byte, the exit status and the datagrams.

    python3 relay_blackbox.py --relay build/native/src/tavorin-relay [TestClass ...]
    python3 relay_blackbox.py --relay build/windows/src/tavorin-relay.exe \\
        --emulator scripts/wine-run --target windows [TestClass ...]

TAVORIN_TEST_TIME_SCALE (float, default 1) multiplies every deadline.
"""

import argparse
import errno
import os
import pwd
import random
import re
import resource
import shutil
import signal
import socket
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402  (tests/ is put on the path just above)
from harness import DEVICE_PORT, LOOPBACK, PIECE, Deadline, seconds, wait_until  # noqa: E402

# Linux value, missing from Python's socket module: lets root exceed rmem_max.
SO_RCVBUFFORCE = 33


class Target:
    """What the binary under test is and how its console and codes look."""

    def __init__(self, relay, emulator, windows, crlf):
        self.relay = relay
        self.emulator = list(emulator)
        self.windows = windows
        self.newline = "\r\n" if crlf else "\n"
        self.refused = 10061 if windows else errno.ECONNREFUSED
        self.reset = 10054 if windows else errno.ECONNRESET
        # What the program sees as argv[0]; under wine, the DOS form of the path.
        self.argv0 = relay

    def command(self, args, launcher=()):
        return self.emulator + list(launcher) + [self.relay] + list(args)

    def text(self, transcript):
        return transcript.replace("\n", self.newline)


TARGET = None  # set in main()


# --- transcripts -------------------------------------------------------------

BANNER = "Starting Tavorin USB Connection\n"
DEVICE_PROMPT = "Connecting to your device... "
OPENTRACK_PROMPT = "Connecting to Opentrack software... "
READY = (BANNER + DEVICE_PROMPT + "Done\n" + OPENTRACK_PROMPT + "Done\n"
         + "Ready to play\n")


def no_device_transcript():
    return TARGET.text(BANNER + DEVICE_PROMPT + "Failed: %d\n" % TARGET.refused)


# --- the relay -----------------------------------------------------------------


def without_leak_check():
    """The environment for a relay that LeakSanitizer cannot follow, in a
    sanitizer build: it refuses to run under a tracer, and needs descriptors
    that a relay at its open-file limit does not have. Every other case
    still checks for leaks."""
    options = os.environ.get("ASAN_OPTIONS", "")
    return dict(os.environ, ASAN_OPTIONS=(options + ":" if options else "") + "detect_leaks=0")


class Relay(harness.Process):
    """One run of the relay; stdout is a pipe, stderr goes to a file that a
    failure shows (a sanitizer's report, say). A wrapper (a tracer) may run
    the relay as its own child; so may a launcher, a program of the target's
    platform (run by the emulator, under wine)."""

    def __init__(self, args, stdout_fd=None, discard=0, wrapper=(), launcher=(), env=None):
        super().__init__(list(wrapper) + TARGET.command(args, launcher), env=env,
                         stdout_fd=stdout_fd, discard=discard, wrapped=bool(wrapper))

    def finish(self, base_seconds=10):
        """Waits for the exit; ends the relay if it overstays, and fails.
        Returns the exit status and the transcript (latin-1 text: every byte
        kept)."""
        status = super().finish(base_seconds)
        return status, self.output.snapshot().decode("latin-1") if self.output else ""


# --- device side (TCP) ----------------------------------------------------------

_port_wait_exhausted = False


def bind_device_port(listen):
    """Binds the device's endpoint, waiting while somebody else holds it."""
    global _port_wait_exhausted
    deadline = Deadline(1 if _port_wait_exhausted else 60)
    attempts = 0
    while True:
        attempts += 1
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Connections of earlier cases linger in TIME_WAIT on this port.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((LOOPBACK, DEVICE_PORT))
            if listen is not None:
                sock.listen(listen)
            return sock
        except OSError as exc:
            sock.close()
            if exc.errno != errno.EADDRINUSE:
                raise
            if deadline.passed() or attempts > 100000:
                _port_wait_exhausted = True
                raise AssertionError(
                    "%s:%d stayed in use for %.0f s (someone else is "
                    "running the device side?); giving up"
                    % (LOOPBACK, DEVICE_PORT, seconds(60))) from None
            time.sleep(0.2)


class Device:
    """A listener on the device's endpoint."""

    def __init__(self, backlog=1):
        self.listener = bind_device_port(backlog)
        self.conns = []

    def accept(self, base_seconds=10):
        self.listener.settimeout(seconds(base_seconds))
        try:
            conn, _ = self.listener.accept()
        except socket.timeout:
            raise AssertionError("the relay did not connect to the device port "
                                 "within %.1f s" % seconds(base_seconds)) from None
        conn.settimeout(None)
        self.conns.append(conn)
        return conn

    def close(self):
        for conn in self.conns:
            conn.close()
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class NoDevice:
    """Holds the device port bound but not listening, so connects are
    refused. It keeps out listeners that bind without SO_REUSEADDR; one that
    sets it (a device simulator started meanwhile) could still bind and
    listen, which is why the tests run one at a time and the port is waited
    for first."""

    def __enter__(self):
        self.sock = bind_device_port(None)
        return self

    def __exit__(self, *exc):
        self.sock.close()
        return False


def reset_close(conn):
    """Closes with an RST instead of a FIN."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


# The loopback address as /proc/net/tcp shows it: the raw 32 bits in host order.
_PROC_LOOPBACK = "%08X" % struct.unpack("=I", socket.inet_aton(LOOPBACK))[0]


def _tcp_queues(local_port, remote_port):
    """(send queue, receive queue) of a loopback TCP socket, from /proc."""
    local = "%s:%04X" % (_PROC_LOOPBACK, local_port)
    remote = "%s:%04X" % (_PROC_LOOPBACK, remote_port)
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1] == local and fields[2] == remote:
                tx, rx = fields[4].split(":")
                return int(tx, 16), int(rx, 16)
    return None


def connecting_to_device():
    """Whether a connect to the device port is pending (SYN sent, no answer).
    Any such connect on the machine counts: the test holds the port, so the
    relay's is the only one expected."""
    remote = "%s:%04X" % (_PROC_LOOPBACK, DEVICE_PORT)
    with open("/proc/net/tcp") as table:
        return any(fields[2] == remote and fields[3] == "02"
                   for fields in (line.split() for line in table.readlines()[1:]))


def wait_relay_consumed(conn, relay, base_seconds=10):
    """Waits until the relay has read everything the device wrote so far."""
    try:
        relay_port = conn.getpeername()[1]
    except OSError:
        relay_port = None

    def drained():
        if relay_port is None:
            return False
        ours = _tcp_queues(DEVICE_PORT, relay_port)
        theirs = _tcp_queues(relay_port, DEVICE_PORT)
        return ours == (0, 0) and theirs is not None and theirs[1] == 0

    wait_until(lambda: drained() or not relay.running(), base_seconds)
    if not drained():
        raise AssertionError(
            "the relay did not read the device's data within %.1f s (relay %s); "
            "transcript so far %r" % (
                seconds(base_seconds),
                "running" if relay.running() else "exited with %r" % relay.proc.returncode,
                relay.output.snapshot().decode("latin-1")))


def assert_device_sees_eof(test, conn, base_seconds=5):
    """The relay never writes to the device: all the device may read is EOF."""
    conn.settimeout(seconds(base_seconds))
    try:
        got = conn.recv(65536)
    except socket.timeout:
        test.fail("the device did not see the relay close the connection")
    except ConnectionResetError:
        test.fail("the relay reset the device connection instead of closing it")
    test.assertEqual(got, b"", "the relay sent bytes to the device")


# --- Opentrack side (UDP) -----------------------------------------------------------


class Receiver:
    """A UDP socket drained by a thread, keeping each datagram whole."""

    def __init__(self, port=0, rcvbuf=8 << 20):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Loopback UDP drops what does not fit: give it room up front.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, rcvbuf)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.rcvbuf = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
        self.sock.bind((LOOPBACK, port))
        self.port = self.sock.getsockname()[1]
        self.sock.setblocking(False)
        self.datagrams = []
        self.total = 0
        self._finished = False
        self._drain = harness.Drain(self.sock, self._take, self._keep)

    @staticmethod
    def _take(sock):
        batch = []
        for _ in range(4096):
            try:
                batch.append(sock.recv(65536))  # an empty datagram too
            except BlockingIOError:
                break
            except ConnectionRefusedError:
                continue
        return batch

    def _keep(self, batch):
        self.datagrams.extend(batch)
        self.total += sum(map(len, batch))

    def wait_total(self, at_least, base_seconds):
        self._drain.wait(lambda: self.total >= at_least, seconds(base_seconds))
        return self.total

    def snapshot(self):
        """The datagrams so far, while the receiver goes on."""
        with self._drain.cond:
            return list(self.datagrams)

    def finish(self):
        """Stops after taking every datagram already queued; returns them."""
        self._close()
        if self._drain.error is not None:
            raise self._drain.error
        return self.snapshot()

    def _close(self):
        if not self._finished:
            self._finished = True
            self._drain.stop()
            self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._close()
        return False


# --- the cases ---------------------------------------------------------------------


def relay_random_writes(test, relay, receiver, conn, size):
    """Writes size random bytes in random-sized writes (1..4096) and checks
    that they arrive byte for byte, in order, in datagrams of 1 to PIECE bytes."""
    seed = int(os.environ.get("TAVORIN_TEST_SEED", "0")) or random.randrange(1, 2**31)
    rng = random.Random(seed)
    payload = rng.randbytes(size)
    context = "seed %d (rerun with TAVORIN_TEST_SEED=%d)" % (seed, seed)
    # A bounded amount in flight keeps the receive buffer from overflowing.
    window = max(4096, min(32 << 10, receiver.rcvbuf // 32))
    deadline = Deadline(120)
    sent = 0
    while sent < size:
        if receiver.wait_total(sent - window, deadline.left() / harness.SCALE) < sent - window:
            test.fail("%s: only %d of %d bytes relayed before the deadline; "
                      "transcript so far %r" % (context, receiver.total, sent,
                                                relay.output.snapshot()))
        piece = payload[sent:sent + rng.randint(1, 4096)]
        try:
            conn.sendall(piece)
        except OSError as exc:
            test.fail("%s: writing at offset %d failed (%s); relay %s, "
                      "transcript so far %r" % (
                          context, sent, exc, "running" if relay.running()
                          else "exited with %r" % relay.proc.returncode,
                          relay.output.snapshot()))
        sent += len(piece)
    receiver.wait_total(size, 30)
    datagrams = receiver.snapshot()
    sizes = sorted({len(d) for d in datagrams})
    test.assertTrue(sizes and sizes[0] >= 1 and sizes[-1] <= PIECE,
                    "%s: datagram sizes %s..%s outside 1..%d"
                    % (context, sizes[:1], sizes[-1:], PIECE))
    received = b"".join(datagrams)
    if received != payload:
        first = next((i for i, (a, b) in enumerate(zip(received, payload)) if a != b),
                     min(len(received), len(payload)))
        test.fail("%s: received %d of %d bytes in %d datagrams, first difference "
                  "at offset %d" % (context, len(received), size, len(datagrams), first))


class RelayTestCase(unittest.TestCase):
    maxDiff = None

    def assertRun(self, relay, status, transcript, base_seconds=10):
        got_status, got = relay.finish(base_seconds)
        want = TARGET.text(transcript)
        self.assertEqual(got, want, "transcript of %r" % (relay.command,))
        self.assertEqual(got_status, status, relay.describe())


class CommandLine(RelayTestCase):
    """Bad command lines stop before anything else; odd but valid ones reach
    the device (held refusing, so each run ends at once)."""

    # name, arguments, and whether the relay takes them and goes on
    COMMAND_LINES = [
        ("no argument", [], False),
        ("two arguments", ["4242", "4243"], False),
        ("zero", ["0"], False),
        ("just past the range", ["65536"], False),
        ("far past the range", ["70000"], False),
        ("negative", ["-1"], False),
        ("overflowing long", ["99999999999"], False),
        ("wraps to 4242 in 32 bits", ["4294971538"], False),
        ("trailing space", ["4242 "], False),
        ("trailing letter", ["42a"], False),
        ("hexadecimal", ["0x10"], False),
        ("two signs", ["+-4242"], False),
        ("empty", [""], False),
        ("leading space", [" 4242"], True),
        ("plus sign", ["+4242"], True),
        ("lowest port", ["1"], True),
        ("highest port", ["65535"], True),
    ]

    def test_command_lines(self):
        outcomes = {False: (1, TARGET.text("Usage: %s udp_port\n" % TARGET.argv0)),
                    True: (2, no_device_transcript())}
        for name, args, accepted in self.COMMAND_LINES:
            with self.subTest(name, args=args), NoDevice(), Relay(args) as relay:
                self.assertEqual(relay.finish(10), outcomes[accepted], relay.describe())


class DeviceLink(RelayTestCase):
    def test_refused_connection(self):
        with NoDevice(), Relay(["4242"]) as relay:
            status, got = relay.finish(10)
            self.assertEqual(got, no_device_transcript(), relay.describe())
            self.assertEqual(status, 2, relay.describe())


class Relaying(RelayTestCase):
    """The stream, piece by piece, into datagrams of at most PIECE bytes."""

    def test_device_closing_at_once_ends_in_order(self):
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)]) as relay:
            device.accept().close()
            self.assertRun(relay, 0, READY + "Connection closed\n")
            self.assertEqual(receiver.finish(), [], "datagrams from an empty stream")

    def test_waiting_bytes_leave_in_full_pieces(self):
        payload = bytes(random.Random(100).randrange(256) for _ in range(PIECE + 36))
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)]) as relay:
            conn = device.accept()
            conn.sendall(payload)  # one segment: all 100 bytes wait together
            receiver.wait_total(len(payload), 10)
            conn.close()
            self.assertRun(relay, 0, READY + "Connection closed\n")
            datagrams = receiver.finish()
            self.assertEqual([len(d) for d in datagrams], [PIECE, 36])
            self.assertEqual(b"".join(datagrams), payload)

    def test_megabytes_arrive_whole_and_in_order(self):
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)]) as relay:
            conn = device.accept()
            relay_random_writes(self, relay, receiver, conn, 2 << 20)
            conn.shutdown(socket.SHUT_WR)
            self.assertRun(relay, 0, READY + "Connection closed\n", 30)
            assert_device_sees_eof(self, conn)

    def test_relaying_goes_on_while_nobody_listens(self):
        rng = random.Random(7)
        first_part = [rng.randbytes(rng.randint(1, PIECE)) for _ in range(6)]
        second_part = [rng.randbytes(n) for n in (10, PIECE, PIECE - 1, 1)]
        port = harness.free_port()
        with Device() as device, Relay([str(port)]) as relay:
            conn = device.accept()
            for piece in first_part:
                conn.sendall(piece)
                wait_relay_consumed(conn, relay)
            with Receiver(port) as receiver:
                expected = b"".join(second_part)
                for piece in second_part:
                    conn.sendall(piece)
                    wait_relay_consumed(conn, relay)
                receiver.wait_total(len(expected), 10)
                conn.close()
                status, got = relay.finish(10)
                received = b"".join(receiver.finish())
        nl = re.escape(TARGET.newline)
        # Linux reports no ICMP error to an unconnected UDP socket, so no
        # send fails there; Windows may report some, each with its line.
        failed_sends = "*" if TARGET.windows else "{0}"
        shape = (re.escape(TARGET.text(READY))
                 + "(?:Unable to send data to Opentrack: [1-9][0-9]*" + nl + ")" + failed_sends
                 + "Connection closed" + nl)
        self.assertRegex(got, "^" + shape + r"\Z", relay.describe())
        self.assertEqual(status, 0, relay.describe())
        self.assertTrue(received.endswith(expected),
                        "the second part did not arrive after a receiver appeared: "
                        "got %r, want it to end with %r" % (received, expected))


class ConsoleStages(RelayTestCase):
    """Each stage is on the console before the call that may block after it."""

    def test_prompts_readable_through_a_pipe_while_blocked(self):
        # With a backlog of 0 and the one place taken by a harness connection,
        # the relay's SYN is dropped: its connect stays pending until we make room.
        with Receiver() as receiver, Device(backlog=0) as device:
            filler = socket.create_connection((LOOPBACK, DEVICE_PORT), timeout=seconds(5))
            try:
                with Relay([str(receiver.port)]) as relay:
                    if not wait_until(connecting_to_device, 10):
                        self.fail("the relay's connect never got stuck: %r"
                                  % relay.output.snapshot())
                    head = TARGET.text(BANNER + DEVICE_PROMPT).encode()
                    seen = relay.output.wait_for(head, 2)
                    self.assertEqual(seen, head, "while the connect is pending")
                    self.assertTrue(connecting_to_device() and relay.running(),
                                    relay.describe())
                    device.accept().close()  # the filler's place
                    conn = device.accept(15)  # the relay's SYN is resent after ~1 s
                    ready = TARGET.text(READY).encode()
                    seen = relay.output.wait_for(ready, 10)
                    self.assertEqual(seen, ready, "while waiting for the device's data")
                    self.assertTrue(relay.running(), relay.describe())
                    conn.close()
                    self.assertRun(relay, 0, READY + "Connection closed\n")
            finally:
                filler.close()
            self.assertEqual(receiver.finish(), [])


class ReadErrors(RelayTestCase):
    def test_reset_by_the_device(self):
        payload = b"pose:" + bytes(range(90))
        # Wine reports a reset that hits a pending recv as an orderly close
        # about half the time, at times several runs in a row: only that
        # outcome is tried again.
        attempts = 20 if TARGET.windows else 1
        outcomes = []
        for _ in range(attempts):
            with Receiver() as receiver, Device() as device, \
                    Relay([str(receiver.port)]) as relay:
                conn = device.accept()
                ready = TARGET.text(READY).encode()
                self.assertEqual(relay.output.wait_for(ready, 10), ready)
                conn.sendall(payload)
                # The data is through and the relay waits in recv again when
                # the reset comes: under wine that reports the reset about
                # half the time, a reset just after the data almost never.
                receiver.wait_total(len(payload), 10)
                reset_close(conn)
                status, got = relay.finish(10)
                received = b"".join(receiver.finish())
            outcomes.append((status, got))
            if not (TARGET.windows and status == 0
                    and got == TARGET.text(READY + "Connection closed\n")):
                break
        self.assertEqual(got, TARGET.text(
            READY + "Unable to receive data from your device: %d\n" % TARGET.reset),
            "outcomes of %d attempt(s): %r" % (len(outcomes), outcomes))
        self.assertEqual(status, 2)
        self.assertEqual(received, payload, "data before the reset")


class SendFailures(RelayTestCase):
    """sendto failing for real inside the running relay, by a tracer's fault
    injection: loopback UDP to an unbound port does not fail on Linux."""

    def test_failed_sends_are_reported_and_relaying_goes_on(self):
        strace = shutil.which("strace")
        if TARGET.windows or not strace:
            self.fail("needs strace and a native Linux relay")
        pieces = [b"first pose", b"second pose", b"third pose", b"fourth pose"]
        tracer = [strace, "-qq", "-o", os.devnull, "-e", "trace=sendto",
                  "-e", "inject=sendto:error=ENETUNREACH:when=2..3"]
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)], wrapper=tracer, env=without_leak_check()) as relay:
            conn = device.accept()
            for piece in pieces:
                conn.sendall(piece)
                wait_relay_consumed(conn, relay)  # one read, so one sendto, per piece
            receiver.wait_total(len(pieces[0]) + len(pieces[3]), 10)
            conn.close()
            failed = "Unable to send data to Opentrack: %d\n" % errno.ENETUNREACH
            self.assertRun(relay, 0, READY + failed * 2 + "Connection closed\n")
            self.assertEqual(receiver.finish(), [pieces[0], pieces[3]])


class Interrupts(RelayTestCase):
    """Ctrl-C keeps the platform's default: the relay ends at once, and what
    it printed before is all there, even in a pipe."""

    def test_interrupt_while_relaying(self):
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)]) as relay:
            conn = device.accept()
            conn.sendall(b"a pose before the interrupt")
            receiver.wait_total(27, 10)
            ready = TARGET.text(READY).encode()
            self.assertEqual(relay.output.wait_for(ready, 10), ready)
            os.kill(relay.pid, signal.SIGINT)
            status, got = relay.finish(10)
            self.assertEqual(got, TARGET.text(READY), relay.describe())
            if TARGET.windows:
                # Windows' default handler ends the process with
                # STATUS_CONTROL_C_EXIT; wine's ends it with 0.
                self.assertIn(status, (0xC000013A, 0), relay.describe())
            else:
                # Killed by the signal itself, not an exit of its own.
                self.assertEqual(status, -signal.SIGINT, relay.describe())
            assert_device_sees_eof(self, conn)


class Valgrind(RelayTestCase):
    """Whole sessions under memcheck: no memory error, nothing leaked, and no
    descriptor left open beyond standard input, output and error."""

    def run_under_memcheck(self, args):
        log = tempfile.NamedTemporaryFile(prefix="memcheck-", suffix=".log", delete=False)
        log.close()
        self.addCleanup(os.unlink, log.name)
        tool = [shutil.which("valgrind") or "valgrind", "--tool=memcheck", "--track-fds=yes",
                "--leak-check=full", "--errors-for-leak-kinds=all", "--error-exitcode=99",
                "--log-file=" + log.name]
        return Relay(args, wrapper=tool), log.name

    def assertClean(self, log_name):
        with open(log_name) as f:
            report = f.read()
        self.assertIn("ERROR SUMMARY: 0 errors", report, report)
        self.assertIn("All heap blocks were freed", report, report)
        open_fds = re.findall(r"Open (?:AF_INET socket|file descriptor) (\d+): ?(.*)", report)
        leaked = [(fd, what) for fd, what in open_fds
                  if int(fd) > 2 and what.strip() != log_name]
        self.assertEqual(leaked, [], report)

    def test_session_relaying_megabytes_then_reset(self):
        with Receiver() as receiver, Device() as device:
            relay, log_name = self.run_under_memcheck([str(receiver.port)])
            with relay:
                conn = device.accept(30)
                relay_random_writes(self, relay, receiver, conn, 1 << 20)
                reset_close(conn)
                self.assertRun(relay, 2, READY + "Unable to receive data from your device: %d\n"
                               % errno.ECONNRESET, 60)
        self.assertClean(log_name)

    def test_refused_device(self):
        with NoDevice():
            relay, log_name = self.run_under_memcheck(["4242"])
            with relay:
                status, got = relay.finish(60)
                self.assertEqual(got, no_device_transcript(), relay.describe())
                self.assertEqual(status, 2, relay.describe())
        self.assertClean(log_name)


def _filled_pipe():
    """A pipe already full, so the child's first console write blocks."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    filler = 0
    block = b"\0" * 65536
    for _ in range(1024):
        try:
            filler += os.write(write_end, block)
        except BlockingIOError:
            break
    os.set_blocking(write_end, True)
    return read_end, write_end, filler


def _blocked_writing_stdout(pid):
    try:
        with open("/proc/%d/syscall" % pid) as f:
            syscall = f.read()
        with open("/proc/%d/wchan" % pid) as f:
            wchan = f.read()
    except OSError:
        return False
    # x86_64 write(1, ...), or at least asleep in the pipe code.
    return syscall.startswith("1 0x1 ") or "pipe" in wchan


class SocketLimits(RelayTestCase):
    """socket() failing, reached by lowering the open-file limit of the
    running relay while it is parked on its first console write (a limit set
    before exec would stop the dynamic loader instead)."""

    def run_with_fd_limit(self, limit, udp_port):
        if TARGET.windows or not hasattr(resource, "prlimit"):
            self.fail("needs prlimit on a native Linux process")
        read_end, write_end, filler = _filled_pipe()
        relay = Relay([str(udp_port)], stdout_fd=(read_end, write_end), discard=filler,
                      env=without_leak_check())
        with relay:
            if not wait_until(lambda: _blocked_writing_stdout(relay.pid), 10):
                self.fail("the relay never blocked on its first console write")
            _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.prlimit(relay.pid, resource.RLIMIT_NOFILE, (limit, hard))
            relay.start_reading()
            return relay.finish(10)

    def test_no_descriptor_for_the_device_socket(self):
        with Receiver() as receiver:
            status, got = self.run_with_fd_limit(3, receiver.port)
            self.assertEqual(got, BANNER + "Connection failed: %d\n" % errno.EMFILE)
            self.assertEqual(status, 2)

    def test_no_descriptor_for_the_opentrack_socket(self):
        with Receiver() as receiver, Device() as device:
            # The connection completes in the backlog; it is taken afterwards.
            status, got = self.run_with_fd_limit(4, receiver.port)
            self.assertEqual(got, BANNER + DEVICE_PROMPT + "Done\n" + OPENTRACK_PROMPT
                             + "Failed: %d\n" % errno.EMFILE)
            self.assertEqual(status, 2)
            assert_device_sees_eof(self, device.accept(5))
            self.assertEqual(receiver.finish(), [])


# Starts a program at a given nice value, then becomes it (exec: the same
# PID). Unprivileged, it leaves no room under RLIMIT_NICE and, started as
# root, runs a copy of the program in the given folder as the given user.
_START_AT_NICE = """
import os, resource, shutil, sys
nice, unprivileged, uid, gid = (int(word) for word in sys.argv[1:5])
folder, program = sys.argv[5], sys.argv[6]
os.setpriority(os.PRIO_PROCESS, 0, nice)
if unprivileged:
    resource.setrlimit(resource.RLIMIT_NICE, (0, 0))
    if os.geteuid() == 0:
        # The user must reach the program: a copy in a folder open to all.
        os.chmod(folder, 0o755)
        program = shutil.copy(program, folder)
        os.chmod(program, 0o755)
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
os.execv(program, [program] + sys.argv[7:])
"""


def _nice_of(pid):
    """The nice value of a running process (of its main thread), from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        # The fields after the command name, which may hold anything, are
        # state (3rd) onwards: the nice value is the 19th.
        return int(f.read().rsplit(")", 1)[1].split()[16])


class Priority(RelayTestCase):
    """Once started, the relay asks to run above normal priority; wherever
    that is refused it relays exactly as before."""

    POSES = [bytes(random.Random(8).randrange(256) for _ in range(48)) for _ in range(20)]

    def relay_and_look(self, look, **relay_options):
        """Relays poses and calls look(relay) halfway, while bytes flow; checks
        the transcript, the status and every byte. Returns what look saw."""
        payload = b"".join(self.POSES)
        with Receiver() as receiver, Device() as device, \
                Relay([str(receiver.port)], **relay_options) as relay:
            try:
                conn = device.accept(20)
            except AssertionError as exc:
                self.fail("%s\n%s" % (exc, relay.describe()))
            ready = TARGET.text(READY).encode()
            self.assertEqual(relay.output.wait_for(ready, 20), ready, relay.describe())
            half = len(payload) // 2
            conn.sendall(payload[:half])
            receiver.wait_total(half, 10)
            seen = look(relay)
            conn.sendall(payload[half:])
            receiver.wait_total(len(payload), 10)
            conn.close()
            self.assertRun(relay, 0, READY + "Connection closed\n", 20)
            self.assertEqual(b"".join(receiver.finish()), payload, relay.describe())
        return seen

    def test_raised_while_relaying(self):
        if TARGET.windows:
            self.check_priority_class()
        else:
            self.check_nice_values()

    def check_nice_values(self):
        nobody = pwd.getpwnam("nobody")
        root = os.geteuid() == 0
        rows = [
            # name, start at nice, unprivileged, nice while relaying
            ("from the default 0, as root: up to -10", 0, False, -10),
            ("started at nice -15 by its user: left as it is", -15, False, -15),
            ("a copy run as nobody: refused, stays 0", 0, True, 0),
        ]
        for name, start, unprivileged, want in rows:
            with self.subTest(name):
                if not root and not unprivileged:
                    self.fail("needs root, to start the relay at nice %d" % start)
                if not root and os.getpriority(os.PRIO_PROCESS, 0) > start:
                    self.fail("runs unprivileged above nice %d, so cannot start there" % start)
                folder = tempfile.mkdtemp(prefix="relay-as-nobody-")
                self.addCleanup(shutil.rmtree, folder)
                wrapper = [sys.executable, "-c", _START_AT_NICE, start, int(unprivileged),
                           nobody.pw_uid, nobody.pw_gid, folder]
                seen = self.relay_and_look(lambda relay: _nice_of(relay.pid), wrapper=wrapper)
                self.assertEqual(seen, want)

    def check_priority_class(self):
        probe = TARGET.priority_probe
        if not probe:
            self.fail("needs --priority-probe, the Windows helper that reads the class")
        probe_name = os.path.basename(probe)
        rows = [
            # name, what starts the relay, {process: its class while relaying}
            ("from the default class: up to Above normal", (),
             # The probe's own process, never raised, shows that it tells
             # the classes apart.
             {"tavorin-relay.exe": "ABOVE_NORMAL", probe_name: "NORMAL"}),
            # A launcher killed on a failure leaves the relay to wine, but
            # the relay ends by itself: the device's end closes either way.
            ("started in the High class: left as it is", (probe, "--start-high"),
             {"tavorin-relay.exe": "HIGH"}),
        ]

        def classes_of(names):
            def look(relay):
                seen = {}
                for exe_name in names:
                    with harness.Process(TARGET.emulator + [probe, exe_name]) as reading:
                        status = reading.finish(60)
                        self.assertEqual(status, 0, reading.describe())
                        seen[exe_name] = reading.output.snapshot().decode("latin-1").strip()
                self.assertTrue(relay.running(), relay.describe())
                return seen
            return look

        for name, launcher, want in rows:
            with self.subTest(name):
                seen = self.relay_and_look(classes_of(list(want)), launcher=launcher)
                self.assertEqual(seen, want)


def main():
    global TARGET
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--relay", required=True, help="the tavorin-relay binary")
    parser.add_argument("--emulator", action="append", default=[],
                        help="runs the binary (repeat for each word, e.g. scripts/wine-run)")
    parser.add_argument("--target", choices=["posix", "windows"],
                        help="the binary's platform (default: windows for .exe)")
    parser.add_argument("--newline", choices=["lf", "crlf"],
                        help="line ends on the console (default: crlf on windows)")
    parser.add_argument("--priority-probe",
                        help="the Windows helper that prints a process's priority class")
    options, rest = parser.parse_known_args()
    windows = (options.target == "windows" if options.target
               else options.relay.lower().endswith(".exe"))
    # Text-mode stdout of a Windows console program writes CR LF for "\n".
    crlf = options.newline == "crlf" if options.newline else windows
    TARGET = Target(options.relay, options.emulator, windows, crlf)
    TARGET.priority_probe = options.priority_probe
    if not os.path.exists(options.relay):
        sys.exit("no such relay binary: %s" % options.relay)
    if TARGET.emulator:
        TARGET.argv0 = harness.prepare_emulator(TARGET.emulator, TARGET.relay)
    unittest.main(module=sys.modules[__name__], argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
