"""The package as users get it: the sdist, the repaired wheel installed into a
fresh environment with no index and no compiler, beside a host's own `tavro`
package, and a build without the local rivo.

The sdist and the wheel come from scripts/wheel.sh, which scripts/test.sh runs
first and names in TAVRO_DIST; the wheel's dependencies come from the folder
scripts/setup.sh fills (build/wheelhouse).
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest
from helpers import REPO

DIST = os.environ.get("TAVRO_DIST")
WHEELHOUSE = REPO / "build" / "wheelhouse"
MODULES = ("rivo", "linkwell", "scopelet", "oraclet", "haulix")
EXT = sysconfig.get_config_var("EXT_SUFFIX")
CI = os.environ.get("CI") == "true"

pytestmark = pytest.mark.timeout(600)


def require(ok: bool, reason: str) -> None:
    """Skip when a precondition is missing; in CI, that is a failure."""
    if not ok:
        (pytest.fail if CI else pytest.skip)(reason)


def dist_file(pattern: str) -> Path:
    require(bool(DIST), "TAVRO_DIST is not set (scripts/test.sh builds the sdist and wheel)")
    found = sorted(Path(DIST).glob(pattern))
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module")
def wheel() -> Path:
    return dist_file("tavro_helpers-*.whl")


def clean_env(path: str) -> dict:
    """The environment of a child that must not see the source tree or tests/host."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = path
    return env


def pip(python: Path, *args: str) -> None:
    """pip of the test environment acting on `python`'s environment, with nothing
    but that environment's bin folder on PATH (no compiler) and no index."""
    no_compiler = str(python.parent)
    for cc in ("cc", "c++", "gcc", "g++"):
        assert shutil.which(cc, path=no_compiler) is None
    cmd = [sys.executable, "-m", "pip", "--python", str(python), "-q", *args]
    out = subprocess.run(cmd, env=clean_env(no_compiler), capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def install(python: Path, *what: str) -> None:
    pip(python, "install", "--no-index", "--only-binary", ":all:", "--no-compile",
        "--find-links", str(WHEELHOUSE), *what)


@pytest.fixture(scope="module")
def deps_site(tmp_path_factory) -> Path:
    """An environment holding only the wheel's dependencies (from the local
    folder); the fresh environments below see it as already installed."""
    require((WHEELHOUSE / "requirements.txt").exists(), "no build/wheelhouse (scripts/setup.sh)")
    py = make_venv(tmp_path_factory.mktemp("deps") / "venv", None)
    install(py, "-r", str(WHEELHOUSE / "requirements.txt"))
    return site_packages(py)


def site_packages(python: Path) -> Path:
    return Path(subprocess.check_output(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
        env=clean_env("/usr/bin:/bin"), text=True).strip())


def make_venv(path: Path, deps: Path | None) -> Path:
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(path)], check=True)
    py = path / "bin" / "python"
    if deps is not None:
        (site_packages(py) / "_deps.pth").write_text(f"{deps}\n")
    return py


