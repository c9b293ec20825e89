"""How tests start a child interpreter and build a small C library for it.

By default a child is `sys.executable` and the library is built by the host's
cc. An interpreter that the host cannot execute directly (one of another
architecture, run under user-mode emulation) names, in VRELL_TEST_PYTHON, the
command line that starts another of its kind, and in VRELL_TEST_CC a compiler
for its machine. Both are split like a shell would split them.
"""

import os
import shlex
import shutil
import subprocess
import sys

import pytest

SHIM_SOURCE = os.path.join(os.path.dirname(__file__), "fakeclock.c")


def python_command():
    """The command line that starts another interpreter like this one."""
    command = os.environ.get("VRELL_TEST_PYTHON")
    return shlex.split(command) if command else [sys.executable]


def c_compiler():
    """The command line of a C compiler for this interpreter's machine, or None."""
    command = os.environ.get("VRELL_TEST_CC")
    if command:
        return shlex.split(command)
    cc = shutil.which("cc") or shutil.which("gcc")
    return [cc] if cc else None


def clock_shim(directory):
    """Builds the preloadable clock shim into `directory`; returns the child
    environment that preloads it. Skips where that cannot work."""
    cc = c_compiler()
    if cc is None:
        pytest.skip("no C compiler to build the clock shim")
    if not sys.platform.startswith("linux"):
        pytest.skip("the clock shim is preloaded with LD_PRELOAD, which only Linux's loader reads")
    shim = os.path.join(str(directory), "libfakeclock.so")
    subprocess.run([*cc, "-shared", "-fPIC", "-O1", SHIM_SOURCE, "-o", shim, "-ldl"], check=True)
    env = dict(os.environ)
    env["LD_PRELOAD"] = (env.get("LD_PRELOAD", "") + " " + shim).strip()
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env
