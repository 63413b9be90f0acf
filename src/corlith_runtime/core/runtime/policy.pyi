"""Policy provider protocol for runtime policy configuration.

This module defines the interface for accessing policy configurations.
Runtime provides no-op default; infra provides Django-model-backed policies.
"""

from typing import Any, Dict, Protocol, runtime_checkable

@runtime_checkable
class PolicyProvider(Protocol):
    """Provides policy configurations at runtime.

    Implementations provide access to policy rules and configurations
    that govern workflow execution.

    Default: NoOpPolicyProvider (returns empty config)
    Production: PolicyRegistry (Django model-backed)
    """
    def get_runtime_configs(self) -> Dict[str, Any]:
        """Get all active policy configurations.

        Returns:
            Dict mapping policy names to their configurations
        """
    def get_policy(self, name: str) -> Dict[str, Any]:
        """Get a specific policy configuration.

        Args:
            name: The policy name

        Returns:
            The policy configuration dict, or empty dict if not found
        """

class NoOpPolicyProvider:
    """No-op policy provider for standalone runtime.

    Returns empty configurations. All execution is allowed.
    Useful for local development and testing without governance.
    """
    def get_runtime_configs(self) -> Dict[str, Any]:
        """Return a new empty dict: there are no policies."""
    def get_policy(self, name: str) -> Dict[str, Any]:
        """Return a new empty dict, whatever the name."""
