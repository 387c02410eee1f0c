"""A small read-alignment pipeline driven the way a tavro host drives the helpers.

    inputs ──► minimap2 ──► samtools_sort ──► samtools_flagstat
       └─────► seqtk_seq

It makes a tiny reference and read set, adds the tools from the repository's
registry and runs each node with RIVO.run, through the local rivo bundled with
the package (a `rivo` on PATH would win). Each node's real output is described
with build_scopelet; with an LLM API key set, Linkwell writes the connectors
between the nodes, otherwise the example wires the nodes itself and says so.

Run it with `bash scripts/example.sh` (or `.venv/bin/python examples/pipeline.py`).
With `--backend docker` every tool runs in a container: when DOCKER_HOST is
not set, the example starts a private Docker daemon for the run
(scripts/dockerd.py, needs root) and stops it at the end; missing tool images
are built from the host's own programs (scripts/images.py).
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import random
import shutil
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# The host's own node classes: the small stand-ins the tests use too.
sys.path.insert(0, str(REPO / "tests" / "host"))
sys.path.insert(0, str(REPO / "scripts"))

import tavro.helpers.rivo as rivo_mod  # noqa: E402
from tavro.helpers.rivo import RIVO  # noqa: E402
from tavro.node import InputNode, ToolNode  # noqa: E402


def which_rivo() -> str:
    """The rivo that RIVO will start: one on PATH, else the bundled local rivo."""
    on_path = shutil.which("rivo")
    if on_path:
        return f"{on_path} (on PATH)"
    if not os.access(rivo_mod._BUNDLED_RIVO or "", os.X_OK):
        sys.exit("no rivo on PATH and this installation has no bundled local rivo")
    return f"{rivo_mod._BUNDLED_RIVO} (bundled)"


def make_inputs(folder: Path, seed: int = 7) -> dict:
    """A 20 kb random reference and 400 reads of 150 bp drawn from it with a few errors."""
    rng = random.Random(seed)
    genome = "".join(rng.choice("ACGT") for _ in range(20_000))
    ref = folder / "reference.fa"
    ref.write_text(">chrDemo\n" + "\n".join(genome[i:i + 60] for i in range(0, len(genome), 60)) + "\n")
    reads = folder / "reads.fq"
    with reads.open("w") as fh:
        for n in range(400):
            start = rng.randrange(0, len(genome) - 150)
            seq = list(genome[start:start + 150])
            for _ in range(2):
                seq[rng.randrange(150)] = rng.choice("ACGT")
            fh.write(f"@read{n}\n{''.join(seq)}\n+\n{'I' * 150}\n")
    return {"reference": str(ref), "reads": str(reads)}


def manifest_for(r: RIVO, tool: str) -> dict:
    """The run keys from `rivo show`, the typed slots from its JSON form."""
    manifest = r.parse_show(tool)
    schema = json.loads(r.show(tool, "json").stdout)
    for key in ("description", "inputs", "outputs"):
        manifest[key] = schema.get(key, {})
    return manifest


def start_docker(bindir: Path, tmp: str):
    """A private daemon unless DOCKER_HOST names one; the tool images built when missing.

    Returns the daemon started here (to stop at the end), or None.
    """
    import dockerd
    import images

    daemon = None
    if not os.environ.get("DOCKER_HOST"):
        reason = dockerd.cannot_run_reason()
        if reason:
            sys.exit(f"--backend docker: set DOCKER_HOST to a running daemon ({reason})")
        print("starting a private Docker daemon (scripts/dockerd.py) ...")
        daemon = dockerd.Daemon.start(base=tmp)
        os.environ["DOCKER_HOST"] = daemon.host
    if os.path.exists(images.CLIENT):  # the client of the daemon's own release
        client = bindir / "docker"
        if client.exists() or client.is_symlink():
            client.unlink()
        client.symlink_to(images.CLIENT)
    try:
        for ref in images.build_registry_images(dict(os.environ)):
            print(f"built image {ref} from the host's programs")
    except BaseException:
        if daemon:
            daemon.stop()
        raise
    return daemon


def describe(outputs: dict) -> str:
    try:
        from tavro.helpers.scopelet import build_scopelet
    except ImportError:
        return json.dumps(outputs, indent=2)
    return build_scopelet(outputs)


def have_llm_key() -> bool:
    return any(os.environ.get(k) for k in
               ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY"))


# Hand-written connectors: what Linkwell would have the model write.
MANUAL = {
    ("inputs", "align"): lambda up: {"reference": up["reference"], "reads": up["reads"]},
    ("inputs", "fasta"): lambda up: {"reads": up["reads"]},
    ("align", "sort"): lambda up: {"alignment": up["alignment"]},
    ("sort", "stats"): lambda up: {"bam": up["sorted"]},
}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workdir", help="where inputs, outputs and the rivo project go (default: a temp dir)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("-v", "--verbose", action="store_true", help="show the helpers' log")
    ap.add_argument("--backend", choices=("auto", "local", "docker"),
                    help="where the tools run (default: rivo's choice, docker when a daemon answers)")
    args = ap.parse_args()
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="%(levelname)s %(name)s: %(message)s")

    work = Path(args.workdir or tempfile.mkdtemp(prefix="tavro_example_")).resolve()
    work.mkdir(parents=True, exist_ok=True)
    bindir = work / "bin"  # the docker client of the private daemon goes here
    bindir.mkdir(exist_ok=True)
    os.environ["PATH"] = f"{bindir}{os.pathsep}{os.environ['PATH']}"
    print(f"rivo: {which_rivo()}")
    os.environ["RIVO_REGISTRY"] = str(REPO / "registry")
    if args.backend:
        # Also for `exec`: in the local setting each run gets a fresh project.
        os.environ["RIVO_BACKEND"] = args.backend
    systmp = tempfile.gettempdir()  # short paths for a daemon's socket
    # The local setting (no pipeline volume): every rivo command gets a fresh
    # project folder, and sandboxes and those folders go under the work folder.
    os.environ.pop("PIPELINE_VOLUME_PATH", None)
    (work / "tmp").mkdir(exist_ok=True)
    os.environ["TMPDIR"] = str(work / "tmp")
    tempfile.tempdir = None

    inputs = InputNode("inputs", inputs=make_inputs(work))
    nodes = {
        "align": ToolNode("align", inNodes=[inputs]),
        "fasta": ToolNode("fasta", inNodes=[inputs]),
    }
    nodes["sort"] = ToolNode("sort", inNodes=[nodes["align"]])
    nodes["stats"] = ToolNode("stats", inNodes=[nodes["sort"]])
    tools = {"align": "minimap2", "fasta": "seqtk_seq", "sort": "samtools_sort", "stats": "samtools_flagstat"}

    daemon = start_docker(bindir, systmp) if args.backend == "docker" else None
    try:
        run_pipeline(RIVO(backend=args.backend), work, inputs, nodes, tools)
    finally:
        if daemon:
            daemon.stop()
    if not args.keep and not args.workdir:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def run_pipeline(r: RIVO, work: Path, inputs: InputNode, nodes: dict, tools: dict) -> None:
    print(f"work folder: {work}")
    r.add(*sorted(set(tools.values())))
    r.sync()
    for node_id, tool in tools.items():
        nodes[node_id].manifest = manifest_for(r, tool)

    linkwell = None
    if have_llm_key():
        from tavro.helpers.linkwell import Linkwell
        os.environ.setdefault("TAVRO_CONNECTORS_PATH", str(work / "connectors.py"))
        linkwell = Linkwell()
        print("connectors: written by the LLM (Linkwell)")
    else:
        print("connectors: no LLM API key is set, so this example wires the nodes itself")

    results = {"inputs": inputs.inputs}
    for node_id in ("align", "fasta", "sort", "stats"):
        node = nodes[node_id]
        upstream = node.inNodes[0]
        up_out = results[upstream.id]
        if linkwell is not None:
            linkwell.generateConnector(upstream, node, extra_context=describe(up_out))
            node_inputs = linkwell.getConnector(upstream, node)(up_out)
        else:
            node_inputs = MANUAL[(upstream.id, node_id)](up_out)
        out_dir = work / "outputs" / node_id
        results[node_id] = r.run(tools[node_id], node.manifest, node_inputs, str(out_dir))
        print(f"\n== {node_id} ({tools[node_id]}) produced:")
        print(describe(results[node_id]))

    stats = results["stats"].get("stats")
    if stats:
        print("\n== flagstat report\n" + Path(stats).read_text())


if __name__ == "__main__":
    raise SystemExit(main())
