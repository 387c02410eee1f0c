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
import re
import sys
import types


VENDORS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cpp", "oraclet", "vendors.cpp")


def vendor_sdks() -> list[str]:
    """The client libraries named by oraclet's vendor table (its `.sdk_module` fields)."""
    with open(VENDORS, encoding="utf-8") as f:
        found = re.findall(r'\.sdk_module\s*=\s*"([^"]+)"', f.read())
    if not found:
        sys.exit(f"stubgen: no vendor rows (.sdk_module = \"...\") in {VENDORS}")
    return found


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

    for sdk in vendor_sdks():
        parts = sdk.split(".")
        for i in range(1, len(parts) + 1):
            missing = ".".join(parts[:i])
            try:
                importlib.import_module(missing)
            except ImportError:
                sys.modules[missing] = Placeholder(missing)
                # importlib.util.find_spec (oraclet's installed-check) wants a spec
                sys.modules[missing].__spec__ = importlib.machinery.ModuleSpec(missing, None)
                if i > 1:
                    setattr(sys.modules[".".join(parts[: i - 1])], parts[i - 1], sys.modules[missing])
    for host in ("tavro.node", "tavro.helpers.paths"):
        sys.modules[host] = Placeholder(host)

    from nanobind.stubgen import main as stubgen

    patterns = f"{os.path.dirname(os.path.abspath(__file__))}/stub_patterns.txt"
    stubgen(["-q", "-P", "-p", patterns, "-m", f"tavro.helpers.{name}", "-o", out])


if __name__ == "__main__":
    main()
