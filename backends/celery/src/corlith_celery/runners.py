"""Child runners a worker can be configured with."""

from __future__ import annotations

from typing import Any


async def noop(child: dict[str, Any]) -> dict[str, Any]:
    """Succeeds at once, as the in-process default runner does."""
    return {"output": {"_noop": True, "agent": child["agent"]}, "error": None,
            "cost_usd": 0.0, "tokens": 0, "duration_ms": 0.0}
