"""Minimal host node classes: the graph objects the helpers read.

A pipeline host keeps richer nodes; the helpers only read ``id``, ``manifest``,
``inputs``, ``inNodes`` and ``split_key``.
"""

from __future__ import annotations

from typing import Any, Optional


class InputNode:
    """Values that the user supplies (paths, numbers, text)."""

    def __init__(self, id: str, inputs: Optional[dict] = None, manifest: Optional[dict] = None):
        self.id = id
        self.inputs = dict(inputs) if inputs else {}
        self.manifest = manifest
        self.inNodes: list = []

    def __repr__(self) -> str:
        return f"InputNode({self.id!r})"


class GatherNode:
    """Collects the outputs of several upstream nodes."""

    def __init__(self, id: str, inNodes: Optional[list] = None):
        self.id = id
        self.inNodes = list(inNodes) if inNodes else []
        self.manifest = None

    def __repr__(self) -> str:
        return f"GatherNode({self.id!r})"


class ToolNode:
    """A containerised tool with a manifest; ``split_key`` marks a scatter."""

    def __init__(
        self,
        id: str,
        manifest: Optional[dict] = None,
        inNodes: Optional[list] = None,
        split_key: Optional[str] = None,
    ):
        self.id = id
        self.manifest = manifest
        self.inNodes = list(inNodes) if inNodes else []
        self.split_key = split_key
        self.inputs: dict[str, Any] = {}

    def __repr__(self) -> str:
        return f"ToolNode({self.id!r})"
