"""The type information shipped with the module, as a user's type checker sees it.

The stub file is checked against the built module's signatures by stubtest in the test command;
here mypy reads a typed client and a set of misuses, and the stub's docstrings are compared with
the module's own so that editor hovers tell the same as help().
"""

import ast
import inspect
import os
import re
import subprocess
import types
from pathlib import Path

import pytest
from support.children import python_command

import vrell_mesh

ROOT = Path(__file__).resolve().parent.parent
TREE_STUBS = ROOT / "stubs"
INSTALLED_STUB = Path(vrell_mesh.__file__).resolve().parent / "vrell_mesh-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "agent_app.py"

# Expressions of a well-typed client and the type mypy must infer for each.
REVEALED = [
    ("vrell_mesh.__version__", "str"),
    ("mesh", "vrell_mesh.VrellMesh"),
    ("mesh.app_name", "str"),
    ("mesh.plan_json()", "str"),
    ("mesh.register_agent('Customer', 'c-1', 0, '{}')", "str"),
    ("mesh.register_agent(agent_type='Customer', agent_id='c-2', metadata_json=None)", "str"),
    ("mesh.update_agent_status('c-1', 'idle')", "None"),
    ("mesh.deregister_agent('c-2')", "None"),
    ("mesh.get_agent('c-1')", "str | None"),
    ("mesh.list_agents(status='idle')", "str"),
    ("mesh.route_agent_call('Customer', 'c-1', 'add', args_json='[1]')", "str"),
    ("mesh.state_set('k', '1')", "None"),
    ("mesh.state_get('k')", "str | None"),
    ("mesh.state_exists('k')", "bool"),
    ("mesh.state_delete('k')", "None"),
    ("mesh.state_keys()", "list[str]"),
    ("mesh.publish('t', '{}')", "int"),
    ("mesh.start_migration('v', 'sqlite', 'redis')", "str"),
    ("mesh.advance_migration('v', keys_migrated=3)", "str"),
    ("mesh.rollback_migration(variable_name='v')", "str"),
    ("mesh.get_migration('v')", "str | None"),
    ("mesh.list_migrations()", "str"),
    ("mesh.health_snapshot()", "str"),
]

# Misuses, each with the error code mypy must report on its line.
MISUSES = [
    ("mesh.state_keys(None)", "arg-type"),
    ("vrell_mesh.VrellMesh('shop', None)", "arg-type"),
    ("mesh.register_agent('Customer', 'c-1', '0')", "arg-type"),
    ("mesh.advance_migration('v', 1.5)", "arg-type"),
    ("mesh.publish('t')", "call-arg"),
    ("mesh.route_agent_call('Customer', 'c-1', 'add', args={})", "call-arg"),
    ("mesh.health_snapshot(True)", "call-arg"),
    ("mesh.get_agent('c-1').upper()", "union-attr"),
    ("mesh.state_exists('k') + ''", "operator"),
    ("received: str = mesh.publish('t', '{}')", "assignment"),
    ("keys: list[bytes] = mesh.state_keys()", "assignment"),
    ("mesh.app_name = 'other'", "misc"),
    ("mesh.shutdown()", "attr-defined"),
    ("class Custom(vrell_mesh.VrellMesh): ...", "misc"),
]

UNION_RE = re.compile(r"^(?:Union\[(?P<u>.+), None\]|Optional\[(?P<o>.+)\])$")
LINE_RE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): (?P<level>\w+): (?P<text>.*)$")
CODE_RE = re.compile(r"\[([\w-]+)\]$")
HEADER = "import vrell_mesh\n\nmesh = vrell_mesh.VrellMesh('shop', plan_json='')\n"
HEADER_LINES = HEADER.count("\n")


def _plain_type(text):
    """mypy's rendering of a type without the `builtins.` prefixes and old-style unions, which
    differ between mypy releases."""
    text = text.replace("builtins.", "")
    m = UNION_RE.match(text)
    return f"{m['u'] or m['o']} | None" if m else text


def _stub_locations():
    """Where a checker can find the stubs: the source tree (through MYPYPATH) and, once the
    package is installed, beside the module with no help at all."""
    return [
        pytest.param(
            "tree",
            marks=pytest.mark.skipif(
                not TREE_STUBS.is_dir(), reason="not run from the source tree"
            ),
        ),
        pytest.param(
            "installed",
            marks=pytest.mark.skipif(
                not INSTALLED_STUB.is_file(), reason="vrell_mesh is not imported from an install"
            ),
        ),
    ]


