"""Arguments made to mislead the binding must be refused with the argument error,
never crash the process. Each case runs in a child interpreter, so that a crash
fails the one test instead of ending the whole run.
"""

import os
import subprocess
import sys
import textwrap

import pytest
from support.children import python_command

# A type whose __qualname__ is not text: the wrong-type message names the type,
# and must not take whatever it is given for a str.
QUALNAMES = {
    "int": "42",
    "list": "['not', 'a', 'str']",
    # The bytes' payload lies where a str keeps its state and its data pointer.
    "bytes": "b'\\x84' + bytes(39) + (0x4141414141414141).to_bytes(8, 'little')",
}

CHILD = """
from vrell_mesh import VrellMesh

class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return {qualname}
        return super().__getattribute__(name)

class Odd(metaclass=Meta):
    pass

mesh = VrellMesh("x")
for call in (lambda: mesh.state_get(Odd()), lambda: mesh.publish("t", payload_json=Odd())):
    try:
        call()
    except TypeError as e:
        print(str(e).split(":")[0])
    else:
        raise AssertionError("accepted")
"""


@pytest.mark.parametrize("qualname", list(QUALNAMES.values()), ids=list(QUALNAMES))
def test_type_whose_qualname_is_not_text(qualname):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [*python_command(), "-c", textwrap.dedent(CHILD).format(qualname=qualname)],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    assert proc.stdout.split("\n")[:2] == ["argument 'key'", "argument 'payload_json'"], proc.stdout
