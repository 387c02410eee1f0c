"""Constructor signatures readable by inspect.signature; docstrings keep their texts."""

from __future__ import annotations

import inspect

import pytest

from tavro.helpers import haulix, linkwell, oraclet, rivo


@pytest.mark.parametrize(
    "cls, shown",
    [
        (rivo.RIVO, "(backend: 'str | None' = None, registry: 'str | None' = None, *, "
                    "executor: 'str | None' = None, slurm_partition: 'str | None' = None, "
                    "slurm_account: 'str | None' = None, slurm_args: 'list[str] | None' = None)"),
        (linkwell.Linkwell, "()"),
        (oraclet.Oraclet, "(provider: 'str', model_name: 'str', api_key: 'str')"),
        (
            haulix.Haulix,
            "(temp_dir: 'str | None' = None, *, verify: 'bool' = True, retries: 'int' = 5, "
            "backoff: 'float' = 1.0, max_wait: 'float' = 60.0)",
        ),
    ],
)
def test_class_signatures(cls, shown):
    sig = inspect.signature(cls)
    assert str(sig) == shown
    sig.bind(*[None] * sum(p.default is p.empty for p in sig.parameters.values()))

    class Sub(cls):  # a subclass's own constructor is what it shows
        def __init__(self, extra, *args, **kwargs):
            pass

    assert str(inspect.signature(Sub)) == "(extra, *args, **kwargs)"
    assert inspect.signature(cls) == sig


def test_docstrings_keep_their_texts():
    text = linkwell.Linkwell.set_llm.__doc__
    assert text.splitlines()[0] == "set_llm(self, provider: str, model: str, api_key: str) -> None"
    assert "Replace the LLM client with a new Oraclet" in text
