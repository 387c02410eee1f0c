#!/usr/bin/env python3
"""Import-time benchmark: `import tavro.helpers.linkwell` in a fresh interpreter.

Side by side, each in a new interpreter (best and median of --repeat runs,
wall time of the whole process, peak resident memory):

* python -c "import json"                    (the baseline: interpreter start-up)
* python -c "import tavro.helpers.linkwell"
* python -c "import openai, anthropic, google.genai"   (what loading every vendor SDK costs)

Then, for each API key, which vendor SDKs `default_llm()` loaded.
Target: linkwell under 0.3 s; `default_llm()` loads only the chosen vendor's SDK.

Usage: python bench/bench_import.py [--repeat 9]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

VENDORS = ("anthropic", "openai", "google.genai")
CASES = [
    ("import json (baseline)", "import json"),
    ("import tavro.helpers.linkwell", "import tavro.helpers.linkwell"),
    ("import all three vendor SDKs", "import openai, anthropic, google.genai"),
]


def clean_env(**keys: str) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY")}
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


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args()

    print(f"{'case':34} {'best s':>8} {'median s':>9} {'peak MiB':>9}")
    results = {}
    for name, code in CASES:
        runs = [one_run(code) for _ in range(args.repeat)]
        times = [t for t, _ in runs]
        results[name] = statistics.median(times)
        print(f"{name:34} {min(times):8.3f} {statistics.median(times):9.3f} {max(m for _, m in runs):9.1f}")

    print("\ndefault_llm() with one key set  -> vendor SDKs loaded")
    ok_vendor = True
    for key, vendor in [("ANTHROPIC_API_KEY", "anthropic"), ("OPENAI_API_KEY", "openai"), ("GEMINI_API_KEY", "google.genai")]:
        got = loaded_by_default_llm(key)
        ok_vendor &= got == vendor
        print(f"  {key:18} -> {got}")

    linkwell = results["import tavro.helpers.linkwell"]
    verdict = "PASS" if linkwell < 0.3 and ok_vendor else "FAIL"
    print(f"\nlinkwell import median {linkwell:.3f} s (target < 0.3 s), "
          f"{linkwell - results['import json (baseline)']:.3f} s over the baseline: {verdict}")


if __name__ == "__main__":
    main()
