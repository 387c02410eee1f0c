#!/usr/bin/env python3
"""Import-time benchmark: `import tavro.helpers.linkwell` in a fresh interpreter.

Side by side, each in a new interpreter, taking turns (best turn, median and
spread of the whole process's wall time, peak resident memory):

* python -c "import json"                    (the baseline: interpreter start-up)
* python -c "import tavro.helpers.linkwell"
* python -c "import openai, anthropic, google.genai"   (what loading every vendor SDK costs)

Then, for each API key, which vendor SDKs `default_llm()` loaded.
Target: linkwell under 0.3 s (best turn); `default_llm()` loads only the
chosen vendor's SDK. The exit status is 1 when one is missed.

Usage: python bench/bench_import.py [--turns 9]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

from turns import Targets, take_turns

VENDORS = ("anthropic", "openai", "google.genai")
CASES = [
    ("import json (baseline)", "import json"),
    ("import tavro.helpers.linkwell", "import tavro.helpers.linkwell"),
    ("import all three vendor SDKs", "import openai, anthropic, google.genai"),
]


# linkwell imports the host's own modules; their stand-ins live in tests/host.
HOST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "host")


def clean_env(**keys: str) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY")}
    env["PYTHONPATH"] = os.pathsep.join([HOST] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    env.update(keys)
    return env


def one_run(code: str) -> tuple[float, float]:
    """Wall seconds and peak RSS (MiB) of a fresh interpreter running `code`."""
    t0 = time.perf_counter()
    pid = subprocess.Popen([sys.executable, "-c", code], env=clean_env()).pid
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - t0
    if status != 0:
        raise SystemExit(f"{code!r} failed with status {status}")
    return elapsed, usage.ru_maxrss / 1024


def loaded_by_default_llm(key: str) -> str:
    code = (
        "import sys\nfrom tavro.helpers.oraclet import default_llm\ndefault_llm()\n"
        f"print(', '.join(m for m in {VENDORS!r} if m in sys.modules) or '-')"
    )
    out = subprocess.run([sys.executable, "-c", code], env=clean_env(**{key: "k"}), capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else "error: " + out.stderr.strip().splitlines()[-1]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--turns", type=int, default=9)
    args = ap.parse_args()

    peaks: dict[str, float] = {}

    def case(name, code):
        def run():
            seconds, peak = one_run(code)
            peaks[name] = max(peaks.get(name, 0.0), peak)
            return seconds
        return run

    t = take_turns({name: case(name, code) for name, code in CASES}, args.turns)
    t.table("a fresh interpreter importing")
    for name in peaks:
        print(f"  {name}: peak {peaks[name]:.1f} MiB")

    print("\ndefault_llm() with one key set  -> vendor SDKs loaded")
    targets = Targets()
    for key, vendor in [("ANTHROPIC_API_KEY", "anthropic"), ("OPENAI_API_KEY", "openai"), ("GEMINI_API_KEY", "google.genai")]:
        got = loaded_by_default_llm(key)
        print(f"  {key:18} -> {got}")
        targets.check(f"{key} loads {vendor} alone", got == vendor)
    linkwell = t.best("import tavro.helpers.linkwell")
    targets.check(f"linkwell import {linkwell:.3f} s < 0.3 s "
                  f"({linkwell - t.best('import json (baseline)'):.3f} s over the baseline)", linkwell < 0.3)
    return targets.status()


if __name__ == "__main__":
    sys.exit(main())
