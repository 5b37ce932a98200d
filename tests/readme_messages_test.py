#!/usr/bin/env python3
"""Keeps the README's table of console lines true to what the program prints."""
import pathlib
import re
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PLACEHOLDERS = {"%ld": "<code>", "%d": "<code>", "%s": "<program>"}


def program_messages():
    """Every message the relay prints, as a reader sees it: codes as <code>."""
    messages = set()
    for source in sorted((ROOT / "src").glob("*.cpp")):
        for literal in re.findall(r'\bsay\(\s*"((?:[^"\\]|\\.)*)"', source.read_text()):
            text = literal.replace("\\n", "")
            for placeholder, shown in PLACEHOLDERS.items():
                text = text.replace(placeholder, shown)
            messages.add(text)
    return messages


def readme_lines():
    """The first column of the README's table of console lines."""
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## What the console says", 1)[1].split("\n## ", 1)[0]
    return [m.group(1) for m in re.finditer(r"^\| `([^`]+)` \|", section, re.MULTILINE)]


def split_into_messages(line, messages):
    """The messages that make up a console line (a prompt and its outcome
    share one), or None when the program could not print it."""
    if line in messages:
        return [line]
    for message in messages:
        if line.startswith(message) and line[len(message):] in messages:
            return [message, line[len(message):]]
    return None


class ReadmeMessages(unittest.TestCase):
    def setUp(self):
        self.messages = program_messages()
        self.lines = readme_lines()
        # A broken extraction must not pass as "nothing to compare".
        self.assertGreaterEqual(len(self.messages), 10, self.messages)
        self.assertGreaterEqual(len(self.lines), 10, self.lines)

    def test_every_line_in_the_table_is_one_the_program_prints(self):
        for line in self.lines:
            with self.subTest(line=line):
                self.assertIsNotNone(split_into_messages(line, self.messages),
                                     f"the README explains a line the program never prints: {line!r}")

    def test_every_message_the_program_prints_is_explained(self):
        explained = set()
        for line in self.lines:
            explained.update(split_into_messages(line, self.messages) or [])
        self.assertEqual(sorted(self.messages - explained), [],
                         "messages missing from the README's table")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
