"""Every module logs through its own `logger` attribute, looked up at call time."""

from __future__ import annotations

import logging
from unittest import mock

import pytest

from tavro.helpers import haulix, linkwell, rivo


class Recorder(logging.Logger):
    def __init__(self):
        super().__init__("recorder", logging.DEBUG)
        self.seen: list[tuple[int, str]] = []

    def _log(self, level, msg, args, *a, **kw):  # noqa: D401 - logging's own hook
        self.seen.append((level, msg % args if args else msg))


def rivo_logs(fake_rivo, tmp_path):
    fake_rivo.behave("import sys; sys.stderr.write('pulling\\n')")
    rivo.RIVO()._run(["sync"])
    return "stderr: pulling"


def haulix_logs(fake_rivo, tmp_path):
    cache = tmp_path / "cache"
    cache.mkdir()
    (cache / "ref.fa").write_text(">x\n")  # an entry found without any network access
    haulix.Haulix(str(cache)).resolve_zenodo_dropbox("ref", "https://zenodo.org/records/1/files/ref.fa")
    return "Using cached download for ref"


def linkwell_logs(fake_rivo, tmp_path):
    linkwell.Linkwell()._postprocess_code("def f(:\n")  # still broken after the one retry
    return "Top-level import strip skipped"


class FixedLLM:
    def call(self, prompt):
        return "def f(:\n"


@pytest.fixture
def linkwell_ready(tmp_path, monkeypatch):
    monkeypatch.setenv("TAVRO_CONNECTORS_PATH", str(tmp_path / "connectors.py"))
    monkeypatch.setattr(linkwell, "_default_llm", FixedLLM)


@pytest.mark.parametrize("how", ["assign", "patch"])
@pytest.mark.parametrize("module, action", [(rivo, rivo_logs), (haulix, haulix_logs), (linkwell, linkwell_logs)])
def test_replaced_logger_receives_the_records(module, action, how, fake_rivo, tmp_path, monkeypatch,
                                              linkwell_ready, caplog):
    mine = Recorder()
    caplog.set_level(logging.DEBUG)
    if how == "assign":
        monkeypatch.setattr(module, "logger", mine)  # as `module.logger = mine`, undone afterwards
        expected = action(fake_rivo, tmp_path)
    else:
        with mock.patch.object(module, "logger", mine):
            expected = action(fake_rivo, tmp_path)
    assert any(expected in text for _, text in mine.seen), mine.seen
    assert expected not in caplog.text  # nothing went to the module's usual logger