@pytest.fixture(scope="module", params=_stub_locations())
def mypy_run(request, tmp_path_factory):
    """Runs mypy once over the client, the misuses and the example application; returns
    {file: {line: [(level, text)]}} with the lines of client and misuse counted after HEADER."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    work = tmp_path_factory.mktemp(f"typing-{request.param}")
    client = HEADER + "".join(f"reveal_type({expr})\n" for expr, _ in REVEALED)
    misuse = HEADER + "".join(f"{code}\n" for code, _ in MISUSES)
    (work / "client.py").write_text(client)
    (work / "misuse.py").write_text(misuse)
    files = ["client.py", "misuse.py"]
    if EXAMPLE.is_file():
        (work / "agent_app.py").write_text(EXAMPLE.read_text(encoding="utf-8"), encoding="utf-8")
        files.append("agent_app.py")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if request.param == "tree":
        env["MYPYPATH"] = str(TREE_STUBS)
    proc = subprocess.run(
        [
            *python_command(),
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--show-error-codes",
            "--hide-error-context",
            "--no-color-output",
            "--no-pretty",
            # reveal_type() of a call that returns None is reported as using a missing value.
            "--disable-error-code",
            "func-returns-value",
            "--cache-dir",
            str(work / ".mypy_cache"),
            # Plain cache files: an interpreter built without sqlite3 (the musl one) runs it too.
            "--no-sqlite-cache",
            *files,
        ],
        check=False,
        cwd=work,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    # Status 1 is also what an interpreter gives that cannot import mypy: a real run reports
    # the misuses, so its output is never empty.
    assert proc.returncode in (0, 1) and proc.stdout, proc.stderr + proc.stdout
    found = {name: {} for name in files}
    for line in proc.stdout.splitlines():
        m = LINE_RE.match(line)
        assert m, f"unexpected mypy output: {line!r}\n{proc.stdout}"
        if m["file"] not in found:
            # Some releases point at the stub's definition in a note; anything worse is a fault
            # of the stub itself.
            assert m["level"] == "note", line
            continue
        offset = 0 if m["file"] == "agent_app.py" else HEADER_LINES
        found[m["file"]].setdefault(int(m["line"]) - offset, []).append((m["level"], m["text"]))
    return found


@pytest.mark.parametrize("name", ["client.py", "agent_app.py"])
def test_typed_client_passes_strict_mode(mypy_run, name):
    if name not in mypy_run:
        pytest.skip("the example application is not beside the tests")
    errors = [(n, t) for n, notes in mypy_run[name].items() for lvl, t in notes if lvl != "note"]
    assert errors == []


@pytest.mark.parametrize("index", range(len(REVEALED)), ids=[e for e, _ in REVEALED])
def test_inferred_types(mypy_run, index):
    _, expected = REVEALED[index]
    reported = mypy_run["client.py"].get(index + 1, [])
    revealed = [re.fullmatch(r'Revealed type is "(.*)"', text) for lvl, text in reported]
    assert [_plain_type(m.group(1)) for m in revealed if m] == [expected], reported


@pytest.mark.parametrize("index", range(len(MISUSES)), ids=[c for c, _ in MISUSES])
def test_misuse_is_flagged(mypy_run, index):
    _, code = MISUSES[index]
    reported = mypy_run["misuse.py"].get(index + 1, [])
    codes = [CODE_RE.search(text) for lvl, text in reported if lvl == "error"]
    assert [c.group(1) for c in codes if c] == [code], reported


def test_misuses_flag_nothing_else(mypy_run):
    assert set(mypy_run["misuse.py"]) <= set(range(1, len(MISUSES) + 1)), mypy_run["misuse.py"]


# ---------------------------------------------------------------------------
# Docstrings: what an editor shows from the stub is what help() shows from the module.


def _stub_tree():
    path = TREE_STUBS / "vrell_mesh.pyi" if TREE_STUBS.is_dir() else INSTALLED_STUB
    if not path.is_file():
        pytest.skip("no stub file beside the tests or the module")
    return ast.parse(path.read_text(encoding="utf-8"))


def _stub_docstrings():
    tree = _stub_tree()
    docs = {"vrell_mesh": ast.get_docstring(tree)}
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    docs["VrellMesh"] = ast.get_docstring(cls)
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("__"):
            docs[f"VrellMesh.{node.name}"] = ast.get_docstring(node)
    return docs


def _runtime_docstrings():
    docs = {"vrell_mesh": inspect.cleandoc(vrell_mesh.__doc__)}
    docs["VrellMesh"] = inspect.cleandoc(vrell_mesh.VrellMesh.__doc__)
    for name, member in vars(vrell_mesh.VrellMesh).items():
        if not name.startswith("__"):
            docs[f"VrellMesh.{name}"] = inspect.cleandoc(member.__doc__)
    return docs


def _stub_signature(node):
    """The text signature a stub function declares: "($self, a, b=0, c=None)"."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
    parts = []
    for arg, default in zip(args, defaults):
        name = "$self" if arg.arg == "self" else arg.arg
        if arg.arg == "cls":
            continue
        if default is not None:
            value = default.value
            name += f'="{value}"' if isinstance(value, str) else f"={value}"
        parts.append(name)
    return "(" + ", ".join(parts) + ")"


def test_stub_signatures_match_the_module():
    """The stub is the second, independent statement of every method's
    parameters and defaults: names, order, defaults and the class's method
    order must agree with what the module declares."""
    (cls,) = [n for n in _stub_tree().body if isinstance(n, ast.ClassDef)]
    stub = {n.name: _stub_signature(n) for n in cls.body if isinstance(n, ast.FunctionDef)}
    assert stub.pop("__new__") == vrell_mesh.VrellMesh.__text_signature__
    stub.pop("app_name")  # the property
    runtime = {
        name: member.__text_signature__
        for name, member in vars(vrell_mesh.VrellMesh).items()
        if isinstance(member, types.MethodDescriptorType)
    }
    assert list(stub.items()) == list(runtime.items())


def test_stub_docstrings_match_the_module():
    assert _stub_docstrings() == _runtime_docstrings()
