"""Policy provider protocol and no-op default, in plain Python (benchmark yardstick)."""

from __future__ import annotations

from typing import Any, Dict, Protocol, runtime_checkable

from ._argcheck import wrong_type


@runtime_checkable
class PolicyProvider(Protocol):
    """Provides policy configurations at runtime."""

    def get_runtime_configs(self) -> Dict[str, Any]:
        """Get all active policy configurations."""

    def get_policy(self, name: str) -> Dict[str, Any]:
        """Get a specific policy configuration."""
        if type(name) is not str:
            raise wrong_type("name", str, name)


class NoOpPolicyProvider:
    """No-op policy provider for standalone runtime."""

    def get_runtime_configs(self) -> Dict[str, Any]:
        return {}

    def get_policy(self, name: str) -> Dict[str, Any]:
        if type(name) is not str:
            raise wrong_type("name", str, name)
        return {}
