"""Containers still alive when the interpreter shuts down.

Each case runs in a child interpreter under the recording double, whose
proxies keep unpickled containers alive until the final collection, and
leaves containers for the interpreter's teardown to free after it has
cleared the classes and modules. The child must exit 0 and print nothing
beyond its own last line.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import quorlib

SETUP = """
import sys
sys.path.insert(0, {tests!r})
from fakeray import FakeRay, install
import quorlib.quordict as qd, quorlib.quorlist as ql
install(FakeRay())
"""

CASES = {
    "list in list": "inner = ql.QuorList(1, [1]); outer = ql.QuorList(1, [inner]); del inner, outer",
    "dict in dict": "inner = qd.QuorDict({1: 1}, 1); outer = qd.QuorDict({'a': inner}, 1); del inner, outer",
    "a hundred deep": """
        x = ql.QuorList(1, [])
        for _ in range(100):
            x = ql.QuorList(1, [x])
    """,
    "a subclass kept in its own class attribute": """
        class Sub(ql.QuorList):
            pass
        Sub.keep = Sub(1, [1])
        with Sub.keep:
            Sub.keep.append(Sub(1, []))
        class DictSub(qd.QuorDict):
            pass
        DictSub.keep = DictSub({1: DictSub({}, 1)}, 1)
    """,
    "changed outside a block and inside an unfinished block": """
        d = qd.QuorDict({}, 1)
        d["x"] = ql.QuorList(1, [])
        lst = ql.QuorList(1, [d])
        lst.__lock__()
        lst.append(qd.QuorDict({}, 1))
    """,
    "twenty thousand deep, resident": """
        head = cur = ql.QuorList(1, [])
        for _ in range(20000):
            nxt = ql.QuorList(1, [])
            with cur:
                cur.append(nxt)
            cur = nxt
        del cur, nxt
    """,
}


@pytest.mark.parametrize("case", CASES)
def test_containers_alive_at_exit_are_freed_quietly(case):
    tests = os.path.dirname(os.path.abspath(__file__))
    script = SETUP.format(tests=tests) + textwrap.dedent(CASES[case]) + "\nprint('end of script')\n"
    env = dict(os.environ)  # the quorlib under test: installed, or built in place
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(quorlib.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=300, env=env)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout == "end of script\n"
    assert child.stderr == ""
