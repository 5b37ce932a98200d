# The process tests' shared harness: deadlines, started programs and their output, the relay's fixed values.
"""Standard library only. The black-box suite of the relay and the
companions' suite put tests/ on their path and import it.

TAVORIN_TEST_TIME_SCALE (a positive number, default 1) multiplies every
deadline; the Windows preset sets it for the runs under wine.
"""

import os
import pathlib
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

CONSTANTS_HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "relay_constants.h"


# --- the relay's fixed values ---------------------------------------------------------


def read_constants(text, names, origin):
    """The integer constexpr values of C++ header text, by name. A value that
    is missing or not a plain integer literal raises ValueError naming it, so
    a renamed or reshaped constant stops the suites instead of feeding them a
    guess."""
    values = {}
    for name in names:
        found = re.search(r"^\s*constexpr\s+[\w:]+\s+%s\s*=\s*([^;]*);" % re.escape(name),
                          text, re.MULTILINE)
        if not found:
            raise ValueError("%s defines no constexpr %s" % (origin, name))
        # Hexadecimal or decimal; a leading 0 would make it octal in C++.
        literal = re.fullmatch(r"(0[xX][0-9a-fA-F]+|0|[1-9][0-9]*)[uUlL]*", found.group(1).strip())
        if not literal:
            raise ValueError("%s: %s = %r is not an integer literal" % (origin, name, found.group(1)))
        values[name] = int(literal.group(1), 0)
    return values


def relay_constants(header=CONSTANTS_HEADER):
    return read_constants(header.read_text(), ("device_port", "relay_buffer_size", "loopback_address"),
                          header)


_constants = relay_constants()
DEVICE_PORT = _constants["device_port"]
# The relay's read size, so the largest datagram it may send.
PIECE = _constants["relay_buffer_size"]
LOOPBACK = socket.inet_ntoa(struct.pack("!I", _constants["loopback_address"]))


# --- deadlines -----------------------------------------------------------------------


def time_scale(text):
    try:
        scale = float(text)
    except ValueError:
        sys.exit("TAVORIN_TEST_TIME_SCALE must be a number, got %r" % text)
    if not scale > 0:
        sys.exit("TAVORIN_TEST_TIME_SCALE must be positive, got %r" % text)
    return scale


SCALE = time_scale(os.environ.get("TAVORIN_TEST_TIME_SCALE", "1"))


def seconds(base):
    """A duration of the suites, stretched for slow hosts and emulators."""
    return base * SCALE


class Deadline:
    def __init__(self, base_seconds):
        self.end = time.monotonic() + seconds(base_seconds)

    def left(self):
        return max(0.0, self.end - time.monotonic())

    def passed(self):
        return time.monotonic() >= self.end


def wait_until(predicate, base_seconds, step=0.01):
    """Polls predicate until true or the deadline; returns its last value."""
    deadline = Deadline(base_seconds)
    while True:
        value = predicate()
        if value or deadline.passed():
            return value
        time.sleep(min(step, deadline.left()) or step)


# --- reading as data comes --------------------------------------------------------------


