"""Failure classification, in plain Python (benchmark yardstick)."""

from __future__ import annotations

from ._argcheck import wrong_type


def classify_failure(envelope_data: dict) -> str:
    """Classify a workflow failure based on envelope data."""
    if type(envelope_data) is not dict:
        raise wrong_type("envelope_data", dict, envelope_data)
    if not envelope_data:
        return "unknown"
    last_event = envelope_data.get("last_event", "")
    if last_event.startswith("signal_"):
        return "terminated_by_signal"
    try:
        memory_mb = int(envelope_data.get("memory_rss_mb", 0))
        if memory_mb > 0:
            return "suspected_oom"
    except (ValueError, TypeError):
        pass
    return "abnormal_exit"
