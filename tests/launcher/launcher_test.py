# Tests of tavorin-relay-start.cmd: the real launcher and relay under wine's cmd, laid out as the zip.
"""Runs the Windows launcher with `cmd /c` under wine, beside the real relay
.exe in a folder whose path holds a space, started from another folder, and
checks what a user sees: restarts while the device is away, poses relayed
once it is there, a restart after the device ends its stream, and the usage
line with the window held open, then ending once standard input is closed.

    python3 launcher_test.py --emulator scripts/wine-run \\
        --relay build/windows/src/tavorin-relay.exe --launcher src/tavorin-relay-start.cmd
    python3 launcher_test.py --emulator scripts/wine-run --folder UNZIPPED_PACKAGE_FOLDER

Each case runs in a wine prefix of its own (a copy of the project's), so that
`wineserver -k` ends the launcher's loop, and nothing else, when it is done.
TAVORIN_TEST_TIME_SCALE (float, default 1) multiplies every deadline.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [TESTS, os.path.join(TESTS, "blackbox")]
import harness  # noqa: E402  (tests/ and the black-box suite are put on the path above)
import relay_blackbox as blackbox  # noqa: E402
from harness import seconds  # noqa: E402
from relay_blackbox import BANNER, READY, Device, NoDevice, Receiver  # noqa: E402

LAUNCHER = "tavorin-relay-start.cmd"
RELAY = "tavorin-relay.exe"
PORT_LINE = re.compile(r'^set "udp_port=4242"(?=\r?$)', re.MULTILINE)

ENDED = "The relay ended: the device ended the stream. Starting it again in 2 seconds (Ctrl-C to stop).\n"
BROKE = ("The relay ended: the device is not there, or the link broke. "
         "Starting it again in 2 seconds (Ctrl-C to stop).\n")


class Options:
    emulator = []
    folder = None  # the launcher and the relay side by side, as unzipped
    source_prefix = None  # an initialised prefix to copy, if there is one


def dos_path(path):
    # Wine maps drive Z: to the Linux root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# The prefixes whose launcher loop may still run. A loop outlives the wine
# process that started it, so a run ended from outside (a timeout's SIGTERM)
# must still end them, or the relay keeps being started against the device port.
LIVE_PREFIXES = set()


def end_wine(prefix):
    """Ends every Windows process of the prefix, the launcher's loop included."""
    env = dict(os.environ, WINEPREFIX=prefix)
    for flag in ("-k", "-w"):
        try:
            subprocess.run(["wineserver", flag], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=seconds(30))
        except subprocess.TimeoutExpired:
            pass
    LIVE_PREFIXES.discard(prefix)


def end_every_prefix():
    for prefix in list(LIVE_PREFIXES):
        end_wine(prefix)


class LauncherTestCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        scratch = tempfile.mkdtemp(prefix="tavorin-launcher-")
        self.addCleanup(shutil.rmtree, scratch, True)
        self.prefix = os.path.join(scratch, "wine")
        if Options.source_prefix:
            shutil.copytree(Options.source_prefix, self.prefix, symlinks=True)
        else:
            os.mkdir(self.prefix)
        # Registered after the prefix's removal, so it runs before it.
        self.addCleanup(end_wine, self.prefix)
        LIVE_PREFIXES.add(self.prefix)
        # Started from a folder that holds neither program.
        self.elsewhere = os.path.join(scratch, "elsewhere")
        os.mkdir(self.elsewhere)
        self.folder = Options.folder

    def launch(self, args=(), folder=None):
        """Starts the launcher as `cmd /c "Z:\\...\\tavorin-relay-start.cmd" ARGS`
        with standard input closed; its console output is collected."""
        launcher = dos_path(os.path.join(folder or self.folder, LAUNCHER))
        env = dict(os.environ, TAVORIN_WINEPREFIX=self.prefix)
        launched = harness.Process(Options.emulator + ["cmd", "/c", launcher] + list(args),
                                   env=env, cwd=self.elsewhere)
        self.addCleanup(launched.close)
        return launched

    def wait_for_text(self, launched, text, base_seconds, what):
        """Waits until the console reads exactly text so far; returns the time."""
        wanted = blackbox.TARGET.text(text).encode()
        got = launched.output.wait_for(wanted, base_seconds)
        if not got.startswith(wanted):
            self.assertEqual(got.decode("latin-1")[:len(wanted) + 200], wanted.decode("latin-1"),
                             "%s (the console so far, against the start expected)\nstderr: %s"
                             % (what, launched.stderr()))
        return time.monotonic()