class Drain:
    """Takes what a descriptor offers as it comes, on a thread of its own,
    until its end or until asked to stop. It never needs the end: under wine
    a helper process may hold a pipe's write end open long after the
    program has exited."""

    def __init__(self, source, take, keep):
        """take(source) returns a list of pieces ([] when nothing is left for
        now) or None at the end; keep(pieces) stores them, under the lock."""
        self.cond = threading.Condition()
        self.error = None
        self._source = source
        self._take = take
        self._keep = keep
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            for _ in range(10**8):  # bounded: 50 ms polls for two months, at most
                stopping = self._stop.is_set()
                readable, _, _ = select.select([self._source], [], [], 0.05)
                if readable:
                    pieces = self._take(self._source)
                    if pieces is None:
                        return
                    with self.cond:
                        self._keep(pieces)
                        self.cond.notify_all()
                    continue
                # Checked before the select: everything written before the
                # stop was asked for is seen as readable there.
                if stopping:
                    return
        except Exception as exc:  # reported by the test, not lost in a thread
            self.error = exc

    def wait(self, predicate, timeout):
        """Waits up to timeout seconds (not scaled) for predicate(), which
        runs under the lock; returns its last value."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                value = predicate()
                left = end - time.monotonic()
                if value or left <= 0:
                    return value
                self.cond.wait(min(0.1, left))

    def stop(self, base_seconds=5):
        """Takes what is readable now, then stops. True once the thread has
        ended; a thread still reading keeps the descriptor."""
        self._stop.set()
        self._thread.join(seconds(base_seconds))
        return not self._thread.is_alive()


class Output:
    """A program's standard output, gathered from a pipe as it comes."""

    def __init__(self, fd, discard=0):
        self.fd = fd
        self._discard = discard
        self._data = bytearray()
        os.set_blocking(fd, False)
        self._drain = Drain(fd, self._take, self._keep)

    @staticmethod
    def _take(fd):
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return []
        return [chunk] if chunk else None

    def _keep(self, chunks):
        for chunk in chunks:
            dropped = min(self._discard, len(chunk))
            self._discard -= dropped
            self._data += chunk[dropped:]

    def snapshot(self):
        with self._drain.cond:
            return bytes(self._data)

    def wait_for(self, needle, base_seconds):
        """Waits until the output contains needle; returns the output so far."""
        self._drain.wait(lambda: needle in self._data, seconds(base_seconds))
        return self.snapshot()

    def wait_for_more(self, than, timeout):
        """Waits up to timeout seconds (not scaled) for more than `than` bytes."""
        self._drain.wait(lambda: len(self._data) > than, timeout)

    def finish(self, base_seconds=5):
        """Takes what is left in the pipe, once the writer has exited."""
        if self._drain.stop(base_seconds) and self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if self._drain.error is not None:
            raise self._drain.error
        return self.snapshot()


def whole_lines(data):
    """The lines of output text that are whole (their newline is written)."""
    return [line.rstrip("\r") for line in data.decode("utf-8", "replace").split("\n")[:-1]]


# --- programs -----------------------------------------------------------------------------


class Process:
    """One started program, ended by its own process id if it overstays.
    Standard output goes to a pipe read as it comes; standard error to a
    file, since wine's helpers may keep it open after the exit. A wrapper
    (a tracer) may run the program as its own child: wrapped=True ends that
    child too."""

    def __init__(self, command, env=None, stdout_fd=None, discard=0, wrapped=False, cwd=None):
        self.command = [str(word) for word in command]
        self.wrapped = wrapped
        if stdout_fd is None:
            read_end, write_end = os.pipe()
        else:
            read_end, write_end = stdout_fd
        self._stderr = tempfile.TemporaryFile()
        self._stderr_text = ""
        try:
            self.proc = subprocess.Popen(
                self.command, stdin=subprocess.DEVNULL, stdout=write_end,
                stderr=self._stderr, close_fds=True, env=env, cwd=cwd)
        except BaseException:
            self._stderr.close()
            os.close(read_end)
            raise
        finally:
            os.close(write_end)
        self.pid = self.proc.pid
        self._read_end = read_end
        self._discard = discard
        self.output = None
        if stdout_fd is None:
            self.start_reading()
        self.returncode = None

    def start_reading(self):
        self.output = Output(self._read_end, discard=self._discard)

    def running(self):
        return self.proc.poll() is None

    def send_signal(self, number):
        if self.running():
            self.proc.send_signal(number)

    def lines(self):
        """The whole lines of standard output so far."""
        return whole_lines(self.output.snapshot())

    def wait_for_line(self, pattern, base_seconds):
        """The first whole line of standard output that matches pattern (a
        regular expression); fails if the program ends or the deadline
        passes first."""
        regex = re.compile(pattern)
        deadline = Deadline(base_seconds)
        for _ in range(10**7):  # bounded: each turn waits for output, up to 0.1 s
            ended = not self.running()
            if ended:
                self.output.finish()  # all it wrote is in the pipe now
            data = self.output.snapshot()
            line = next((line for line in whole_lines(data) if regex.search(line)), None)
            if line is not None:
                return line
            if ended or deadline.passed():
                raise AssertionError("%s before a line matching %r\n%s" % (
                    "ended" if ended else "no line within %.1f s" % seconds(base_seconds),
                    pattern, self.describe()))
            self.output.wait_for_more(len(data), min(0.1, deadline.left()))
        raise AssertionError("gave up waiting for a line matching %r" % pattern)

    def finish(self, base_seconds=10):
        """Waits for the exit and returns the status; ends the program if it
        overstays, and fails."""
        try:
            self.returncode = self.proc.wait(timeout=seconds(base_seconds))
        except subprocess.TimeoutExpired:
            self.kill()
            if self.output:
                self.output.finish()
            raise AssertionError("still running after %.1f s; ended\n%s"
                                 % (seconds(base_seconds), self.describe())) from None
        if self.output:
            self.output.finish()
        return self.returncode

    def _children(self):
        pids = []
        try:
            for task in os.listdir("/proc/%d/task" % self.pid):
                with open("/proc/%d/task/%s/children" % (self.pid, task)) as f:
                    pids += [int(pid) for pid in f.read().split()]
        except OSError:
            pass
        return pids

    def kill(self):
        if self.proc.poll() is None:
            # A killed tracer lets its tracee go on: end the program under it too.
            doomed = (self._children() if self.wrapped else []) + [self.pid]
            for pid in doomed:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                self.proc.wait(timeout=seconds(10))
            except subprocess.TimeoutExpired:
                pass

    def close(self):
        self.kill()
        self.stderr()
        self._stderr.close()
        if self.output is not None:
            self.output.finish(1)
        else:
            os.close(self._read_end)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def stderr(self):
        """What the program wrote to standard error (kept after close)."""
        if not self._stderr.closed:
            self._stderr.seek(0)
            self._stderr_text = self._stderr.read().decode("utf-8", "replace")
        return self._stderr_text

    def stderr_lines(self):
        return [line.rstrip("\r") for line in self.stderr().split("\n")[:-1]]

    def describe(self):
        # Latin-1 keeps every byte of the output visible.
        output = self.output.snapshot().decode("latin-1") if self.output else None
        errors = self.stderr()[-4000:]
        return "command %r -> exit %r, output %r%s" % (
            self.command, self.returncode, output,
            "\nstderr:\n" + errors if errors.strip() else "")


