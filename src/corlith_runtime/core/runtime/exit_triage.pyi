# Stub-only import: the module itself imports nothing.
from typing import Any

def classify_failure(envelope_data: dict[Any, Any]) -> str: ...
