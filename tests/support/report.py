"""Figures that the reliability tests hand to the test script's closing note.

A test calls report(topic, text); the line is printed (visible with -s or -rA)
and, when VRELL_TEST_REPORT names a file, appended to it.
"""

import os


def report(topic, text):
    line = f"{topic}: {text}"
    print(line)
    path = os.environ.get("VRELL_TEST_REPORT")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(line + "\n")
