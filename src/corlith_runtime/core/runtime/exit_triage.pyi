"""Pure failure classification algorithm.

This module contains the algorithmic logic for classifying workflow failures
based on envelope data. It has NO external dependencies (no Redis, Django, etc.)
and can be used by both runtime defaults and infra's production recovery.

Usage:
    from corlith_runtime.core.runtime.exit_triage import classify_failure

    reason = classify_failure(envelope_data)
    # Returns: "terminated_by_signal", "suspected_oom", "abnormal_exit", or "unknown"
"""

from typing import Any, Literal

def classify_failure(
    envelope_data: dict[Any, Any],
) -> Literal["terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown"]:
    """Classify a workflow failure based on envelope data.

    Analyzes the envelope's last event and memory usage to determine
    the likely cause of failure.

    Args:
        envelope_data: Dict containing envelope state, typically with keys like:
            - last_event: str, the last recorded event (e.g., "signal_SIGTERM")
            - memory_rss_mb: int/str, resident memory in MB at failure time

    Returns:
        A classification string:
        - "terminated_by_signal": Process received a signal (SIGTERM, SIGKILL, etc.)
        - "suspected_oom": High memory usage suggests OOM killer
        - "abnormal_exit": Process exited abnormally without clear cause
        - "unknown": No envelope data available
    """
