"""Real bioinformatics tools run through the local rivo and RIVO.run."""

from __future__ import annotations

import gzip
import shutil
from pathlib import Path

import pytest
from helpers import align_sort_flagstat, manifest, needs_local_rivo

from tavro.helpers.rivo import RIVO

pytestmark = [
    needs_local_rivo("local rivo not built (toml++/CLI11 missing)"),
    pytest.mark.skipif(not all(shutil.which(t) for t in ("minimap2", "samtools", "seqtk")),
                       reason="minimap2, samtools and seqtk are needed"),
]


@pytest.fixture
def real_rivo(local_rivo_path, tmp_path, monkeypatch, isolated_tmp):
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    return RIVO()


def test_align_sort_flagstat_chain(real_rivo, genome, tmp_path):
    r = real_rivo
    r.add("minimap2", "samtools_sort", "samtools_flagstat")
    m = manifest(r, "minimap2")
    assert m["entrypoint"] == "minimap2" and "{reference}" in m["args_template"]

    align_sort_flagstat(r, genome, tmp_path)


def test_binary_stdout_captured_intact(real_rivo, genome, tmp_path):
    _, reads = genome
    m = {"entrypoint": "gzip", "args_template": "-c {reads} > {packed}", "outputs": {"packed": {"type": "gz"}}}
    out = real_rivo.run("gzip", m, {"reads": str(reads)}, str(tmp_path / "out"))
    assert gzip.decompress(Path(out["packed"]).read_bytes()) == reads.read_bytes()


def test_failing_tool_error_carries_stderr_and_keeps_sandbox(real_rivo, tmp_path, isolated_tmp):
    m = {"entrypoint": "samtools", "args_template": "sort -o {sorted} {alignment}",
         "outputs": {"sorted": {"type": "bam"}}}
    bad = tmp_path / "bad.sam"
    bad.write_text("this is not a SAM file\n")
    with pytest.raises(RuntimeError) as info:
        real_rivo.run("samtools_sort", m, {"alignment": str(bad)}, str(tmp_path / "out"))
    assert "rivo exec samtools sort -o sorted bad.sam failed" in str(info.value)
    assert "STDERR: " in str(info.value) and "samtools" in str(info.value).split("STDERR: ", 1)[1]
    kept = list((isolated_tmp / "tavro_sandboxes").iterdir())
    assert len(kept) == 1 and kept[0].name.startswith("run-samtools_sort-")
