"""The module under re-import, in subinterpreters (multi-phase initialisation) and
on a free-threaded interpreter."""

import importlib
import os
import subprocess
import sys
import sysconfig

import pytest
from support.children import python_command

import vrell_mesh


def test_reimport_gives_a_fresh_module_with_its_own_class():
    saved = sys.modules.pop("vrell_mesh")
    try:
        again = importlib.import_module("vrell_mesh")
        assert again is not saved
        assert again.VrellMesh is not saved.VrellMesh
        assert again.__all__ == ["VrellMesh", "__version__"]
        mesh = again.VrellMesh("re")
        mesh.state_set("k", "[1, 2]")
        assert mesh.state_get("k") == "[1,2]"
        # Objects of the first import keep working.
        old = saved.VrellMesh("old")
        assert repr(old) == 'VrellMesh(app="old", agents=0, state_keys=0, migrations=0)'
    finally:
        sys.modules["vrell_mesh"] = saved


def _subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            continue
    return None


SUB_BODY = """
import json, vrell_mesh
m = vrell_mesh.VrellMesh("sub")
m.register_agent("T", "a")
m.route_agent_call("T", "a", "go")
m.publish("t", "{}")
try:
    m.state_set("k", "{")
except ValueError as e:
    assert str(e).startswith("Serialization error: EOF"), e
assert json.loads(m.health_snapshot())["agents"]["running"] == 1
"""

PARENT = """
import importlib
for name in ("_interpreters", "_xxsubinterpreters"):
    try:
        si = importlib.import_module(name)
        break
    except ImportError:
        pass
import vrell_mesh
for _ in range(3):
    interp = si.create()
    si.run_string(interp, BODY)
    si.destroy(interp)
assert vrell_mesh.VrellMesh("main").app_name == "main"
print("OK")
"""


@pytest.mark.skipif(_subinterpreters() is None, reason="no subinterpreter module in this Python")
def test_imports_and_works_in_a_subinterpreter():
    # In a child process: a crash there must not take the test run down.
    code = f"BODY = {SUB_BODY!r}\n" + PARENT
    proc = subprocess.run([*python_command(), "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout.strip() == "OK", proc.stderr


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded interpreter"
)
def test_import_leaves_a_free_threaded_interpreter_without_its_lock():
    # Importing a module that does not declare that it runs without the
    # interpreter lock turns the lock back on, with a RuntimeWarning that -W
    # error makes a failure. In a child: this process has imported it already.
    code = "import sys, vrell_mesh; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run(
        [*python_command(), "-W", "error", "-c", code], capture_output=True, text=True, env=env
    )
    assert proc.returncode == 0 and proc.stdout.strip() == "False", proc.stderr
