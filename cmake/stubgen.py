"""Generate a .pyi stub for one freshly built extension module.

The module is imported as ``tavro.helpers.<name>`` from the build tree.
Modules that a build environment lacks (the vendor SDKs, and the host's own
``tavro.node`` and ``tavro.helpers.paths``, which live outside this package)
are replaced by empty placeholders: the stub describes this package's own API
only.
"""

import importlib
import importlib.machinery
import os
import sys
import types


def main() -> None:
    name, build_dir, out = sys.argv[1:4]
    tavro = types.ModuleType("tavro")
    tavro.__path__ = []
    helpers = types.ModuleType("tavro.helpers")
    helpers.__path__ = [build_dir]
    sys.modules["tavro"] = tavro
    sys.modules["tavro.helpers"] = helpers

    class Placeholder(types.ModuleType):
        def __getattr__(self, attr):
            if attr.startswith("__"):
                raise AttributeError(attr)
            return type(attr, (), {})

    for missing in ("anthropic", "openai", "google", "google.genai"):
        try:
            importlib.import_module(missing)
        except ImportError:
            sys.modules[missing] = Placeholder(missing)
            # importlib.util.find_spec (oraclet's installed-check) wants a spec
            sys.modules[missing].__spec__ = importlib.machinery.ModuleSpec(missing, None)
    if isinstance(sys.modules.get("google"), Placeholder):
        sys.modules["google"].genai = sys.modules["google.genai"]
    for host in ("tavro.node", "tavro.helpers.paths"):
        sys.modules[host] = Placeholder(host)

    from nanobind.stubgen import main as stubgen

    patterns = f"{os.path.dirname(os.path.abspath(__file__))}/stub_patterns.txt"
    stubgen(["-q", "-P", "-p", patterns, "-m", f"tavro.helpers.{name}", "-o", out])


if __name__ == "__main__":
    main()
