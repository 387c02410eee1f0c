"""What the benchmarks here share.

The methods of a benchmark take turns (at least MIN_TURNS each, in a
rotating order, so that a burst of load on the shared machine hits them
alike), write-back is flushed (`sync`) before every turn, and each method's
best turn, median and spread (slowest minus best) are printed. A target is
judged on the best turns; a missed one makes the exit status 1.
"""

from __future__ import annotations

import os
import statistics
import time
from typing import Callable

MIN_TURNS = 5


class Turns:
    """Seconds (or any measure where less is better) per method and turn."""

    def __init__(self, names):
        self.values: dict[str, list[float]] = {n: [] for n in names}

    def add(self, name: str, value: float) -> None:
        self.values[name].append(value)

    def best(self, name: str) -> float:
        return min(self.values[name])

    def median(self, name: str) -> float:
        return statistics.median(self.values[name])

    def spread(self, name: str) -> float:
        return max(self.values[name]) - min(self.values[name])

    def table(self, title: str, unit: str = "s", scale: float = 1.0) -> None:
        width = max(len(n) for n in self.values) + 2
        print(title)
        print(f"  {'':{width}}{'best':>10}{'median':>10}{'spread':>10}   ({unit}, {len(next(iter(self.values.values())))} turns)")
        for n in self.values:
            print(f"  {n:{width}}{self.best(n) * scale:10.3f}{self.median(n) * scale:10.3f}"
                  f"{self.spread(n) * scale:10.3f}")


def take_turns(methods: dict[str, Callable[[], float]], turns: int = MIN_TURNS,
               prepare: Callable[[str], None] | None = None) -> Turns:
    """Runs every method `turns` times, rotating the order. Each method
    returns what it measured (seconds), or None to be timed as a whole."""
    turns = max(turns, MIN_TURNS)
    names = list(methods)
    result = Turns(names)
    for t in range(turns):
        for k in range(len(names)):
            name = names[(t + k) % len(names)]
            if prepare:
                prepare(name)
            os.sync()
            t0 = time.perf_counter()
            measured = methods[name]()
            result.add(name, measured if measured is not None else time.perf_counter() - t0)
    return result


class Targets:
    """Targets judged on best turns, printed as they are checked."""

    def __init__(self):
        self.missed: list[str] = []

    def check(self, text: str, ok: bool) -> None:
        print(f"  target {text}: {'met' if ok else 'MISSED'}")
        if not ok:
            self.missed.append(text)

    def status(self) -> int:
        if self.missed:
            print(f"missed {len(self.missed)} target(s)")
        return 1 if self.missed else 0