def run_py(python: Path, code: str, cwd: Path, path: str = "/usr/bin:/bin", **env) -> str:
    out = subprocess.run([str(python), "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True,
                         text=True, timeout=120, env=dict(clean_env(path), **env))
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


# ------------------------------------------------------------------ the files


def test_wheel_holds_only_ours_and_needs_no_system_libcrypto(wheel):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    py = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert re.fullmatch(rf"tavro_helpers-[^-]+-{py}-{py}-manylinux_2_\d+_x86_64\.whl", wheel.name)
    show = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                          capture_output=True, text=True, check=True).stdout
    assert re.search(r'platform tag:\s+"manylinux_2_\d+_x86_64"', show), show

    with zipfile.ZipFile(wheel) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        ours = {f"tavro/helpers/{m}{e}" for m in MODULES for e in (EXT, ".pyi")}
        ours |= {"tavro/helpers/py.typed", "tavro/helpers/_bin/rivo"}
        # Nothing of the host's (no tavro/__init__.py ...), nothing grafted.
        assert {n for n in names if not n.startswith(info + "/")} == ours
        assert f"{info}/licenses/LICENSES/OpenSSL.txt" in names
        meta = z.read(f"{info}/METADATA").decode()
        assert "[console_scripts]\ntavro-rivo = tavro.helpers.rivo:_bundled_rivo_main" in \
            z.read(f"{info}/entry_points.txt").decode()
        for name in sorted(n for n in ours if n.endswith((EXT, "/rivo"))):
            with z.open(name) as f:
                elf = ELFFile(f)
                needed = [t.needed for s in elf.iter_sections() if isinstance(s, DynamicSection)
                          for t in s.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
            assert not [n for n in needed if "crypto" in n or "ssl" in n], (name, needed)
    requires = re.findall(r"^Requires-Dist: (.*)$", meta, re.M)
    assert [r for r in requires if "tomli-w" in r or "tomli_w" in r] == ['tomli-w; extra == "toml"']


def test_sdist_holds_every_build_input():
    sdist = dist_file("tavro_helpers-*.tar.gz")
    tracked = subprocess.run(["git", "ls-files", "pyproject.toml", "CMakeLists.txt", "README.md",
                              "cmake", "cpp", "tools", "src", "LICENSES"],
                             cwd=REPO, capture_output=True, text=True)
    require(tracked.returncode == 0 and tracked.stdout, "not a git checkout")
    with tarfile.open(sdist) as t:
        members = {m.name.split("/", 1)[1] for m in t.getmembers() if "/" in m.name}
    missing = set(tracked.stdout.split()) - members
    assert not missing


# ------------------------------------------------ a fresh environment, no host


@pytest.fixture(scope="module")
def installed(wheel, deps_site, tmp_path_factory) -> Path:
    py = make_venv(tmp_path_factory.mktemp("installed") / "venv", deps_site)
    install(py, str(wheel))
    return py


def test_installed_wheel_imports_and_runs_its_bundled_rivo(installed, tmp_path):
    venv = installed.parent.parent
    out = run_py(installed, """
        import sys
        for m in ("rivo", "scopelet", "oraclet", "haulix"):   # need no host
            mod = __import__("tavro.helpers." + m, fromlist=["x"])
            assert mod.__file__.startswith(sys.prefix), mod.__file__
        try:
            import tavro.helpers.linkwell
        except ImportError as e:
            assert "tavro.helpers.paths" in str(e), str(e)
        else:
            raise AssertionError("linkwell imported without a host")

        from tavro.helpers.rivo import RIVO, _BUNDLED_RIVO
        assert _BUNDLED_RIVO.startswith(sys.prefix)
        print(RIVO()._run(["--version"]).stdout, end="")   # no rivo on PATH
        try:                                                # the plain install's writer
            import tomli_w
            raise AssertionError("tomli_w installed")
        except ModuleNotFoundError:
            pass
        import tomllib
        data = {"tools": {"a.b": {"version": "1", "ok": True}}}
        RIVO._write_toml("t.toml", data)
        assert tomllib.load(open("t.toml", "rb")) == data
    """, cwd=tmp_path, TMPDIR=str(tmp_path))
    assert out.startswith("rivo ")
    cli = subprocess.run([str(venv / "bin" / "tavro-rivo"), "--version"], capture_output=True,
                         text=True, env=clean_env("/usr/bin:/bin"), timeout=60)
    assert (cli.returncode, cli.stdout) == (0, out)
    # With the host's modules (the stand-ins) on the path, linkwell imports too.
    run_py(installed, """
        import sys, tavro.helpers.linkwell as lw, tavro.node
        assert lw.__file__.startswith(sys.prefix) and not tavro.node.__file__.startswith(sys.prefix)
    """, cwd=tmp_path, PYTHONPATH=str(REPO / "tests" / "host"))


def test_example_pipeline_against_the_installed_wheel(installed, tmp_path):
    for tool in ("minimap2", "samtools", "seqtk"):
        require(shutil.which(tool, path="/usr/bin:/bin") is not None, f"{tool} is needed")
    out = subprocess.run([str(installed), str(REPO / "examples" / "pipeline.py"), "--backend",
                          "local", "--workdir", str(tmp_path / "w")],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300,
                         env=clean_env("/usr/bin:/bin"))
    assert out.returncode == 0, out.stdout + out.stderr
    bundled = site_packages(installed) / "tavro" / "helpers" / "_bin" / "rivo"
    assert f"rivo: {bundled} (bundled)" in out.stdout
    assert "400 + 0 mapped (100.00% : N/A)" in out.stdout


# --------------------------------------------- beside the host's own package

HOST_FILES = {
    "tavro/__init__.py": '"""The host pipeline."""\n',
    "tavro/node.py": textwrap.dedent('''\
        MARK = "the host's own node module"


        class InputNode:
            def __init__(self, id, inputs=None, manifest=None):
                self.id, self.inputs, self.manifest, self.inNodes = id, dict(inputs or {}), manifest, []


        class GatherNode:
            def __init__(self, id, inNodes=()):
                self.id, self.inNodes, self.manifest = id, list(inNodes), None
        '''),
    "tavro/helpers/__init__.py": '"""The host\'s helpers package."""\n',
    "tavro/helpers/paths.py": textwrap.dedent('''\
        import os


        def get_connectors_path():
            return os.environ["HOST_CONNECTORS"]
        '''),
}


def host_wheel(folder: Path) -> Path:
    """A wheel of a host with a regular `tavro` package, made by hand."""
    name = "tavro_host-1.0"
    files = dict(HOST_FILES)
    files[f"{name}.dist-info/METADATA"] = "Metadata-Version: 2.1\nName: tavro-host\nVersion: 1.0\n"
    files[f"{name}.dist-info/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\n"
                                         "Tag: py3-none-any\n")
    record = []
    for path, text in files.items():
        digest = hashlib.sha256(text.encode()).digest()
        record.append(f"{path},sha256={base64.urlsafe_b64encode(digest).rstrip(b'=').decode()},"
                      f"{len(text.encode())}")
    files[f"{name}.dist-info/RECORD"] = "\n".join(record + [f"{name}.dist-info/RECORD,,"]) + "\n"
    out = folder / f"{name}-py3-none-any.whl"
    with zipfile.ZipFile(out, "w") as z:
        for path, text in files.items():
            z.writestr(path, text)
    return out


@pytest.mark.parametrize("host_first", [True, False], ids=["host-first", "wheel-first"])
def test_host_package_beside_the_wheel(wheel, deps_site, tmp_path, host_first):
    py = make_venv(tmp_path / "venv", deps_site)
    site = site_packages(py)
    host = host_wheel(tmp_path)
    for what in ([host, wheel] if host_first else [wheel, host]):
        install(py, str(what))

    def host_intact():
        for path, text in HOST_FILES.items():
            assert (site / path).read_bytes() == text.encode(), path

    host_intact()
    run_py(py, """
        import tavro.helpers.linkwell as lw, tavro.helpers.paths, tavro.node, sys
        assert tavro.node.__file__.startswith(sys.prefix) and tavro.node.MARK
        assert lw._get_connectors_path is tavro.helpers.paths.get_connectors_path
        lw._default_llm = lambda: None
        block = lw.Linkwell()._downstream_block(tavro.node.InputNode("user", {"n": 3}))
        assert block.startswith("DOWNSTREAM is an InputNode."), block
    """, cwd=tmp_path, HOST_CONNECTORS=str(tmp_path / "connectors.py"))

    pip(py, "uninstall", "-y", "tavro-helpers")
    host_intact()
    assert not list((site / "tavro" / "helpers").glob("*.so"))
    run_py(py, "import tavro.node, tavro.helpers.paths", cwd=tmp_path)
    # And the other way round: the host goes, the modules stay.
    install(py, str(wheel))
    pip(py, "uninstall", "-y", "tavro-host")
    assert not [p for p in HOST_FILES if (site / p).exists()]
    run_py(py, "import tavro.helpers.rivo, tavro.helpers.scopelet", cwd=tmp_path)


# ------------------------------------------------- a build without the rivo

# Inside a private mount namespace the headers only the local rivo needs are
# hidden under empty folders; the machine never sees it.
HIDE = ("/usr/include/toml++", "/usr/include/CLI", "/usr/include/nlohmann",
        "/usr/share/cmake/nlohmann_json")
CONFIGURE = r"""
set -e
for d in $HIDE; do [ -d "$d" ] && mount -t tmpfs tmpfs "$d"; done
cmake -S "$SRC" -B "$B/off" -G Ninja -DTAVRO_BUILD_RIVO=OFF -DPython_EXECUTABLE="$PY" >"$B/off.log" 2>&1
echo "off: ok"
if cmake -S "$SRC" -B "$B/on" -G Ninja -DPython_EXECUTABLE="$PY" >"$B/on.log" 2>&1; then
  echo "on: configured"
else
  echo "on: failed"
fi
"""


def test_build_without_the_local_rivo(tmp_path):
    require(os.geteuid() == 0 and shutil.which("unshare") is not None,
            "needs root and unshare for a private mount namespace")
    env = dict(os.environ, HIDE=" ".join(HIDE), SRC=str(REPO), B=str(tmp_path), PY=sys.executable)
    out = subprocess.run(["unshare", "-m", "--propagation", "private", "bash", "-c", CONFIGURE],
                         env=env, capture_output=True, text=True, timeout=300)
    assert out.stdout.split("\n")[:2] == ["off: ok", "on: failed"], \
        out.stdout + out.stderr + (tmp_path / "off.log").read_text(errors="replace")
    assert "rivo_cli" not in (tmp_path / "off" / "build.ninja").read_text()
    on = " ".join((tmp_path / "on.log").read_text().split())
    for piece in ("libtomlplusplus-dev", "libcli11-dev", "nlohmann-json3-dev", "-DTAVRO_BUILD_RIVO=OFF"):
        assert piece in on, on
