"""The two rules of Python's own that RIVO.run applies in C++: the template
is split as shlex.split splits it, and a file slot's pattern "<slot>*"
matches as fnmatch matches it. Checked against the Python functions over
generated corpora."""

from __future__ import annotations

import fnmatch
import os
import shlex
import subprocess

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavro.helpers.rivo import RIVO

REDIRECTIONS = {">", "<", "2>", ">>", "2>>"}
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Arguments(RIVO):
    """Records the arguments the tool would get; the tool may leave files."""

    def __init__(self, files=()):
        super().__init__()
        self.files = files
        self.args = None

    def _run(self, cmd, **kw):
        self.args = cmd[2:]
        for name in self.files:
            with open(os.path.join(os.fsencode(kw["cwd"]), os.fsencode(name)), "w") as fh:
                fh.write(name.encode("utf-8", "surrogateescape").hex())
        return subprocess.CompletedProcess(cmd, 0, "", "")


def filtered(tokens):
    out, i = [], 0
    while i < len(tokens):
        if tokens[i] in REDIRECTIONS:
            i += 2
        else:
            out.append(tokens[i])
            i += 1
    return out


TEMPLATE = st.text(alphabet=list("ab -'\"\\\t\n\r>2<\x00é\u00a0\u2028"), max_size=30)


@SETTINGS
@given(template=TEMPLATE)
def test_template_split_is_shlex_split(isolated_tmp, tmp_path, template):
    try:
        expected = filtered(shlex.split(template))
    except ValueError as e:
        expected = e
    r = Arguments()
    try:
        r.run("t", {"args_template": template, "entrypoint": "entry"}, {}, str(tmp_path / "o"))
        got = r.args
    except ValueError as e:
        got = e
    if isinstance(expected, ValueError):
        assert isinstance(got, ValueError) and str(got) == str(expected)
    else:
        assert got == expected


NAME = st.text(alphabet=list("ab.-[]!^?*\\é\udcff"), min_size=1, max_size=6).filter(lambda s: s not in (".", ".."))


@SETTINGS
@given(slot=NAME, name=NAME)
def test_slot_pattern_is_fnmatch(isolated_tmp, tmp_path, slot, name):
    out = tmp_path / "o"
    res = Arguments(files=[name]).run("t", {"outputs": {slot: {}}}, {}, str(out))
    if fnmatch.fnmatchcase(name, slot + "*"):
        assert res[slot] is not None
        delivered = os.path.join(os.fsencode(str(out)), os.fsencode(slot))
        assert open(delivered).read() == name.encode("utf-8", "surrogateescape").hex()
    else:
        assert res[slot] is None
