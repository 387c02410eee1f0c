"""Real bioinformatics tools run through the local rivo and RIVO.run."""

from __future__ import annotations

import gzip
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tavro.helpers.rivo as rivo_mod
from tavro.helpers.rivo import RIVO

REPO = Path(__file__).resolve().parent.parent
LOCAL_RIVO = Path(rivo_mod.__file__).parent / "_bin" / "rivo"

pytestmark = [
    pytest.mark.skipif(not LOCAL_RIVO.exists(), reason="local rivo not built (toml++/CLI11 missing)"),
    pytest.mark.skipif(not all(shutil.which(t) for t in ("minimap2", "samtools", "seqtk")),
                       reason="minimap2, samtools and seqtk are needed"),
]


@pytest.fixture
def real_rivo(tmp_path, monkeypatch, isolated_tmp):
    bindir = tmp_path / "rivo-bin"
    bindir.mkdir()
    (bindir / "rivo").symlink_to(LOCAL_RIVO)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("RIVO_REGISTRY", str(REPO / "registry"))
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    return RIVO()


@pytest.fixture
def genome(tmp_path):
    rng = random.Random(1)
    seq = "".join(rng.choice("ACGT") for _ in range(5000))
    ref = tmp_path / "data" / "ref.fa"
    ref.parent.mkdir()
    ref.write_text(">chr1\n" + seq + "\n")
    reads = tmp_path / "data" / "reads.fq"
    with reads.open("w") as fh:
        for i in range(50):
            s = rng.randrange(0, 4800)
            fh.write(f"@r{i}\n{seq[s:s + 100]}\n+\n{'I' * 100}\n")
    return ref, reads


def manifest(r: RIVO, tool: str) -> dict:
    import json

    m = r.parse_show(tool)
    schema = json.loads(r.show(tool, "json").stdout)
    m.update({k: schema[k] for k in ("inputs", "outputs") if k in schema})
    return m


def test_align_sort_flagstat_chain(real_rivo, genome, tmp_path):
    ref, reads = genome
    r = real_rivo
    r.add("minimap2", "samtools_sort", "samtools_flagstat")
    m = manifest(r, "minimap2")
    assert m["entrypoint"] == "minimap2" and "{reference}" in m["args_template"]

    aligned = r.run("minimap2", m, {"reference": str(ref), "reads": str(reads)}, str(tmp_path / "o1"))
    sam = Path(aligned["alignment"])
    assert sam == tmp_path / "o1" / "alignment"
    assert sam.read_text().startswith("@SQ\tSN:chr1")
    assert ref.read_text().startswith(">chr1")  # inputs untouched

    sorted_ = r.run("samtools_sort", manifest(r, "samtools_sort"), {"alignment": str(sam)},
                    str(tmp_path / "o2"))
    bam = Path(sorted_["sorted"])
    assert bam.read_bytes()[:2] == b"\x1f\x8b"  # BGZF

    stats = r.run("samtools_flagstat", manifest(r, "samtools_flagstat"), {"bam": str(bam)},
                  str(tmp_path / "o3"))
    report = Path(stats["stats"]).read_text()
    assert "50 + 0 in total" in report and "mapped (" in report


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
