"""Where the host keeps files that outlive one helper call."""

from __future__ import annotations

import os
from pathlib import Path


def _cache_home() -> Path:
    xdg = os.environ.get("XDG_CACHE_HOME")
    return Path(xdg) if xdg else Path.home() / ".cache"


def get_connectors_path() -> str:
    """Path of the connector store file.

    ``TAVRO_CONNECTORS_PATH`` wins when set; otherwise a file under the user's
    cache folder, whose parent folder is created.
    """
    env = os.environ.get("TAVRO_CONNECTORS_PATH")
    if env:
        return env
    path = _cache_home() / "tavro" / "connectors.py"
    path.parent.mkdir(parents=True, exist_ok=True)
    return str(path)
