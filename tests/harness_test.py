# Tests of the process tests' harness: the constants reader, and output read from a started program.
import os
import signal
import sys
import tempfile
import time
import unittest

import harness

NAMES = ("device_port", "relay_buffer_size", "loopback_address")
HEADER = """// A header of the same shape, with other values.
#pragma once
#include <cstdint>
constexpr std::uint16_t device_port = 4321;
constexpr int relay_buffer_size = 32U;
constexpr std::uint32_t loopback_address = 0x0A000001;
"""


class Constants(unittest.TestCase):
    def test_reads_decimal_and_hexadecimal_values_by_name(self):
        self.assertEqual(harness.read_constants(HEADER, NAMES, "sample.h"),
                         {"device_port": 4321, "relay_buffer_size": 32, "loopback_address": 0x0A000001})

    def test_a_missing_or_unreadable_value_stops_the_suite(self):
        cases = [
            ("missing", HEADER.replace("relay_buffer_size", "read_size"), "no constexpr relay_buffer_size"),
            ("commented out", HEADER.replace("constexpr int", "// constexpr int"),
             "no constexpr relay_buffer_size"),
            ("an expression", HEADER.replace("32U", "1 << 5"), "relay_buffer_size = '1 << 5'"),
            ("octal in C++", HEADER.replace("4321", "04321"), "device_port = '04321'"),
        ]
        for name, text, message in cases:
            with self.subTest(name), self.assertRaises(ValueError) as raised:
                harness.read_constants(text, NAMES, "sample.h")
            self.assertIn("sample.h", str(raised.exception))
            self.assertIn(message, str(raised.exception))

    def test_the_relay_header_gives_every_value(self):
        values = harness.relay_constants()
        self.assertEqual(sorted(values), sorted(NAMES))
        self.assertEqual(harness.LOOPBACK, "127.0.0.1")
        self.assertTrue(0 < harness.DEVICE_PORT < 65536 and 0 < harness.PIECE, values)


def python(code):
    return [sys.executable, "-c", code]


class Programs(unittest.TestCase):
    def test_last_words_arrive_while_a_helper_holds_the_pipe(self):
        # What wine does: a helper inherits standard output and outlives the
        # program. The output must be whole at the exit, with no wait for EOF.
        with tempfile.TemporaryDirectory() as folder:
            pid_file = os.path.join(folder, "helper")
            code = ("import os, time\n"
                    "helper = os.fork()\n"
                    "if helper == 0:\n"
                    "    time.sleep(60)\n"
                    "    os._exit(0)\n"
                    "open(%r, 'w').write(str(helper))\n"
                    "print('last words', flush=True)\n" % pid_file)
            with harness.Process(python(code)) as program:
                began = time.monotonic()
                status = program.finish(10)
                if os.path.exists(pid_file):
                    with open(pid_file) as helper:
                        self.addCleanup(os.kill, int(helper.read()), signal.SIGKILL)
                self.assertEqual(status, 0, program.describe())
                self.assertEqual(program.lines(), ["last words"])
                self.assertLess(time.monotonic() - began, harness.seconds(5), "waited for EOF")

    def test_waiting_for_a_line_fails_when_the_program_ends_or_the_deadline_passes(self):
        # The short deadline starts only once the program is seen running, so
        # a slow start on a busy machine cannot pass for either outcome.
        cases = [
            ("ended", python("print('other', flush=True)"), 30,
             "ended before a line matching 'ready'"),
            ("deadline", python("print('other', flush=True); __import__('time').sleep(60)"),
             1 / harness.SCALE, "no line within"),
        ]
        for name, command, deadline, message in cases:
            with self.subTest(name), harness.Process(command) as program:
                program.wait_for_line("other", 30)
                with self.assertRaises(AssertionError) as raised:
                    program.wait_for_line("ready", deadline)
                self.assertIn(message, str(raised.exception))
                self.assertIn("other", str(raised.exception), "the output so far is shown")

    def test_a_line_written_in_pieces_is_matched_once_whole(self):
        code = ("import sys, time\n"
                "sys.stdout.write('Listen'); sys.stdout.flush(); time.sleep(0.2)\n"
                "sys.stdout.write('ing on 1\\n'); sys.stdout.flush(); time.sleep(60)\n")
        with harness.Process(python(code)) as program:
            # Half a line already matches: only the whole one may be taken.
            self.assertEqual(program.wait_for_line(r"^Listen", 10), "Listening on 1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
