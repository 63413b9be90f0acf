"""Seam where the surrounding runtime plugs in.

The compiled ``spawn`` module imports ``ChildSpec`` and ``ReturnWhen`` from
here. This plain-Python stand-in carries only what that module relies on, so
the package builds and tests on its own; the real runtime replaces it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import Any

__all__ = ["ChildSpec", "ReturnWhen", "SpawnAwaited"]


@dataclass
class ChildSpec:
    """One child run: the agent to start and the inputs it starts with."""

    agent: str
    inputs: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """The spec as a plain dict: ``agent`` and a copy of ``inputs``."""
        # A fresh dict each time: callers store it and must not alias ours.
        return {"agent": self.agent, "inputs": dict(self.inputs)}


class ReturnWhen(str, Enum):
    """When a suspended parent may resume, relative to its children."""

    FIRST_SUCCESS = "first_success"
    ANY = "any"
    ALL = "all"


class SpawnAwaited(Exception):
    """Raised to suspend a parent run until the children it spawned report back."""

    def __init__(
        self,
        resume_key: str,
        specs: tuple[ChildSpec, ...],
        return_when: ReturnWhen = ReturnWhen.ALL,
    ) -> None:
        # Pass everything to Exception so that args, and so pickling, round-trip.
        super().__init__(resume_key, specs, return_when)
        self.resume_key = resume_key
        self.specs = specs
        self.return_when = return_when