class Restarts(LauncherTestCase):
    def test_restarts_until_the_device_comes_then_relays_then_restarts(self):
        refused = blackbox.no_device_transcript().replace("\r\n", "\n")
        with Receiver() as receiver:
            launched = self.launch([str(receiver.port)])
            with NoDevice():
                expected = refused + BROKE
                first_retry = self.wait_for_text(launched, expected, 30, "no device")
                expected += refused + BROKE + BANNER
                third_start = self.wait_for_text(launched, expected, 60, "two restarts")
                # Each retry line promises a pause of 2 seconds: a loop that
                # does not wait would start again within one relay's run.
                self.assertGreater(third_start - first_retry, 3.0,
                                   "two restarts %.2f s after the first retry line"
                                   % (third_start - first_retry))
            with Device() as device:
                conn = device.accept(60)
                # Earlier runs may have been refused while the port changed hands.
                console = launched.output.wait_for(
                    blackbox.TARGET.text("Ready to play\n").encode(), 30).decode("latin-1")
                refusals = console.count("Failed: ")
                self.assertGreaterEqual(refusals, 2, console)
                expected = (refused + BROKE) * refusals + READY
                self.wait_for_text(launched, expected, 1, "device there")

                # Whole, in order, in datagrams of 1 to 64 bytes.
                blackbox.relay_random_writes(self, launched, receiver, conn, 48 * 1000)
                conn.close()
                expected += "Connection closed\n" + ENDED + READY
                device.accept(60)  # the relay, started once more
                self.wait_for_text(launched, expected, 30, "device ended its stream")
                # Nothing else: the relay now waits for the device's data.
                self.assertEqual(launched.output.snapshot().decode("latin-1"),
                                 blackbox.TARGET.text(expected))


class BadPort(LauncherTestCase):
    """A bad port stops the loop: the usage line stays readable behind pause,
    which returns once standard input is at its end."""

    def test_usage_line_then_pause_ends_with_input_closed(self):
        edited = os.path.join(os.path.dirname(self.elsewhere), "edited port")
        shutil.copytree(self.folder, edited)
        with open(os.path.join(edited, LAUNCHER), "r+b") as launcher:
            text, count = PORT_LINE.subn('set "udp_port=0"',
                                         launcher.read().decode("latin-1"))
            self.assertEqual(count, 1, "the launcher has no one line setting port 4242")
            launcher.seek(0)
            launcher.truncate()
            launcher.write(text.encode("latin-1"))
        cases = [
            ("port 0 as the argument", ["0"], self.folder),
            ("port 0 on the marked line, no argument", [], edited),
        ]
        for name, args, folder in cases:
            with self.subTest(name):
                launched = self.launch(args, folder)
                status = launched.finish(60)
                got = launched.output.snapshot().decode("latin-1")
                usage = "Usage: %s udp_port\r\n" % dos_path(os.path.join(folder, RELAY))
                self.assertTrue(got.startswith(usage), launched.describe())
                # pause's prompt follows, in wine's words or Windows'.
                self.assertRegex(got[len(usage):], r"^Press any key to continue[ .]*\Z",
                                 launched.describe())
                self.assertEqual(status, 1, launched.describe())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--emulator", action="append", required=True,
                        help="runs Windows programs (repeat for each word, e.g. scripts/wine-run)")
    parser.add_argument("--folder", help="an unpacked package folder with the launcher and the relay")
    parser.add_argument("--relay", help="the relay .exe, laid out with --launcher in a folder")
    parser.add_argument("--launcher", help="tavorin-relay-start.cmd")
    options, rest = parser.parse_known_args()
    if not options.folder and not (options.relay and options.launcher):
        parser.error("give --folder, or --relay and --launcher")
    # Absolute, since each launch starts from another folder.
    Options.emulator = [os.path.abspath(word) if os.sep in word else word
                        for word in options.emulator]
    layout = None
    if options.folder:
        Options.folder = os.path.abspath(options.folder)
    else:
        layout = tempfile.mkdtemp(prefix="tavorin-launcher-")
        Options.folder = os.path.join(layout, "tavorin relay")
        os.mkdir(Options.folder)
        shutil.copy(options.relay, os.path.join(Options.folder, RELAY))
        shutil.copy(options.launcher, os.path.join(Options.folder, LAUNCHER))
    blackbox.TARGET = blackbox.Target(os.path.join(Options.folder, RELAY), Options.emulator,
                                      windows=True, crlf=True)
    source = harness._emulator_wineprefix(Options.emulator)
    if source and os.path.exists(os.path.join(source, "system.reg")):
        Options.source_prefix = source
    # A timeout's SIGTERM skips unittest's cleanups: end the loops here first.
    signal.signal(signal.SIGTERM, lambda number, frame: (end_every_prefix(), os._exit(128 + number)))
    try:
        run = unittest.main(module=sys.modules[__name__], argv=[sys.argv[0]] + rest,
                            verbosity=2, exit=False)
    finally:
        end_every_prefix()  # after Ctrl-C, say
        if layout:
            shutil.rmtree(layout, True)
    sys.exit(0 if run.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