def start_ready(command, ready, base_seconds, **options):
    """Starts a program and waits for its ready line (a regular expression);
    one that never gets ready is ended here, since no caller owns it yet."""
    process = Process(command, **options)
    try:
        process.wait_for_line(ready, base_seconds)
    except BaseException:
        process.close()
        raise
    return process


def free_port(kind=socket.SOCK_DGRAM):
    """A loopback port free just now; never the device port, which the
    relay's tests take."""
    for _ in range(100):
        with socket.socket(socket.AF_INET, kind) as probe:
            probe.bind((LOOPBACK, 0))
            port = probe.getsockname()[1]
        if port != DEVICE_PORT:
            return port
    raise AssertionError("no free loopback port in 100 tries")


# --- wine -------------------------------------------------------------------------------


def _emulator_wineprefix(emulator):
    """The WINEPREFIX the emulator wrapper sets, read by putting a stand-in
    'wine' first on its PATH (it is not started for real)."""
    with tempfile.TemporaryDirectory() as tmp:
        fake = os.path.join(tmp, "wine")
        with open(fake, "w") as script:
            script.write('#!/bin/sh\nprintf "%s" "$WINEPREFIX"\n')
        os.chmod(fake, stat.S_IRWXU)
        env = dict(os.environ, PATH=tmp + os.pathsep + os.environ.get("PATH", ""))
        try:
            probe = subprocess.run(emulator + ["probe"], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   timeout=seconds(10))
        except (OSError, subprocess.TimeoutExpired):
            return None
    prefix = probe.stdout.decode(errors="replace")
    return prefix if probe.returncode == 0 and prefix.startswith("/") else None


def prepare_emulator(emulator, path):
    """Starts a wineserver that outlives each run (so no run has to spawn
    one holding its pipes, and starts are quick), boots the prefix once,
    and returns the name wine gives path inside (its DOS form)."""
    prefix = _emulator_wineprefix(emulator)
    wineserver = shutil.which("wineserver")
    if prefix and wineserver:
        os.makedirs(prefix, exist_ok=True)
        env = dict(os.environ, WINEPREFIX=prefix)
        # It goes away by itself this long after its last client: nothing to kill.
        linger = int(max(30, seconds(30)))
        try:
            subprocess.run([wineserver, "-p%d" % linger], env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=seconds(30),
                           start_new_session=True)
        except subprocess.TimeoutExpired:
            pass  # one is running already, or the runs start their own
    # Run like the programs under test: its output is taken at its exit, not at EOF.
    with Process(emulator + ["winepath", "-w", path]) as boot:
        try:
            status = boot.finish(120)
        except AssertionError as exc:
            sys.exit("warming up the emulator failed: %s" % exc)
        dos_path = boot.output.snapshot().decode("latin-1").strip()
        if status != 0 or not dos_path:
            sys.exit("could not start the emulator: %s" % boot.describe())
    return dos_path
